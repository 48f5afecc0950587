#include "feed_stats.h"

#include <cstdio>

namespace zavo_tail {

namespace {
const char* const kSlotNames[FeedStats::kKinds] = {"index", "security", "future",   "trade",
                                                   "order", "queue",    "sh_order", "raw"};
}

int FeedStats::SlotOf(uint32_t msg_type) {
  if (msg_type >= 100 && msg_type <= 106) return static_cast<int>(msg_type - 100);
  if (msg_type == 200) return 7;
  return -1;
}

const char* FeedStats::SlotName(int slot) {
  return slot >= 0 && slot < kKinds ? kSlotNames[slot] : "?";
}

uint64_t FeedStats::OnRecord(uint32_t msg_type, uint64_t seq, int stream) {
  int slot = SlotOf(msg_type);
  if (slot < 0) return 0;
  counts_[slot].fetch_add(1, std::memory_order_relaxed);
  if (stream < 0 || stream > 2) stream = 0;
  uint64_t& last = last_seq_[stream];
  uint64_t skipped = 0;
  if (last != 0 && seq > last + 1) {
    skipped = seq - last - 1;
    gaps_.fetch_add(1, std::memory_order_relaxed);
    missing_.fetch_add(skipped, std::memory_order_relaxed);
  } else if (last != 0 && seq <= last) {
    backwards_.fetch_add(1, std::memory_order_relaxed);
  }
  if (seq > last) last = seq;
  return skipped;
}

void FeedStats::OnLost(const ZAVO_LostRange& range) {
  lost_ranges_.fetch_add(1, std::memory_order_relaxed);
  lost_fields_.fetch_add(range.EndSeq - range.BeginSeq, std::memory_order_relaxed);
  // The stream goes on after the range: no gap for it.
  if (range.EndSeq > last_seq_[0] + 1) last_seq_[0] = range.EndSeq - 1;
}

void FeedStats::SetHealth(const ZAVO_FeedStats& health) {
  std::lock_guard<std::mutex> lock(health_mu_);
  health_ = health;
  have_health_ = true;
}

std::string FeedStats::health_text() const {
  std::lock_guard<std::mutex> lock(health_mu_);
  if (!have_health_) return "";
  const ZAVO_FeedStats& h = health_;
  char buf[512];
  std::snprintf(
      buf, sizeof(buf),
      "datagrams=%llu bytes=%llu fields=%llu delivered=%llu filtered=%llu gaps=%llu "
      "missing=%llu recovered=%llu lost=%llu duplicates=%llu queue_drops=%llu "
      "kernel_drops=%llu takeovers=%llu reconnects=%llu held_peak=%llu",
      static_cast<unsigned long long>(h.Datagrams), static_cast<unsigned long long>(h.Bytes),
      static_cast<unsigned long long>(h.Fields), static_cast<unsigned long long>(h.Delivered),
      static_cast<unsigned long long>(h.Filtered), static_cast<unsigned long long>(h.Gaps),
      static_cast<unsigned long long>(h.Missing), static_cast<unsigned long long>(h.Recovered),
      static_cast<unsigned long long>(h.Lost), static_cast<unsigned long long>(h.Duplicates),
      static_cast<unsigned long long>(h.QueueDrops), static_cast<unsigned long long>(h.KernelDrops),
      static_cast<unsigned long long>(h.TakeOvers), static_cast<unsigned long long>(h.Reconnects),
      static_cast<unsigned long long>(h.HeldPeakBytes));
  return buf;
}

uint64_t FeedStats::Total() const {
  uint64_t t = 0;
  for (int i = 0; i < kKinds; ++i) t += Count(i);
  return t;
}

std::string FeedStats::StatusLine(double elapsed_s) {
  char buf[512];
  int n = std::snprintf(buf, sizeof(buf), "[status]");
  uint64_t total = 0;
  for (int i = 0; i < kKinds; ++i) {
    uint64_t now = Count(i);
    uint64_t delta = now - last_counts_[i];
    last_counts_[i] = now;
    total += delta;
    if (delta > 0 && n < static_cast<int>(sizeof(buf))) {
      n += std::snprintf(buf + n, sizeof(buf) - n, " %s=%.0f/s", kSlotNames[i],
                         elapsed_s > 0 ? delta / elapsed_s : 0.0);
    }
  }
  if (n < static_cast<int>(sizeof(buf))) {
    n += std::snprintf(buf + n, sizeof(buf) - n, " total=%.0f/s records=%llu",
                       elapsed_s > 0 ? total / elapsed_s : 0.0,
                       static_cast<unsigned long long>(Total()));
  }
  if (n < static_cast<int>(sizeof(buf)) && LostRanges() > 0) {
    n += std::snprintf(buf + n, sizeof(buf) - n, " lost_ranges=%llu",
                       static_cast<unsigned long long>(LostRanges()));
  }
  if (n < static_cast<int>(sizeof(buf))) {
    if (filtered_) {
      std::snprintf(buf + n, sizeof(buf) - n, " holes=%llu (filtered)",
                    static_cast<unsigned long long>(Missing()));
    } else {
      std::snprintf(buf + n, sizeof(buf) - n, " gaps=%llu missing=%llu",
                    static_cast<unsigned long long>(Gaps()),
                    static_cast<unsigned long long>(Missing()));
    }
  }
  const std::string health = health_text();
  return health.empty() ? std::string(buf) : std::string(buf) + " | feed " + health;
}

std::string FeedStats::Summary() const {
  std::string out = "records by kind:";
  char buf[96];
  for (int i = 0; i < kKinds; ++i) {
    if (Count(i) == 0) continue;
    std::snprintf(buf, sizeof(buf), " %s=%llu", kSlotNames[i],
                  static_cast<unsigned long long>(Count(i)));
    out += buf;
  }
  out += "\nrecords: " + std::to_string(Total()) + "  ";
  if (filtered_) {
    // Sequence numbers run across the whole feed: with a filter the holes
    // are mostly the records left out, and say nothing about loss.
    out += "sequence holes: " + std::to_string(Missing()) +
           " (filtered session: holes include the records the filter left out; loss cannot be "
           "told apart)";
  } else {
    out += "gaps: " + std::to_string(Gaps()) +
           "  missing sequence numbers: " + std::to_string(Missing());
  }
  if (LostRanges() > 0) {
    out += "\nlost ranges reported: " + std::to_string(LostRanges()) + " (" +
           std::to_string(LostFields()) + " sequence numbers)";
  }
  const std::string health = health_text();
  if (!health.empty()) out += "\nfeed health: " + health;
  return out;
}

}  // namespace zavo_tail
