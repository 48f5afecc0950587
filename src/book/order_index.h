#pragma once
// Map from (security, order sequence) to an order's slot in the order pool.
//
// Open addressing with linear probing and backward-shift deletion: no
// tombstones, so a day of adds and deletes never degrades the probe length,
// and no allocation except when the table doubles.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zavo {
namespace book {

class OrderIndex {
 public:
  OrderIndex() { rehash(1024); }

  // Slot of the order, or -1.
  int32_t Find(uint32_t security, int64_t seq) const {
    for (size_t i = home(security, seq);; i = (i + 1) & mask_) {
      const Entry& e = table_[i];
      if (e.slot < 0) return -1;
      if (e.seq == seq && e.security == security) return e.slot;
    }
  }

  // Inserts; returns false (and changes nothing) when the key is present.
  bool Insert(uint32_t security, int64_t seq, int32_t slot);

  // Removes the key if present.
  void Erase(uint32_t security, int64_t seq);

  // Grows so that `count` keys fit without a rehash.
  void Reserve(size_t count);

  size_t size() const { return size_; }

 private:
  struct Entry {
    int64_t seq;
    uint32_t security;
    int32_t slot;  // -1: empty
  };

  size_t home(uint32_t security, int64_t seq) const {
    uint64_t h = static_cast<uint64_t>(seq) * 0x9E3779B97F4A7C15ULL ^
                 (static_cast<uint64_t>(security) * 0xC2B2AE3D27D4EB4FULL);
    h ^= h >> 29;
    return static_cast<size_t>(h) & mask_;
  }
  void rehash(size_t capacity);

  std::vector<Entry> table_;
  size_t mask_ = 0;
  size_t size_ = 0;
};

}  // namespace book
}  // namespace zavo
