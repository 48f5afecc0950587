#pragma once
// Bounded histories the simulator answers retransmission requests from.
// Both keep the most recent entries in a ring whose slots keep their storage,
// so that once the ring has wrapped, recording allocates nothing.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zavo {
namespace sim {

// Encoded struct fields (field header and record) by field sequence number.
// Sequence numbers are recorded in increasing order, normally without gaps.
class FieldHistory {
 public:
  explicit FieldHistory(size_t capacity) : slots_(capacity ? capacity : 1) {}

  void Record(uint64_t seq, const char* field, size_t len);
  // The field with sequence `seq`, or null when it is not (or no longer)
  // kept.
  const std::vector<char>* Find(uint64_t seq) const;
  // Oldest and newest sequence kept; both 0 when empty.
  uint64_t first() const { return count_ ? last_ - count_ + 1 : 0; }
  uint64_t last() const { return count_ ? last_ : 0; }
  size_t size() const { return count_; }
  size_t capacity() const { return slots_.size(); }

 private:
  struct Slot {
    uint64_t seq = 0;
    std::vector<char> bytes;
  };
  std::vector<Slot> slots_;
  uint64_t last_ = 0;
  size_t count_ = 0;
};

// Raw messages of one exchange by message sequence number.
class RawHistory {
 public:
  explicit RawHistory(size_t capacity) : slots_(capacity ? capacity : 1) {}

  struct Entry {
    uint64_t seq = 0;
    uint32_t send_time = 0;
    std::vector<char> payload;
  };
  void Record(uint64_t seq, uint32_t send_time, const char* payload, size_t len);
  const Entry* Find(uint64_t seq) const;
  uint64_t first() const { return count_ ? last_ - count_ + 1 : 0; }
  uint64_t last() const { return count_ ? last_ : 0; }
  size_t size() const { return count_; }

 private:
  std::vector<Entry> slots_;
  uint64_t last_ = 0;
  size_t count_ = 0;
};

}  // namespace sim
}  // namespace zavo
