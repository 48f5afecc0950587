#pragma once
// Resting and held orders of every book, in one pool of slots reused
// through a free list, so that an add after warm-up takes a slot instead of
// allocating.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zavo {
namespace book {

enum class OrderState : uint8_t { kFree = 0, kResting = 1, kHeld = 2 };

struct Order {
  int64_t seq = 0;
  int64_t price = 0;
  int64_t qty = 0;               // remaining
  int32_t prev = -1, next = -1;  // neighbours in the level's queue
  uint32_t security = 0;
  uint8_t side = 0;  // 0 bid, 1 ask
  OrderState state = OrderState::kFree;
};

class OrderPool {
 public:
  int32_t Take() {
    if (free_ < 0) grow();
    int32_t s = free_;
    free_ = orders_[static_cast<size_t>(s)].next;
    orders_[static_cast<size_t>(s)] = Order();
    return s;
  }
  void Give(int32_t s) {
    Order& o = orders_[static_cast<size_t>(s)];
    o.state = OrderState::kFree;
    o.next = free_;
    free_ = s;
  }
  Order& operator[](int32_t s) { return orders_[static_cast<size_t>(s)]; }
  const Order& operator[](int32_t s) const { return orders_[static_cast<size_t>(s)]; }
  void Reserve(size_t count) {
    while (orders_.size() < count) grow();
  }

 private:
  void grow() {
    size_t old = orders_.size();
    size_t add = old ? old : 1024;
    orders_.resize(old + add);
    // Chain the new slots in ascending order in front of the free list.
    for (size_t i = old; i < old + add; ++i) {
      orders_[i].next = i + 1 < old + add ? static_cast<int32_t>(i + 1) : free_;
    }
    free_ = static_cast<int32_t>(old);
  }

  std::vector<Order> orders_;
  int32_t free_ = -1;
};

}  // namespace book
}  // namespace zavo
