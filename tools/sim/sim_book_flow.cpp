#include "sim_book_flow.h"

#include <algorithm>
#include <ctime>

namespace zavo {
namespace sim {

namespace {

// Largest crossing, in ticks beyond the opposite best, and passive depth.
constexpr int64_t kMaxCross = 2;
constexpr int64_t kMaxDepth = 9;

}  // namespace

SimBookFlow::SimBookFlow(const SimConfig& cfg, const std::vector<Instrument>& stocks)
    : rng_(cfg.seed * 0x9E3779B97F4A7C15ULL + 0xB00C),
      stocks_(stocks),
      books_(stocks.size()),
      seeded_(stocks.size(), false) {}

WireWriter& SimBookFlow::push(uint16_t id) {
  if (used_ == pending_.size()) pending_.emplace_back();
  Pending& p = pending_[used_++];
  p.id = id;
  p.w.Reset();
  return p.w;
}

bool SimBookFlow::Next(uint64_t stamp, WireWriter* w, uint16_t* id, bool force) {
  if (head_ == used_) {
    head_ = used_ = 0;
    if (stocks_.empty()) return false;
    if (!force && rng_.Below(100) < 12) return false;
    // An event can leave nothing to publish (a cancel on an empty book, a
    // refused own-side-best order on Shanghai); the snapshot at the end of
    // each event guarantees a record within a few tries.
    while (used_ == 0) event(stamp);
  }
  const Pending& p = pending_[head_++];
  w->Bytes(p.w.data(), p.w.size());
  *id = p.id;
  return true;
}

int64_t SimBookFlow::clamp(size_t s, int64_t px) const {
  const Instrument& in = stocks_[s];
  return std::min(std::max(px, in.down_limit), in.up_limit);
}

// The price passive orders of a side are placed from: its own best, else
// one tick inside the other side, else the last trade or previous close.
int64_t SimBookFlow::reference(size_t s, bool buy) const {
  const SimOrderBook& b = books_[s];
  const Instrument& in = stocks_[s];
  int64_t own = b.Best(buy), other = b.Best(!buy);
  if (own) return own;
  if (other) return buy ? other - in.tick : other + in.tick;
  int64_t mid = b.last ? b.last : in.pre_close;
  return buy ? mid - in.tick : mid + in.tick;
}

// A book opens, the first time its stock is picked, with five levels a
// side around the previous close, one or two orders each, published like
// any other orders and followed by a snapshot.
void SimBookFlow::seed(size_t s, uint64_t stamp) {
  seeded_[s] = true;
  const Instrument& in = stocks_[s];
  for (int64_t k = 1; k <= 5; ++k) {
    for (int side = 0; side < 2; ++side) {
      int64_t px = in.pre_close + (side ? k : -k) * in.tick;
      if (px < in.down_limit || px > in.up_limit || px <= 0) continue;
      for (int64_t n = rng_.Range(1, 2); n > 0; --n) {
        submit(s, side == 0, SimOrderType::kLimit, px, 100 * rng_.Range(1, 30), stamp);
      }
    }
  }
  put_snapshot(s, stamp);
}

void SimBookFlow::event(uint64_t stamp) {
  size_t s = rng_.Below(stocks_.size());
  if (!seeded_[s]) {
    seed(s, stamp);
    return;
  }
  const Instrument& in = stocks_[s];
  SimOrderBook& b = books_[s];
  SimLevel lv[10];
  size_t bid_depth = b.Levels(true, lv, 10), ask_depth = b.Levels(false, lv, 10);
  bool buy = rng_.Below(2) == 0;
  uint64_t r = rng_.Below(100);
  // A thin side attracts passive orders so the books stay deep.
  if (bid_depth < 5 || ask_depth < 5) {
    if (rng_.Below(2) == 0) {
      buy = bid_depth <= ask_depth;
      r = 0;
    }
  }
  int64_t lot = 100;
  if (r < 50) {
    int64_t px = reference(s, buy) + (buy ? -1 : 1) * rng_.Range(0, kMaxDepth) * in.tick;
    submit(s, buy, SimOrderType::kLimit, clamp(s, px), lot * rng_.Range(1, 30), stamp);
    counts_.limit += 1;
  } else if (r < 62) {
    int64_t other = b.Best(!buy);
    int64_t px =
        other ? other + (buy ? 1 : -1) * rng_.Range(0, kMaxCross) * in.tick : reference(s, buy);
    submit(s, buy, SimOrderType::kLimit, clamp(s, px), lot * rng_.Range(1, 60), stamp);
    counts_.crossing += 1;
  } else if (r < 82) {
    cancel(s, stamp);
  } else if (r < 90) {
    int64_t qty = lot * rng_.Range(1, 40);
    if (rng_.Below(4) == 0) {
      // A sweep: a little more than the three best opposite levels.
      size_t n = b.Levels(!buy, lv, 3);
      for (size_t i = 0; i < n; ++i) qty += lv[i].volume;
    }
    submit(s, buy, SimOrderType::kMarket, 0, qty, stamp);
    counts_.market += 1;
  } else if (r < 96) {
    submit(s, buy, SimOrderType::kOwnBest, 0, lot * rng_.Range(1, 20), stamp);
    counts_.own_best += 1;
  }
  if (used_ == 0 || rng_.Below(3) == 0) put_snapshot(s, stamp);
  if (rng_.Below(10) == 0) put_queue(s, rng_.Below(2) == 0, stamp);
}

void SimBookFlow::submit(size_t s, bool buy, SimOrderType type, int64_t price, int64_t qty,
                         uint64_t stamp) {
  const Instrument& in = stocks_[s];
  int64_t id = ++order_seq_[in.exchange];
  books_[s].Submit(id, buy, type, price, qty, &outcome_);
  const SimOutcome& o = outcome_;
  char bs = buy ? '1' : '2';
  if (type == SimOrderType::kOwnBest && o.dropped) counts_.own_best_refused += 1;
  if (in.exchange == 2) {
    char t = type == SimOrderType::kLimit ? '2' : type == SimOrderType::kMarket ? '1' : 'U';
    put_order(s, id, buy, t, type == SimOrderType::kLimit ? price : 0, qty, stamp);
  }
  for (const SimFill& f : o.fills) {
    put_trade(s, buy ? f.passive : id, buy ? id : f.passive, f.price, f.qty, '1', bs, stamp);
  }
  if (in.exchange == 2) {
    if (o.dropped) put_trade(s, buy ? 0 : id, buy ? id : 0, 0, o.dropped, '2', ' ', stamp);
  } else if (o.rested) {
    put_sh_order(s, id, buy, 'A', o.price, o.rested, stamp);
  }
}

void SimBookFlow::cancel(size_t s, uint64_t stamp) {
  SimOrderBook& b = books_[s];
  int64_t id = b.AnyOrder(rng_);
  if (id == 0) return;
  bool buy = false;
  int64_t price = 0;
  int64_t left = b.Cancel(id, &buy, &price);
  counts_.cancels += 1;
  if (stocks_[s].exchange == 2) {
    put_trade(s, buy ? 0 : id, buy ? id : 0, 0, left, '2', ' ', stamp);
  } else {
    put_sh_order(s, id, buy, 'D', price, left, stamp);
  }
}

void SimBookFlow::put_order(size_t s, int64_t seq, bool buy, char type, int64_t price, int64_t qty,
                            uint64_t stamp) {
  const Instrument& in = stocks_[s];
  WireWriter& w = push(kFidOrderDetail);
  w.Text(in.code.c_str(), 16);
  w.U8(in.exchange);
  w.U64(stamp);
  w.I64(seq);
  w.I64(price);
  w.I64(qty);
  w.U8(buy ? '1' : '2');
  w.U8(static_cast<uint8_t>(type));
}

void SimBookFlow::put_sh_order(size_t s, int64_t no, bool buy, char type, int64_t price,
                               int64_t balance, uint64_t stamp) {
  const Instrument& in = stocks_[s];
  WireWriter& w = push(kFidSHOrderDetail);
  w.Text(in.code.c_str(), 16);
  w.U64(stamp);
  w.I32(static_cast<int32_t>(no));
  w.I32(static_cast<int32_t>(1 + in.code.back() % 6));  // channel by code
  w.I64(price);
  w.I64(balance);
  w.I64(no);
  w.U8(static_cast<uint8_t>(type));
  w.U8(buy ? '1' : '2');
  w.I64(++biz_index_);
  w.U8('0');
}

void SimBookFlow::put_trade(size_t s, int64_t ask, int64_t bid, int64_t price, int64_t qty,
                            char exec, char bs, uint64_t stamp) {
  const Instrument& in = stocks_[s];
  if (exec == '1') counts_.trades += 1;
  WireWriter& w = push(kFidTradeDetail);
  w.Text(in.code.c_str(), 16);
  w.U8(in.exchange);
  w.U64(stamp);
  w.I64(++trade_seq_[in.exchange]);
  w.I64(price);
  w.I64(qty);
  w.I64(price * qty);
  w.I64(ask);
  w.I64(bid);
  w.U8(static_cast<uint8_t>(exec));
  w.U8(static_cast<uint8_t>(bs));
  w.I32(static_cast<int32_t>(1 + in.code.back() % 6));
  w.I64(++biz_index_);
}

void SimBookFlow::put_snapshot(size_t s, uint64_t stamp) {
  const Instrument& in = stocks_[s];
  const SimOrderBook& b = books_[s];
  counts_.snapshots += 1;
  SimLevel bids[10] = {}, asks[10] = {};
  b.Levels(true, bids, 10);
  b.Levels(false, asks, 10);
  // Before the first trade the previous close stands for every price.
  int64_t last = b.trades ? b.last : in.pre_close;
  int64_t open = b.trades ? b.open : in.pre_close;
  WireWriter& w = push(kFidSecuritySnapShot);
  w.Text(in.code.c_str(), 16);
  w.U8(in.exchange);
  w.U64(stamp);
  w.I32(2);  // continuous trading
  w.I64(in.pre_close);
  w.I64(open);
  w.I64(b.trades ? b.high : last);
  w.I64(b.trades ? b.low : last);
  w.I64(last);
  for (const SimLevel& l : asks) w.U64(static_cast<uint64_t>(l.price));
  for (const SimLevel& l : asks) w.U64(static_cast<uint64_t>(l.volume));
  for (const SimLevel& l : bids) w.U64(static_cast<uint64_t>(l.price));
  for (const SimLevel& l : bids) w.U64(static_cast<uint64_t>(l.volume));
  int64_t bid_avg = 0, ask_avg = 0;
  int64_t bid_total = b.Total(true, &bid_avg), ask_total = b.Total(false, &ask_avg);
  w.I64(b.trades);
  w.I64(b.volume);
  w.I64(b.value);
  w.I64(bid_total);
  w.I64(ask_total);
  w.I64(bid_avg);
  w.I64(ask_avg);
  w.I64(0);  // IOPV: funds only
  w.I64(0);  // yield to maturity: bonds only
  w.I64(in.up_limit);
  w.I64(in.down_limit);
  w.I64(0);  // P/E ratios are not modelled in book mode
  w.I64(0);
  w.I64(last - in.pre_close);
  w.I64(last - open);
  w.I64(0);  // after-hours fields stay empty during the session
  w.I64(0);
  w.I64(0);
  w.I64(0);
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  w.I64(ts.tv_sec);
  w.I64(ts.tv_nsec);
}

void SimBookFlow::put_queue(size_t s, bool buy, uint64_t stamp) {
  const Instrument& in = stocks_[s];
  int64_t price = 0;
  uint32_t count = 0, qtys[200] = {};
  size_t filled = 0;
  if (!books_[s].BestQueue(buy, &price, &count, qtys, 200, &filled)) return;
  counts_.queues += 1;
  WireWriter& w = push(kFidOrderQueue);
  w.Text(in.code.c_str(), 16);
  w.U8(in.exchange);
  w.U64(stamp);
  w.U8(buy ? '1' : '2');
  w.I64(price);
  w.I64(count);
  w.I64(static_cast<int64_t>(filled));
  for (uint32_t q : qtys) w.U32(q);
}

}  // namespace sim
}  // namespace zavo
