#pragma once
// The order books of every security seen on a feed, built from order and
// trade details and checked against each security snapshot. The C
// interface in include/zavo_book.h is a thin layer over this class; the
// exchange rules it follows are described there.
#include <cstdint>
#include <cstring>
#include <vector>

#include "book/book_side.h"
#include "book/code_table.h"
#include "book/held_fields.h"
#include "book/order_index.h"
#include "book/order_pool.h"
#include "zavo_book.h"

namespace zavo {
namespace book {

struct SecurityBook {
  SecurityBook() : bid(false), ask(true) {}
  char code[16] = {};
  char exchange = 0;
  BookSide bid, ask;
  bool has_trade = false;
  zavo_book_trade last_trade{};
  zavo_book_check_info check{};
  BookSide& side(int s) { return s == ZAVO_BOOK_ASK ? ask : bid; }
  const BookSide& side(int s) const { return s == ZAVO_BOOK_ASK ? ask : bid; }
};

class BookBuilder {
 public:
  explicit BookBuilder(unsigned flags) : flags_(flags) { totals_ = zavo_book_totals_info(); }

  int Apply(const ZAVO_MSG& msg);
  void Reserve(uint32_t securities, uint64_t orders);

  // Null when the book has never seen the security.
  const SecurityBook* Find(const char* code, char exchange) const;
  const std::vector<SecurityBook>& securities() const { return books_; }
  const OrderPool& pool() const { return pool_; }
  zavo_book_totals_info Totals() const;

  // The range still missing while fields are held (ZAVO_BOOK_HOLD_GAPS).
  bool PendingGap(uint64_t* begin, uint64_t* end) const;
  // Stops waiting for the missing range: what was held is applied and
  // every security is stale.
  void DropGap();

  // Most bytes of messages held while waiting for a gap to be filled.
  static constexpr size_t kMaxHeldBytes = 64u << 20;

 private:
  bool sequence_ok(const ZAVO_MSG& msg, int* result);
  bool filtered_sequence_ok(const ZAVO_MSG& msg);
  // A range the session could not recover (ZAVO_MSG_LOST_RANGE).
  int lost_range(const ZAVO_LostRange& lost);
  int route(const ZAVO_MSG& msg);
  int apply_record(const ZAVO_MSG& msg);
  void hold(const ZAVO_MSG& msg);
  int while_holding(const ZAVO_MSG& msg);
  void replay();
  // Index of a security's book, made on first sight.
  uint32_t security(const char (&code)[16], char exchange);
  // Index of a known security's book, or UINT32_MAX.
  uint32_t lookup(const CodeKey& key);
  int apply_order(const ZAVO_OrderDetail& r);
  int apply_sh_order(const ZAVO_SHOrderDetail& r);
  int apply_trade(const ZAVO_TradeDetail& r, uint32_t time);
  int apply_snapshot(const ZAVO_SecuritySnapShot& r, uint64_t seq);
  // Adds an order; `rest` false holds it off the book.
  void add(uint32_t sec, int side, int64_t seq, int64_t price, int64_t qty, bool rest);
  // Takes `qty` off an order (all of it when qty < 0); frees it at zero.
  // An unknown order is counted unless `expected_unknown`; returns whether
  // the order was known.
  bool reduce(uint32_t sec, int64_t seq, int64_t qty, bool expected_unknown);
  // Makes the top of a book that of a snapshot.
  void resync(SecurityBook* b, const ZAVO_SecuritySnapShot& r);

  unsigned flags_;
  uint64_t last_seq_ = 0;
  bool seen_gap_ = false;
  bool holding_ = false;
  uint64_t gap_next_ = 0, gap_end_ = 0;  // missing: [gap_next_, gap_end_)
  HeldFields held_, replaying_;
  bool replaying_now_ = false;
  zavo_book_totals_info totals_;
  std::vector<SecurityBook> books_;
  CodeTable by_code_;
  CodeKey last_key_{};
  uint32_t last_index_ = UINT32_MAX;
  OrderPool pool_;
  OrderIndex index_;
};

}  // namespace book
}  // namespace zavo
