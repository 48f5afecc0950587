#include "book/book_side.h"

namespace zavo {
namespace book {

size_t BookSide::position(int64_t price) const {
  // Bids ascend towards the best (highest); asks descend towards the best
  // (lowest). Search from the best end first: most prices are near it.
  size_t n = levels_.size();
  auto before = [this](int64_t a, int64_t b) { return ask_ ? a > b : a < b; };
  if (n == 0 || before(levels_[n - 1].price, price)) return n;
  // levels_[n - 1] is not before `price`. A few steps down from the best
  // cover most changes without a search; below them, search.
  size_t stop = n > 5 ? n - 5 : 0;
  for (size_t i = n - 1; i > stop; --i) {
    if (before(levels_[i - 1].price, price)) return i;
  }
  size_t lo = 0, hi = stop;
  while (lo < hi) {
    size_t mid = (lo + hi) / 2;
    if (before(levels_[mid].price, price)) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

Level* BookSide::level_at(int64_t price) {
  size_t i = position(price);
  return i < levels_.size() && levels_[i].price == price ? &levels_[i] : nullptr;
}

const Level* BookSide::At(int64_t price) const {
  size_t i = position(price);
  return i < levels_.size() && levels_[i].price == price ? &levels_[i] : nullptr;
}

void BookSide::Rest(OrderPool& pool, int32_t s) {
  Order& o = pool[s];
  size_t i = position(o.price);
  if (i == levels_.size() || levels_[i].price != o.price) {
    Level lv;
    lv.price = o.price;
    levels_.insert(levels_.begin() + static_cast<std::ptrdiff_t>(i), lv);
  }
  Level& lv = levels_[i];
  o.prev = lv.tail;
  o.next = -1;
  if (lv.tail >= 0) {
    pool[lv.tail].next = s;
  } else {
    lv.head = s;
  }
  lv.tail = s;
  lv.orders += 1;
  lv.volume += o.qty;
  o.state = OrderState::kResting;
}

void BookSide::unlink(OrderPool& pool, int32_t s, Level* lv) {
  Order& o = pool[s];
  if (o.prev >= 0) {
    pool[o.prev].next = o.next;
  } else {
    lv->head = o.next;
  }
  if (o.next >= 0) {
    pool[o.next].prev = o.prev;
  } else {
    lv->tail = o.prev;
  }
  lv->orders -= 1;
  lv->volume -= o.qty;
  o.qty = 0;
  if (lv->orders == 0 && lv->inferred == 0) {
    levels_.erase(levels_.begin() + (lv - levels_.data()));
  }
}

bool BookSide::Reduce(OrderPool& pool, int32_t s, int64_t qty) {
  Order& o = pool[s];
  Level* lv = level_at(o.price);
  if (lv == nullptr) return false;  // cannot happen for a resting order
  if (qty < o.qty) {
    o.qty -= qty;
    lv->volume -= qty;
    return false;
  }
  unlink(pool, s, lv);
  return true;
}

int64_t BookSide::TakeInferred(int64_t price, int64_t qty) {
  Level* lv = level_at(price);
  if (lv == nullptr || lv->inferred <= 0) return 0;
  int64_t take = qty < lv->inferred ? qty : lv->inferred;
  lv->inferred -= take;
  lv->volume -= take;
  if (lv->orders == 0 && lv->inferred == 0) {
    levels_.erase(levels_.begin() + (lv - levels_.data()));
  }
  return take;
}

size_t BookSide::inferred_levels() const {
  size_t n = 0;
  for (const Level& lv : levels_) n += lv.inferred != 0;
  return n;
}

void BookSide::Remove(OrderPool& pool, int32_t s) {
  Level* lv = level_at(pool[s].price);
  if (lv != nullptr) unlink(pool, s, lv);
}

}  // namespace book
}  // namespace zavo
