#pragma once
// HoldQueue: copies of the records that arrived behind a hole in the
// sequence, kept in sequence order until the hole is settled. No thread.
//
// Copies live in recycled blocks of three sizes (every public record fits
// the largest), so a session that keeps finding holes stops allocating once
// its spares cover its peak. bytes() counts the blocks and their entries:
// what the bound in bytes is checked against.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace zavo {

class HoldQueue {
 public:
  struct Record {
    uint64_t seq;
    uint32_t kind;
    uint32_t size;
    uint32_t msg_time;
    uint8_t size_class;
    char* data;
  };

  HoldQueue() = default;
  ~HoldQueue();
  HoldQueue(const HoldQueue&) = delete;
  HoldQueue& operator=(const HoldQueue&) = delete;

  // Copies a record. Usually the newest (appended); one that fills an
  // older hole goes in its place.
  void Add(uint64_t seq, uint32_t kind, uint32_t size, uint32_t msg_time, const void* record);
  bool empty() const { return held_.empty(); }
  size_t size() const { return held_.size(); }
  const Record& front() const { return held_.front(); }
  // Recycles the front copy.
  void PopFront();
  // Recycles every copy.
  void Clear();

  uint64_t bytes() const { return bytes_; }
  uint64_t peak_bytes() const { return peak_bytes_; }

  // What one held copy of `size` bytes counts against the bound.
  static uint64_t Charge(uint32_t size);

 private:
  static uint8_t class_of(uint32_t size);
  char* take(uint8_t size_class, uint32_t size);
  void give_back(const Record& r);

  std::deque<Record> held_;
  std::vector<char*> spare_[3];
  uint64_t bytes_ = 0;
  uint64_t peak_bytes_ = 0;
};

}  // namespace zavo
