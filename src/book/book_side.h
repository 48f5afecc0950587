#pragma once
// One side of one security's book: its price levels, each a queue of orders
// in time priority.
//
// Levels are kept in a vector sorted so that the best price is last: almost
// every change happens at or near the best price, where inserting and
// erasing moves few elements, and the vector keeps its capacity, so a level
// that comes and goes allocates nothing after warm-up.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "book/order_pool.h"

namespace zavo {
namespace book {

struct Level {
  int64_t price = 0;
  int64_t volume = 0;
  uint32_t orders = 0;
  int32_t head = -1, tail = -1;
};

class BookSide {
 public:
  explicit BookSide(bool ask) : ask_(ask) {}

  // Appends the order (slot `s`, price and qty set) to its level's queue.
  void Rest(OrderPool& pool, int32_t s);
  // Takes `qty` off a resting order; unlinks it when nothing is left and
  // returns true then (the caller frees the slot).
  bool Reduce(OrderPool& pool, int32_t s, int64_t qty);
  // Unlinks a resting order whatever it has left.
  void Remove(OrderPool& pool, int32_t s);

  // Level `i` counted from the best (0), or null.
  const Level* FromBest(size_t i) const {
    return i < levels_.size() ? &levels_[levels_.size() - 1 - i] : nullptr;
  }
  const Level* At(int64_t price) const;
  size_t depth() const { return levels_.size(); }
  void Reserve(size_t n) { levels_.reserve(n); }

 private:
  // Index of the level at `price`, or of where it would go.
  size_t position(int64_t price) const;
  Level* level_at(int64_t price);
  void unlink(OrderPool& pool, int32_t s, Level* lv);

  bool ask_;
  std::vector<Level> levels_;  // worst first, best last
};

}  // namespace book
}  // namespace zavo
