#pragma once
// Counters of what a session delivered: records by kind, per-second rates and
// sequence gaps. Written by the library's delivery thread, read by the
// status printer on another thread, so every counter is atomic.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "zavo_api.h"

namespace zavo_tail {

class FeedStats {
 public:
  static constexpr int kKinds = 8;  // 100..106 and 200

  // Maps a message kind to a counter slot, -1 for kinds that are not data.
  static int SlotOf(uint32_t msg_type);
  static const char* SlotName(int slot);

  // A filtered session skips sequence numbers by design: the feed numbers
  // every field, the filter delivers some. Its holes are then reported as
  // holes, not as gaps, so that nobody reads them as loss. Set before the
  // first record.
  void SetFiltered(bool filtered) { filtered_ = filtered; }
  bool Filtered() const { return filtered_; }

  // Struct mode: one global field sequence. Raw mode: one per exchange
  // (stream 1 or 2). Returns the number of sequence numbers skipped.
  uint64_t OnRecord(uint32_t msg_type, uint64_t seq, int stream);
  // A range the library could not recover (ZAVO_MSG_LOST_RANGE, struct
  // mode): counted as lost, not as a gap of the stream.
  void OnLost(const ZAVO_LostRange& range);
  // The library's newest feed-health counters (ZAVO_MSG_FEED_STATS), from
  // its event-loop thread.
  void SetHealth(const ZAVO_FeedStats& health);
  uint64_t LostRanges() const { return lost_ranges_.load(std::memory_order_relaxed); }
  uint64_t LostFields() const { return lost_fields_.load(std::memory_order_relaxed); }

  uint64_t Count(int slot) const { return counts_[slot].load(std::memory_order_relaxed); }
  uint64_t Total() const;
  uint64_t Gaps() const { return gaps_.load(std::memory_order_relaxed); }
  uint64_t Missing() const { return missing_.load(std::memory_order_relaxed); }
  uint64_t Backwards() const { return backwards_.load(std::memory_order_relaxed); }

  // One status line with the rates since the previous call (main thread).
  std::string StatusLine(double elapsed_s);
  // Records by kind, gaps: the end-of-run summary.
  std::string Summary() const;

 private:
  std::atomic<uint64_t> counts_[kKinds] = {};
  uint64_t last_counts_[kKinds] = {};
  uint64_t last_seq_[3] = {0, 0, 0};  // delivery thread only
  std::atomic<uint64_t> gaps_{0};
  std::atomic<uint64_t> missing_{0};
  std::atomic<uint64_t> backwards_{0};
  std::atomic<uint64_t> lost_ranges_{0};
  std::atomic<uint64_t> lost_fields_{0};
  bool filtered_ = false;
  std::string health_text() const;
  mutable std::mutex health_mu_;
  bool have_health_ = false;  // guarded by health_mu_
  ZAVO_FeedStats health_{};   // guarded by health_mu_
};

}  // namespace zavo_tail
