// Cost of the per-record filter and conversion against a bare hash lookup
// measured in the same run. Disabled by default (timing, not correctness):
//   test_records --gtest_also_run_disabled_tests --gtest_filter='*MatchCost*'
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "api/convert.h"
#include "api/subscription_manager.h"
#include "convert_oracle.h"

namespace zavo {
namespace {

using clk = std::chrono::steady_clock;

double ns_per(clk::time_point a, clk::time_point b, int n) {
  return std::chrono::duration<double, std::nano>(b - a).count() / n;
}

TEST(Perf, DISABLED_MatchCostAgainstBareLookup) {
  SubscriptionManager m;
  ASSERT_EQ(m.UpdateSubscription(ZAVO_SUBSCRIBE_REPLACE, "600000.SH;600001.SH;600519.SH;000001.SZ"),
            ZAVO_SUCCESS);
  CodeSet floor_set;
  for (const char* c : {"600000", "600001", "600519"}) floor_set.insert(SecurityCode::Make(1, c));
  floor_set.insert(SecurityCode::Make(2, "000001"));
  char codes[64][16] = {};
  for (int i = 0; i < 64; ++i) std::snprintf(codes[i], 16, "%06d", 600000 + i * 7);
  SecuritySnapShotField f;
  f.Code.Set("600000");
  f.ExchangeID = 1;
  f.TimeStamp = 20210517093005120UL;
  ZAVO_SecuritySnapShot out;
  const int n = 1000000;
  std::vector<double> floor_ns, match_ns, convert_ns;
  long sink = 0;
  for (int rep = 0; rep < 9; ++rep) {
    const auto t0 = clk::now();
    for (int i = 0; i < n; ++i) sink += floor_set.count(SecurityCode::Make(1, codes[i & 63], 16));
    const auto t1 = clk::now();
    for (int i = 0; i < n; ++i) sink += m.IsMatchSysCode(1, codes[i & 63], 16);
    const auto t2 = clk::now();
    for (int i = 0; i < n; ++i) {
      f.MatchPx = i;
      ConvertField(&f, &out);
      sink += out.MatchPx & 1;
    }
    const auto t3 = clk::now();
    floor_ns.push_back(ns_per(t0, t1, n));
    match_ns.push_back(ns_per(t1, t2, n));
    convert_ns.push_back(ns_per(t2, t3, n));
  }
  std::sort(floor_ns.begin(), floor_ns.end());
  std::sort(match_ns.begin(), match_ns.end());
  std::sort(convert_ns.begin(), convert_ns.end());
  std::printf(
      "bare lookup (floor) median %.1f ns | IsMatchSysCode median %.1f ns, ratio %.2f (max %.2f)"
      " | security ConvertField median %.1f ns, ratio %.2f\n",
      floor_ns[4], match_ns[4], match_ns[4] / floor_ns[4], match_ns[8] / floor_ns[4], convert_ns[4],
      convert_ns[4] / floor_ns[4]);
  EXPECT_NE(sink, -1);
}

}  // namespace
}  // namespace zavo
