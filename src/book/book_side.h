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
  int64_t volume = 0;    // the orders' quantities plus `inferred`
  int64_t inferred = 0;  // quantity of orders never seen, taken from a snapshot
  uint32_t orders = 0;   // orders seen
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

  // Takes up to `qty` off the quantity inferred at `price` (orders the
  // book never saw that traded or left). Returns what was taken.
  int64_t TakeInferred(int64_t price, int64_t qty);
  // Makes the best levels those of a snapshot (`n` prices and volumes,
  // best first, a zero price ends them): volume the seen orders do not
  // explain becomes inferred quantity, and every seen order at a price the
  // snapshot shows empty, or where it shows less than the orders hold, is
  // passed to `drop` and unlinked (the exchange no longer has it). Levels
  // beyond the snapshot's last are kept when it lists ten, dropped when it
  // lists fewer (it then shows the whole side).
  template <class Drop>
  void Adopt(OrderPool& pool, const uint64_t* px, const uint64_t* vol, size_t n, Drop drop);
  // Levels holding inferred quantity.
  size_t inferred_levels() const;

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

template <class Drop>
void BookSide::Adopt(OrderPool& pool, const uint64_t* px, const uint64_t* vol, size_t n,
                     Drop drop) {
  size_t k = 0;
  while (k < n && px[k] != 0) ++k;
  auto before = [this](int64_t a, int64_t b) { return ask_ ? a > b : a < b; };
  // From the best down to the snapshot's last price (the whole side when
  // the snapshot shows fewer than n levels): a level the snapshot does not
  // show goes, and a level where it shows less than the seen orders hold
  // loses those orders (which ones went cannot be told).
  int64_t worst = k ? static_cast<int64_t>(px[k - 1]) : 0;
  for (size_t i = levels_.size(); i > 0; --i) {
    if (k == n && before(levels_[i - 1].price, worst)) break;
    int64_t want = -1;
    for (size_t j = 0; j < k; ++j) {
      if (static_cast<int64_t>(px[j]) == levels_[i - 1].price) want = static_cast<int64_t>(vol[j]);
    }
    Level& lv = levels_[i - 1];
    if (want >= 0 && want >= lv.volume - lv.inferred) continue;
    // Unknown quantity first, so that the last unlink erases the level.
    lv.volume -= lv.inferred;
    lv.inferred = 0;
    size_t had = lv.orders;
    if (had == 0) levels_.erase(levels_.begin() + static_cast<std::ptrdiff_t>(i - 1));
    for (size_t left = had; left > 0; --left) {
      Level& cur = levels_[i - 1];
      int32_t s = cur.head;
      unlink(pool, s, &cur);
      drop(s);
    }
  }
  // Then each snapshot level gets the volume it shows; what the seen
  // orders do not explain is inferred.
  for (size_t j = 0; j < k; ++j) {
    int64_t price = static_cast<int64_t>(px[j]);
    size_t i = position(price);
    if (i == levels_.size() || levels_[i].price != price) {
      Level fresh;
      fresh.price = price;
      levels_.insert(levels_.begin() + static_cast<std::ptrdiff_t>(i), fresh);
    }
    Level& lv = levels_[i];
    lv.inferred = static_cast<int64_t>(vol[j]) - (lv.volume - lv.inferred);
    lv.volume = static_cast<int64_t>(vol[j]);
    if (lv.orders == 0 && lv.inferred == 0) {
      levels_.erase(levels_.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
}

}  // namespace book
}  // namespace zavo
