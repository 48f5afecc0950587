#include "book_view.h"

#include <unistd.h>

#include <cstdio>
#include <string>

namespace zavo_tail {

bool BookView::Wanted(const Options& opt) {
  return !opt.book_code.empty() || opt.book_check;
}

BookView* BookView::Create(const Options& opt, FILE* out) {
  // A session that leaves codes or kinds out sees holes in the feed's
  // sequence numbers by design; they must not mark every book stale.
  zavo_book* book = zavo_book_new(opt.Filtered() ? ZAVO_BOOK_NO_SEQ_CHECK : 0);
  if (book == nullptr) return nullptr;
  auto* view = new BookView();
  view->book_ = book;
  view->out_ = out;
  view->code_ = opt.book_code;
  view->exchange_ = opt.book_exchange;
  view->ladder_ = !opt.book_code.empty();
  view->check_ = opt.book_check;
  view->json_ = opt.format == OutputFormat::kJson;
  view->tty_ = isatty(fileno(out)) != 0 && !view->json_;
  return view;
}

BookView::~BookView() {
  zavo_book_free(book_);
}

void BookView::OnMessage(const ZAVO_MSG* msg) {
  std::lock_guard<std::mutex> lock(mu_);
  int rc = zavo_book_apply(book_, msg);
  if (!ladder_ || rc != ZAVO_BOOK_APPLIED) return;
  const char* code = nullptr;
  switch (msg->MsgType) {
    case ZAVO_MSG_ORDER_DETAIL:
      code = static_cast<const ZAVO_OrderDetail*>(msg->MsgData)->Code;
      break;
    case ZAVO_MSG_SH_ORDER_DETAIL:
      code = static_cast<const ZAVO_SHOrderDetail*>(msg->MsgData)->Code;
      break;
    case ZAVO_MSG_TRADE_DETAIL:
      code = static_cast<const ZAVO_TradeDetail*>(msg->MsgData)->Code;
      break;
    default:
      return;
  }
  if (code_ != code) return;
  ++changes_;
  // A line per change: the caller asked for every state, not a picture.
  if (json_) draw_ladder();
}

void BookView::draw_ladder() {
  zavo_book_level bids[10], asks[10];
  int nb = zavo_book_levels(book_, code_.c_str(), exchange_, ZAVO_BOOK_BID, bids, 10);
  int na = zavo_book_levels(book_, code_.c_str(), exchange_, ZAVO_BOOK_ASK, asks, 10);
  zavo_book_trade t{};
  int has_trade = zavo_book_last_trade(book_, code_.c_str(), exchange_, &t);
  std::string out;
  char buf[160];
  if (json_) {
    std::snprintf(buf, sizeof buf, "{\"book\":\"%s.%s\",\"change\":%llu", code_.c_str(),
                  exchange_ == '1' ? "SH" : "SZ", static_cast<unsigned long long>(changes_));
    out = buf;
    for (int s = 0; s < 2; ++s) {
      out += s == 0 ? ",\"bids\":[" : ",\"asks\":[";
      const zavo_book_level* lv = s == 0 ? bids : asks;
      int n = s == 0 ? nb : na;
      for (int i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%s[%lld,%lld,%u]", i ? "," : "",
                      static_cast<long long>(lv[i].price), static_cast<long long>(lv[i].volume),
                      lv[i].orders);
        out += buf;
      }
      out += "]";
    }
    if (has_trade == 1) {
      std::snprintf(buf, sizeof buf, ",\"last\":[%lld,%lld]", static_cast<long long>(t.price),
                    static_cast<long long>(t.quantity));
      out += buf;
    }
    out += "}\n";
  } else {
    if (tty_) out = "\x1b[H\x1b[2J";  // home and clear: redraw in place
    std::snprintf(buf, sizeof buf, "%s.%s  changes %llu", code_.c_str(),
                  exchange_ == '1' ? "SH" : "SZ", static_cast<unsigned long long>(changes_));
    out += buf;
    if (has_trade == 1) {
      std::snprintf(buf, sizeof buf, "  last %lld x %lld", static_cast<long long>(t.price),
                    static_cast<long long>(t.quantity));
      out += buf;
    }
    out += "\n        price      volume  orders\n";
    for (int i = na - 1; i >= 0; --i) {
      std::snprintf(buf, sizeof buf, "ask%-2d %10lld %11lld %7u\n", i + 1,
                    static_cast<long long>(asks[i].price), static_cast<long long>(asks[i].volume),
                    asks[i].orders);
      out += buf;
    }
    out += "------\n";
    for (int i = 0; i < nb; ++i) {
      std::snprintf(buf, sizeof buf, "bid%-2d %10lld %11lld %7u\n", i + 1,
                    static_cast<long long>(bids[i].price), static_cast<long long>(bids[i].volume),
                    bids[i].orders);
      out += buf;
    }
  }
  std::fwrite(out.data(), 1, out.size(), out_);
  std::fflush(out_);
  drawn_ = changes_;
}

void BookView::print_check(bool final_line) {
  zavo_book_totals_info t;
  zavo_book_totals(book_, &t);
  std::fprintf(stderr,
               "book/snapshot agreement: %llu of %llu snapshots (%llu disagreed, %llu while "
               "stale; %llu gaps, %u of %u codes stale)\n",
               static_cast<unsigned long long>(t.agreements),
               static_cast<unsigned long long>(t.snapshots),
               static_cast<unsigned long long>(t.disagreements),
               static_cast<unsigned long long>(t.stale_snapshots),
               static_cast<unsigned long long>(t.gaps), t.stale, t.securities);
  if (!final_line || t.disagreements == 0) return;
  zavo_book_each(
      book_,
      [](void* arg, const char* code, char ex) {
        zavo_book_check_info c;
        zavo_book_check(static_cast<zavo_book*>(arg), code, ex, &c);
        if (c.disagreements == 0) return 0;
        std::fprintf(stderr,
                     "  %s.%s: %llu disagreed; first difference at %s level %d: snapshot "
                     "%lld x %lld, book %lld x %lld (seq %llu)\n",
                     code, ex == '1' ? "SH" : "SZ",
                     static_cast<unsigned long long>(c.disagreements),
                     c.diff_side == ZAVO_BOOK_ASK ? "ask" : "bid", c.diff_level,
                     static_cast<long long>(c.snap_price), static_cast<long long>(c.snap_volume),
                     static_cast<long long>(c.book_price), static_cast<long long>(c.book_volume),
                     static_cast<unsigned long long>(c.diff_seq));
        return 0;
      },
      book_);
}

void BookView::Tick() {
  std::lock_guard<std::mutex> lock(mu_);
  if (ladder_ && !json_ && changes_ != drawn_) draw_ladder();
  auto now = std::chrono::steady_clock::now();
  if (check_ && now - last_check_ >= std::chrono::seconds(1)) {
    last_check_ = now;
    print_check(false);
  }
}

void BookView::Finish() {
  std::lock_guard<std::mutex> lock(mu_);
  if (ladder_ && !json_) draw_ladder();
  if (check_) print_check(true);
}

}  // namespace zavo_tail
