// Latency statistics and the delay trace file.
#include <cstdio>
#include <limits>
#include <string>

#include "util/diagnostics.h"

namespace zavo {

int64_t DelayRecorder::Record(long sec, long nsec) {
  timespec now;
  if (clock_gettime(CLOCK_REALTIME, &now) != 0) return 0;
  // Garbage instants must not overflow into a plausible-looking delay.
  long sec_diff = 0;
  long usec = 0;
  if (__builtin_sub_overflow(static_cast<long>(now.tv_sec), sec, &sec_diff) ||
      __builtin_mul_overflow(sec_diff, 1000000L, &usec)) {
    return 0;
  }
  long nsec_diff = 0;
  if (__builtin_sub_overflow(static_cast<long>(now.tv_nsec), nsec, &nsec_diff)) return 0;
  long delay = 0;
  if (__builtin_add_overflow(usec, nsec_diff / 1000, &delay)) return 0;
  if (delay < 0) return 0;  // an instant in the future: clocks disagree

  const uint64_t d = static_cast<uint64_t>(delay);
  if (d < min_) min_ = d;
  if (d > max_) max_ = d;
  sum_ += d;
  ++count_;
  return delay;
}

void DelayRecorder::SetZero() {
  min_ = std::numeric_limits<uint64_t>::max();
  max_ = 0;
  sum_ = 0;
  count_ = 0;
}

void DelayRecorder::Swap(DelayRecorder& other) {
  std::swap(min_, other.min_);
  std::swap(max_, other.max_);
  std::swap(sum_, other.sum_);
  std::swap(count_, other.count_);
}

void DelayTrace::trace() {
  timeval tv;
  gettimeofday(&tv, nullptr);
  points_.push_back(tv);
}

void DelayTrace::add(const timespec& ts) {
  timeval tv;
  tv.tv_sec = ts.tv_sec;
  tv.tv_usec = ts.tv_nsec / 1000;
  points_.push_back(tv);
}

namespace {

// The trace file is opened once per process (truncating what an earlier run
// left) and stays open; null if it could not be opened.
FILE* delay_trace_file() {
  static FILE* file = std::fopen("zavo_delay_trace.txt", "w");
  return file;
}

}  // namespace

void DelayTrace::dump() const {
  if (points_.size() < 3) return;
  FILE* file = delay_trace_file();
  if (file == nullptr) return;
  std::string line;
  line.reserve(points_.size() * 8 + 1);
  char number[32];
  for (size_t i = 0; i < points_.size(); ++i) {
    long long distance = 0;
    if (i > 0) {
      distance = (static_cast<long long>(points_[i].tv_sec) - points_[i - 1].tv_sec) * 1000000LL +
                 (static_cast<long long>(points_[i].tv_usec) - points_[i - 1].tv_usec);
    }
    std::snprintf(number, sizeof number, "%lld ", distance);
    line += number;
  }
  line += '\n';
  // One write per line keeps lines from different traces whole, and the
  // flush keeps them when the process later dies without unwinding.
  std::fwrite(line.data(), 1, line.size(), file);
  std::fflush(file);
}

}  // namespace zavo
