#pragma once
// The native side of one zavo.Book: a book builder fed on the library's
// thread, straight from the data handler and ahead of the bounded record
// queue, so records the queue drops for a slow Python reader still reach
// the book. A mutex serialises the handler's apply with the queries from
// Python threads; both hold it only for one call of the builder.
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "zavo_api.h"
#include "zavo_book.h"

namespace zavo {
namespace py {

class NativeBook {
 public:
  // `flags`: zavo_book_new's. The builder is allocated here; a null one
  // (out of memory) is reported by ok().
  //
  // `filtered`: for a session that leaves fields out (codes, one market,
  // not every kind), whose sequence numbers skip by design. The builder
  // then ignores holes, yet still knows that it started on a running feed
  // (each security stale until its next snapshot) and sees a restart.
  NativeBook(unsigned flags, bool filtered);
  ~NativeBook();
  NativeBook(const NativeBook&) = delete;
  NativeBook& operator=(const NativeBook&) = delete;

  bool ok() const { return book_ != nullptr; }

  // From the live data handler.
  void Apply(const ZAVO_MSG& m);
  // From the retransmission handler: only fields of the gap the book is
  // waiting for are applied (held books only); anything else was seen live.
  void ApplyResent(const ZAVO_MSG& m);

  // Queries; each copies under the lock. Side is ZAVO_BOOK_BID/ASK.
  std::vector<zavo_book_level> Levels(const char* code, char exchange, int side, size_t n);
  // Orders at `price`, at most `n`; `*total` receives how many rest there.
  std::vector<zavo_book_order> Queue(const char* code, char exchange, int side, int64_t price,
                                     size_t n, int* total);
  int LastTrade(const char* code, char exchange, zavo_book_trade* out);
  int Check(const char* code, char exchange, zavo_book_check_info* out);
  zavo_book_totals_info Totals();
  // (code, exchange) of every security the book knows, first seen first.
  std::vector<std::pair<std::string, char>> Securities();
  bool PendingGap(uint64_t* begin, uint64_t* end);
  void DropGap();

 private:
  std::mutex mu_;
  zavo_book* book_;
  bool holds_gaps_;
};

}  // namespace py
}  // namespace zavo
