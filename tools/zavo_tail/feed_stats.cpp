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
  return buf;
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
  return out;
}

}  // namespace zavo_tail
