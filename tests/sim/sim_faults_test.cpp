// The simulator's fault decisions, its intraday rate profile and the options
// that set them, without sockets.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "sim_day_profile.h"
#include "sim_faults.h"
#include "sim_options.h"

namespace zavo {
namespace sim {
namespace {

// Passes datagrams numbered 0 to n-1 (the number is the payload) and
// returns the numbers in the order they went out, Flush included when asked.
std::vector<int> run(FeedFaults* f, int n, bool flush, std::vector<FeedFaults::Action>* acts) {
  std::vector<int> out;
  auto send = [&out](const char* d, size_t len) {
    EXPECT_EQ(len, sizeof(int));
    int v;
    std::memcpy(&v, d, sizeof v);
    out.push_back(v);
  };
  for (int i = 0; i < n; ++i) {
    FeedFaults::Action a = f->Pass(reinterpret_cast<const char*>(&i), sizeof i, send);
    if (acts) acts->push_back(a);
  }
  if (flush) f->Flush(send);
  return out;
}

TEST(FeedFaults, OffBurstsAndRandomLossRepeatWithTheSeed) {
  // Nothing configured: every datagram goes out once, in order.
  FaultConfig none;
  FeedFaults off(none, 1);
  EXPECT_FALSE(off.active());
  std::vector<int> all = run(&off, 50, false, nullptr);
  ASSERT_EQ(all.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(all[i], i);
  EXPECT_EQ(off.counts().lost + off.counts().duplicated + off.counts().reordered, 0u);

  // 2:5 loses the last two of every five, whatever the seed.
  FaultConfig burst;
  burst.burst_lost = 2;
  burst.burst_period = 5;
  FeedFaults b(burst, 99);
  std::vector<int> kept = run(&b, 20, false, nullptr);
  EXPECT_EQ(kept, (std::vector<int>{0, 1, 2, 5, 6, 7, 10, 11, 12, 15, 16, 17}));
  EXPECT_EQ(b.counts().lost, 8u);

  // Random loss near its probability, the same datagrams for the same seed,
  // others for another; what is reported lost is exactly what is missing.
  FaultConfig lossy;
  lossy.loss = 0.25;
  FeedFaults l1(lossy, 7), l2(lossy, 7), l3(lossy, 8);
  std::vector<FeedFaults::Action> acts;
  std::vector<int> s1 = run(&l1, 2000, false, &acts);
  EXPECT_EQ(s1, run(&l2, 2000, false, nullptr));
  EXPECT_NE(s1, run(&l3, 2000, false, nullptr));
  EXPECT_EQ(l1.counts().lost, 2000u - s1.size());
  EXPECT_GT(l1.counts().lost, 400u);
  EXPECT_LT(l1.counts().lost, 600u);
  size_t drops = 0;
  for (FeedFaults::Action a : acts) drops += a == FeedFaults::Action::kDrop;
  EXPECT_EQ(drops, l1.counts().lost);

  // Certain loss loses everything; bursts and loss add up.
  lossy.loss = 1;
  FeedFaults everything(lossy, 1);
  EXPECT_TRUE(run(&everything, 10, true, nullptr).empty());
  burst.loss = 0.5;
  FeedFaults both(burst, 3);
  std::vector<int> left = run(&both, 100, false, nullptr);
  EXPECT_LT(left.size(), 60u / 2 + 15);
  for (int v : left) EXPECT_LT(v % 5, 3) << v;
}

TEST(FeedFaults, DuplicatesAndHeldDatagramsStayWithinTheWindow) {
  FaultConfig dup;
  dup.duplicate = 1;
  FeedFaults d(dup, 1);
  EXPECT_EQ(run(&d, 3, false, nullptr), (std::vector<int>{0, 0, 1, 1, 2, 2}));
  EXPECT_EQ(d.counts().duplicated, 3u);

  for (unsigned window : {1u, 3u, 6u}) {
    FaultConfig re;
    re.reorder = 0.3;
    re.reorder_window = window;
    FeedFaults r(re, 11);
    const int n = 1000;
    std::vector<int> out = run(&r, n, false, nullptr);
    // Only the last few can still be held; Flush sends them.
    EXPECT_LE(r.held(), window);
    std::set<int> seen(out.begin(), out.end());
    EXPECT_EQ(seen.size(), out.size()) << "nothing is sent twice";
    for (int i = 0; i < n - static_cast<int>(window); ++i) EXPECT_EQ(seen.count(i), 1u) << i;
    std::vector<int> tail;
    r.Flush([&](const char* p, size_t) {
      int v;
      std::memcpy(&v, p, sizeof v);
      tail.push_back(v);
    });
    EXPECT_EQ(seen.size() + tail.size(), static_cast<size_t>(n));
    // A datagram arrives after at most `window` later ones, and some do
    // arrive late.
    size_t late = 0;
    for (size_t i = 0; i < out.size(); ++i) {
      unsigned later_before = 0;
      for (size_t j = 0; j < i; ++j) later_before += out[j] > out[i];
      EXPECT_LE(later_before, window) << out[i];
      late += later_before > 0;
    }
    EXPECT_GT(late, 100u);
    EXPECT_LE(late, r.counts().reordered);
    EXPECT_GT(r.counts().reordered, 200u);
    EXPECT_LT(r.counts().reordered, 400u);
  }
}

TEST(DayProfile, BusyOpenAndCloseQuietMiddayAveragingOne) {
  DayProfile p(4);
  double sum = 0;
  for (int m = 0; m < DayProfile::kTradingMinutes; ++m) sum += p.FactorAtMinute(m);
  EXPECT_NEAR(sum / DayProfile::kTradingMinutes, 1.0, 1e-9);
  const double open = p.FactorAtMinute(0), midday = p.FactorAtMinute(120),
               close = p.FactorAtMinute(239);
  EXPECT_GT(open, 2.5 * midday);
  EXPECT_GT(close, 2.5 * midday);
  EXPECT_LT(midday, 0.8);
  // At 4 simulated seconds per second the day takes an hour, then repeats.
  EXPECT_NEAR(p.Minute(0), 0, 1e-9);
  EXPECT_NEAR(p.Minute(1800), 120, 1e-9);
  EXPECT_NEAR(p.Minute(3600 + 15), 1, 1e-9);
  EXPECT_DOUBLE_EQ(p.Factor(3600), open);
}

bool parse(std::vector<const char*> args, SimOptions* o, std::string* error) {
  args.insert(args.begin(), "zavo_sim");
  return ParseSimOptions(static_cast<int>(args.size()), args.data(), o, error);
}

TEST(SimOptions, FaultsMarketPresetAndDayScale) {
  SimOptions o;
  std::string err;
  ASSERT_TRUE(parse({"--loss", "0.1", "--burst", "2:10", "--duplicate", "0.05", "--reorder", "0.2",
                     "--drop-every", "30", "--retransmit-delay", "250", "--retransmit-refuse",
                     "0.5", "--seed", "42", "--day-scale", "4"},
                    &o, &err))
      << err;
  const FaultConfig& f = o.config.faults;
  EXPECT_DOUBLE_EQ(f.loss, 0.1);
  EXPECT_EQ(f.burst_lost, 2u);
  EXPECT_EQ(f.burst_period, 10u);
  EXPECT_DOUBLE_EQ(f.duplicate, 0.05);
  EXPECT_DOUBLE_EQ(f.reorder, 0.2);
  EXPECT_EQ(f.reorder_window, 3u);
  EXPECT_EQ(f.drop_every_s, 30u);
  EXPECT_EQ(f.retransmit_delay_ms, 250u);
  EXPECT_DOUBLE_EQ(f.retransmit_refuse, 0.5);
  EXPECT_EQ(o.config.seed, 42u);
  EXPECT_DOUBLE_EQ(o.config.day_scale, 4);
  EXPECT_TRUE(f.active());

  SimOptions w;
  ASSERT_TRUE(parse({"--reorder", "0.5:7"}, &w, &err)) << err;
  EXPECT_EQ(w.config.faults.reorder_window, 7u);

  // The default market is unchanged; the full one has the real sizes, and
  // a size given as well wins over the preset.
  SimOptions d;
  ASSERT_TRUE(parse({}, &d, &err));
  EXPECT_FALSE(d.config.faults.active());
  EXPECT_EQ(d.config.sh_securities, 20u);
  EXPECT_EQ(d.config.indices, 4u);
  SimOptions full;
  ASSERT_TRUE(parse({"--sh", "100", "--market", "full"}, &full, &err)) << err;
  EXPECT_EQ(full.config.sh_securities, 100u);
  EXPECT_EQ(full.config.sz_securities, 2900u);
  EXPECT_EQ(full.config.indices, 300u);
  EXPECT_EQ(full.config.sh_options + full.config.sz_options, 1000u);

  const std::vector<std::pair<std::string, std::vector<const char*>>> bad = {
      {"--loss", {"--loss", "1.5"}},
      {"--loss", {"--loss", "x"}},
      {"--duplicate", {"--duplicate", "-0.1"}},
      {"--burst", {"--burst", "5:5"}},
      {"--burst", {"--burst", "0:4"}},
      {"--burst", {"--burst", "3"}},
      {"--reorder", {"--reorder", "0.1:0"}},
      {"--reorder", {"--reorder", "2:3"}},
      {"--retransmit-refuse", {"--retransmit-refuse", "1.01"}},
      {"--retransmit-delay", {"--retransmit-delay", "-5"}},
      {"--market", {"--market", "huge"}},
      {"--day-scale", {"--day-scale", "0"}},
  };
  for (const auto& kv : bad) {
    SimOptions b;
    std::string why;
    EXPECT_FALSE(parse(kv.second, &b, &why)) << kv.second[1];
    EXPECT_NE(why.find(kv.first), std::string::npos) << why;
  }
}

}  // namespace
}  // namespace sim
}  // namespace zavo
