#pragma once
// GapTracker: the field sequence of a feed as one receiver sees it, and the
// holes in it. No thread, no socket, no records: it says, field by field,
// whether a number is the next one to deliver, one to hold until the holes
// before it are settled, or one already seen; and it keeps the missing
// ranges (each pending or lost, with the time it was found) in sequence
// order.
//
// `next` is the first number not yet delivered nor reported lost; while a
// hole is open, numbers up to `max_seen` that are not missing have arrived
// and wait (held, or filtered out and nothing to hold). Everything below
// `next` is settled: a field there is a duplicate.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zavo {

class GapTracker {
 public:
  enum class Verdict : uint8_t {
    kDeliver,    // the next number: deliver now
    kHold,       // arrived behind an open hole: hold until it is settled
    kDuplicate,  // a live field already delivered, reported or held
    kRedundant,  // a recovered field already had: ignore
  };
  struct Range {
    uint64_t begin;
    uint64_t end;      // exclusive
    int64_t found_ms;  // when the hole was found
    uint32_t lost;     // 0 while pending, else why it cannot be recovered
  };

  // One field of the feed (`recovered` false) or of a retransmission.
  Verdict OnField(uint64_t seq, int64_t now_ms, bool recovered);

  bool started() const { return started_; }
  bool holding() const { return !missing_.empty(); }
  uint64_t next() const { return next_; }
  uint64_t max_seen() const { return max_seen_; }
  const std::vector<Range>& missing() const { return missing_; }
  // First missing range; only while holding().
  const Range& front() const { return missing_.front(); }

  // Everything below `seq` is settled (delivered, nothing to deliver, or
  // reported); never past the first missing number.
  void SettleTo(uint64_t seq);
  // Removes the first missing range, once reported lost: next moves past it.
  void PopFront();
  // Pending numbers within [begin, end) become lost for `reason`.
  void MarkLost(uint64_t begin, uint64_t end, uint32_t reason);
  // Pending ranges found at or before `deadline_ms` become lost.
  void MarkFoundBefore(int64_t deadline_ms, uint32_t reason);
  // The span a request should cover: from the first to the end of the last
  // pending range. False when nothing is pending.
  bool PendingSpan(uint64_t* begin, uint64_t* end) const;
  // A new day: no hole is open any more (the caller reported them). A next
  // live number below next() starts the sequence afresh; any other is
  // taken as ever.
  void Restart();

  uint64_t gaps() const { return gaps_; }
  uint64_t missing_fields() const { return missing_fields_; }
  uint64_t filled() const { return filled_; }
  uint64_t duplicates() const { return duplicates_; }

 private:
  void add_hole(uint64_t begin, uint64_t end, int64_t now_ms);
  // Index of the range holding `seq`, or missing_.size().
  size_t find(uint64_t seq) const;

  bool started_ = false;
  bool restart_ = false;
  uint64_t next_ = 0;
  uint64_t max_seen_ = 0;
  std::vector<Range> missing_;
  uint64_t gaps_ = 0;
  uint64_t missing_fields_ = 0;
  uint64_t filled_ = 0;
  uint64_t duplicates_ = 0;
};

}  // namespace zavo
