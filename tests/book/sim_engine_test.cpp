// The simulator's matching engine on its own: the source the builder is
// compared with must itself follow price-time priority.
#include <gtest/gtest.h>

#include <vector>

#include "sim_book_engine.h"
#include "sim_market.h"

namespace zavo {
namespace sim {
namespace {

std::vector<int64_t> Fills(const SimOutcome& o) {
  std::vector<int64_t> v;
  for (const SimFill& f : o.fills) v.insert(v.end(), {f.passive, f.price, f.qty});
  return v;
}

TEST(SimEngine, PriceTimePriorityMarketOwnBestAndCancels) {
  SimOrderBook b;
  SimOutcome o;
  b.Submit(1, false, SimOrderType::kLimit, 1010, 100, &o);
  b.Submit(2, false, SimOrderType::kLimit, 1000, 100, &o);
  b.Submit(3, false, SimOrderType::kLimit, 1000, 200, &o);
  b.Submit(4, true, SimOrderType::kLimit, 990, 300, &o);
  EXPECT_EQ(b.Best(false), 1000);
  EXPECT_EQ(b.Best(true), 990);

  // A crossing buy takes the better price first, in time order there, and
  // rests what is left at its limit.
  b.Submit(5, true, SimOrderType::kLimit, 1010, 450, &o);
  EXPECT_EQ(Fills(o), (std::vector<int64_t>{2, 1000, 100, 3, 1000, 200, 1, 1010, 100}));
  EXPECT_EQ(o.rested, 50);
  EXPECT_EQ(o.price, 1010);
  EXPECT_EQ(b.Best(true), 1010);
  EXPECT_EQ(b.Best(false), 0);
  EXPECT_EQ(b.trades, 3);
  EXPECT_EQ(b.volume, 400);
  EXPECT_EQ(b.value, 100 * 1000 + 200 * 1000 + 100 * 1010);
  EXPECT_EQ(b.low, 1000);
  EXPECT_EQ(b.high, 1010);

  // A market sell sweeps the bids; what cannot match is dropped.
  b.Submit(6, false, SimOrderType::kMarket, 0, 400, &o);
  EXPECT_EQ(Fills(o), (std::vector<int64_t>{5, 1010, 50, 4, 990, 300}));
  EXPECT_EQ(o.dropped, 50);
  EXPECT_EQ(o.rested, 0);
  EXPECT_EQ(b.resting(), 0u);

  // Own-side best: refused on an empty side, joins the best otherwise.
  b.Submit(7, true, SimOrderType::kOwnBest, 0, 100, &o);
  EXPECT_EQ(o.dropped, 100);
  b.Submit(8, true, SimOrderType::kLimit, 980, 100, &o);
  b.Submit(9, true, SimOrderType::kLimit, 970, 100, &o);
  b.Submit(10, true, SimOrderType::kOwnBest, 0, 70, &o);
  EXPECT_EQ(o.price, 980);
  SimLevel lv[4];
  ASSERT_EQ(b.Levels(true, lv, 4), 2u);
  EXPECT_EQ(lv[0].price, 980);
  EXPECT_EQ(lv[0].volume, 170);
  EXPECT_EQ(lv[0].orders, 2u);
  int64_t price = 0;
  uint32_t count = 0, qtys[4] = {};
  size_t filled = 0;
  ASSERT_TRUE(b.BestQueue(true, &price, &count, qtys, 4, &filled));
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(qtys[0], 100u);
  EXPECT_EQ(qtys[1], 70u);

  // Cancels report what was left and where; an unknown order is nothing.
  bool buy = false;
  EXPECT_EQ(b.Cancel(8, &buy, &price), 100);
  EXPECT_TRUE(buy);
  EXPECT_EQ(price, 980);
  EXPECT_EQ(b.Cancel(8, &buy, &price), 0);
  int64_t avg = 0;
  EXPECT_EQ(b.Total(true, &avg), 170);
  EXPECT_EQ(avg, (70 * 980 + 100 * 970) / 170);
  SimRng rng(3);
  for (int i = 0; i < 20; ++i) {
    int64_t id = b.AnyOrder(rng);
    EXPECT_TRUE(id == 9 || id == 10) << id;
  }
}

}  // namespace
}  // namespace sim
}  // namespace zavo
