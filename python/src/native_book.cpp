#include "native_book.h"

#include <algorithm>
#include <string>
#include <utility>

namespace zavo {
namespace py {

namespace {
// First guess of a copy's size: a query asking for many levels or orders
// allocates for what the book has, not for what was asked.
constexpr size_t kFirstCopy = 256;
}  // namespace

NativeBook::NativeBook(unsigned flags, bool filtered)
    : book_(zavo_book_new(filtered ? (flags | ZAVO_BOOK_NO_SEQ_CHECK) : flags)),
      holds_gaps_((flags & ZAVO_BOOK_HOLD_GAPS) != 0) {}

NativeBook::~NativeBook() {
  zavo_book_free(book_);
}

void NativeBook::Apply(const ZAVO_MSG& m) {
  std::lock_guard<std::mutex> lk(mu_);
  zavo_book_apply(book_, &m);
}

void NativeBook::ApplyResent(const ZAVO_MSG& m) {
  if (!holds_gaps_) return;
  std::lock_guard<std::mutex> lk(mu_);
  uint64_t begin = 0, end = 0;
  if (zavo_book_pending_gap(book_, &begin, &end) == 1 && m.SeqNum >= begin && m.SeqNum < end) {
    zavo_book_apply(book_, &m);
  }
}

std::vector<zavo_book_level> NativeBook::Levels(const char* code, char exchange, int side,
                                                size_t n) {
  std::vector<zavo_book_level> out(std::min(n, kFirstCopy));
  std::lock_guard<std::mutex> lk(mu_);
  for (;;) {
    int got =
        zavo_book_levels(book_, code, exchange, side, out.data(), static_cast<int>(out.size()));
    if (got < 0) got = 0;
    if (static_cast<size_t>(got) < out.size() || out.size() == n) {
      out.resize(static_cast<size_t>(got));
      return out;
    }
    // Filled the copy and more was asked for: there may be more levels.
    out.resize(std::min(n, out.size() * 4));
  }
}

std::vector<zavo_book_order> NativeBook::Queue(const char* code, char exchange, int side,
                                               int64_t price, size_t n, int* total) {
  std::vector<zavo_book_order> out(std::min(n, kFirstCopy));
  std::lock_guard<std::mutex> lk(mu_);
  int all =
      zavo_book_queue(book_, code, exchange, side, price, out.data(), static_cast<int>(out.size()));
  if (all < 0) all = 0;
  size_t want = std::min(n, static_cast<size_t>(all));
  if (want > out.size()) {
    // The same lock is still held, so the second copy sees the same queue.
    out.resize(want);
    zavo_book_queue(book_, code, exchange, side, price, out.data(), static_cast<int>(want));
  }
  out.resize(want);
  *total = all;
  return out;
}

int NativeBook::LastTrade(const char* code, char exchange, zavo_book_trade* out) {
  std::lock_guard<std::mutex> lk(mu_);
  return zavo_book_last_trade(book_, code, exchange, out);
}

int NativeBook::Check(const char* code, char exchange, zavo_book_check_info* out) {
  std::lock_guard<std::mutex> lk(mu_);
  return zavo_book_check(book_, code, exchange, out);
}

zavo_book_totals_info NativeBook::Totals() {
  zavo_book_totals_info t{};
  std::lock_guard<std::mutex> lk(mu_);
  zavo_book_totals(book_, &t);
  return t;
}

std::vector<std::pair<std::string, char>> NativeBook::Securities() {
  std::vector<std::pair<std::string, char>> out;
  std::lock_guard<std::mutex> lk(mu_);
  zavo_book_each(
      book_,
      [](void* arg, const char* code, char exchange) {
        static_cast<std::vector<std::pair<std::string, char>>*>(arg)->emplace_back(code, exchange);
        return 0;
      },
      &out);
  return out;
}

bool NativeBook::PendingGap(uint64_t* begin, uint64_t* end) {
  std::lock_guard<std::mutex> lk(mu_);
  return zavo_book_pending_gap(book_, begin, end) == 1;
}

void NativeBook::DropGap() {
  std::lock_guard<std::mutex> lk(mu_);
  zavo_book_drop_gap(book_);
}

}  // namespace py
}  // namespace zavo
