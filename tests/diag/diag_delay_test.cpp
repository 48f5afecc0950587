#include <gtest/gtest.h>

#include <climits>
#include <fstream>
#include <limits>
#include <sstream>

#include "util/diagnostics.h"

namespace zavo {
namespace {

timespec real_now() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return ts;
}

TEST(DelayRecorder, KeepsMinMaxSumCountAndIgnoresFutureInstants) {
  DelayRecorder rec;
  EXPECT_EQ(rec.min(), std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(rec.max(), 0u);
  EXPECT_EQ(rec.count(), 0u);

  // An instant in the future: ignored, nothing changes.
  timespec now = real_now();
  EXPECT_EQ(rec.Record(now.tv_sec + 5, now.tv_nsec), 0);
  EXPECT_EQ(rec.count(), 0u);
  EXPECT_EQ(rec.sum(), 0u);
  EXPECT_EQ(rec.min(), std::numeric_limits<uint64_t>::max());
  // Absurd instants must not overflow into a delay either way.
  EXPECT_EQ(rec.Record(LONG_MIN, 0), 0);
  EXPECT_EQ(rec.Record(LONG_MAX, 0), 0);
  EXPECT_EQ(rec.Record(0, LONG_MIN), 0);
  EXPECT_EQ(rec.count(), 0u);

  // Two seconds ago, and half a second ago (through a timeval).
  now = real_now();
  const int64_t d1 = rec.Record(now.tv_sec - 2, now.tv_nsec);
  EXPECT_GE(d1, 2000000);
  EXPECT_LT(d1, 2000000 + 1000000);
  now = real_now();
  timeval tv;
  tv.tv_sec = now.tv_sec;
  tv.tv_usec = now.tv_nsec / 1000 - 500000;
  if (tv.tv_usec < 0) {
    tv.tv_usec += 1000000;
    tv.tv_sec -= 1;
  }
  const int64_t d2 = rec.Record(tv);
  EXPECT_GE(d2, 500000);
  EXPECT_LT(d2, 500000 + 1000000);
  EXPECT_EQ(rec.count(), 2u);
  EXPECT_EQ(rec.min(), static_cast<uint64_t>(d2));
  EXPECT_EQ(rec.max(), static_cast<uint64_t>(d1));
  EXPECT_EQ(rec.sum(), static_cast<uint64_t>(d1 + d2));
  EXPECT_EQ(rec.DistributionStr(), "");

  DelayRecorder other;
  rec.Swap(other);
  EXPECT_EQ(rec.count(), 0u);
  EXPECT_EQ(rec.min(), std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(other.count(), 2u);
  EXPECT_EQ(other.max(), static_cast<uint64_t>(d1));
  other.SetZero();
  EXPECT_EQ(other.count(), 0u);
  EXPECT_EQ(other.sum(), 0u);
  EXPECT_EQ(other.max(), 0u);
  EXPECT_EQ(other.min(), std::numeric_limits<uint64_t>::max());
}

std::string read_file(const char* path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// The only test of this binary that dumps: the file is per process and was
// truncated when first opened here.
TEST(DelayTrace, WritesDistancesBetweenPointsOneLinePerDump) {
  DelayTrace short_trace;
  short_trace.add(timespec{100, 0});
  short_trace.add(timespec{100, 5000});
  short_trace.dump();  // fewer than three points: nothing

  DelayTrace trace;
  trace.add(timespec{1000, 0});
  trace.add(timespec{1000, 150000});  // +150 us
  trace.add(timespec{1000, 400999});  // +250 us (sub-microsecond part dropped)
  trace.dump();

  DelayTrace across;  // carries across a second boundary
  across.add(timespec{7, 999999000});
  across.add(timespec{8, 1000});
  across.add(timespec{10, 1000});
  across.add(timespec{10, 1000});
  across.dump();

  DelayTrace live;
  live.trace();
  live.trace();
  live.trace();
  EXPECT_EQ(live.size(), 3u);
  live.clear();
  live.dump();  // emptied: nothing

  EXPECT_EQ(read_file("zavo_delay_trace.txt"), "0 150 250 \n0 2 2000000 0 \n");
}

}  // namespace
}  // namespace zavo
