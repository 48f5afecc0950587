// The builder against the simulator's own matching engines: records of the
// book-mode order flow are decoded and converted as a session would, fed
// to a book, and every snapshot, every queue and, every so often, every
// level of every stock must match the engine exactly.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <string>

#include "api/convert.h"
#include "sim_book_flow.h"
#include "sim_market.h"
#include "sim_wire.h"
#include "support/decode_into.h"
#include "zavo_book.h"

namespace zavo {
namespace test {
namespace {

using sim::WireWriter;

class DiffFeed {
 public:
  explicit DiffFeed(uint64_t seed) : book_(zavo_book_new(0), zavo_book_free) {
    cfg_.seed = seed;
    cfg_.book_model = true;
    model_ = std::make_unique<sim::MarketModel>(cfg_);
  }

  // Makes the next record and numbers it; Deliver() hands it to the book,
  // otherwise it is lost (a gap).
  uint16_t Make() {
    w_.Reset();
    ++seq_;
    return model_->Next(20240305100000000ULL, &w_);
  }
  void Deliver(uint16_t id) { Apply(id, seq_); }
  uint16_t Step() {
    uint16_t id = Make();
    Deliver(id);
    return id;
  }

  void Apply(uint16_t id, uint64_t seq) {
    const char* d = w_.data();
    unsigned n = static_cast<unsigned>(w_.size());
    ZAVO_MSG m{0, 0, 100000000, 1, seq, nullptr};
    switch (id) {
      case sim::kFidSecuritySnapShot:
        ASSERT_TRUE(DecodeInto(d, n, &snap_));
        set(&m, ZAVO_MSG_SECURITY_SNAPSHOT, &snap_);
        break;
      case sim::kFidOrderDetail:
        ASSERT_TRUE(DecodeInto(d, n, &order_));
        set(&m, ZAVO_MSG_ORDER_DETAIL, &order_);
        break;
      case sim::kFidSHOrderDetail:
        ASSERT_TRUE(DecodeInto(d, n, &sh_));
        set(&m, ZAVO_MSG_SH_ORDER_DETAIL, &sh_);
        break;
      case sim::kFidTradeDetail:
        ASSERT_TRUE(DecodeInto(d, n, &trade_));
        set(&m, ZAVO_MSG_TRADE_DETAIL, &trade_);
        if (trade_.ExecType == 'T') {
          Counters& c = counters_[std::string(trade_.Code) + trade_.ExchangeID];
          c.trades += 1;
          c.volume += trade_.TradeQty;
          c.value += trade_.TradeTurnover;
        }
        break;
      case sim::kFidOrderQueue:
        ASSERT_TRUE(DecodeInto(d, n, &queue_));
        set(&m, ZAVO_MSG_ORDER_QUEUE, &queue_);
        check_queue();
        break;
      default:
        set(&m, ZAVO_MSG_INDEX_SNAPSHOT, &index_);
        break;
    }
    ASSERT_GE(zavo_book_apply(book_.get(), &m), 0);
    if (id == sim::kFidSecuritySnapShot && deliver_all_) check_counters();
  }

  // Loses records from now on (see Make): the trade counters can no
  // longer be followed.
  void LosingRecords() { deliver_all_ = false; }

  // Every level of every stock, with order counts, against the engine.
  void CompareAll() {
    const sim::SimBookFlow* flow = model_->book_flow();
    for (size_t i = 0; i < flow->stocks().size(); ++i) {
      const sim::Instrument& in = flow->stocks()[i];
      char ex = static_cast<char>('0' + in.exchange);
      for (int side = 0; side < 2; ++side) {
        sim::SimLevel want[64];
        size_t n = flow->engine(i).Levels(side == ZAVO_BOOK_BID, want, 64);
        zavo_book_level got[64];
        int m = zavo_book_levels(book_.get(), in.code.c_str(), ex, side, got, 64);
        ASSERT_EQ(static_cast<size_t>(m), n) << in.code << " side " << side;
        for (size_t l = 0; l < n; ++l) {
          ASSERT_EQ(got[l].price, want[l].price) << in.code << " level " << l;
          ASSERT_EQ(got[l].volume, want[l].volume) << in.code << " level " << l;
          ASSERT_EQ(got[l].orders, want[l].orders) << in.code << " level " << l;
        }
      }
    }
  }

  zavo_book_totals_info Totals() const {
    zavo_book_totals_info t;
    zavo_book_totals(book_.get(), &t);
    return t;
  }
  zavo_book* book() { return book_.get(); }
  const sim::SimBookFlow& flow() const { return *model_->book_flow(); }
  const WireWriter& record() const { return w_; }
  uint64_t queues_checked = 0;
  uint64_t counters_checked = 0;

 private:
  template <class R>
  void set(ZAVO_MSG* m, uint32_t type, const R* r) {
    m->MsgType = type;
    m->MsgSize = sizeof(R);
    m->MsgData = r;
  }

  // A queue record names the first orders of the best level: the builder's
  // queue at that price must be the same quantities in the same order.
  void check_queue() {
    if (queue_.OrderSide != 'B' && queue_.OrderSide != 'S') return;
    int side = queue_.OrderSide == 'B' ? ZAVO_BOOK_BID : ZAVO_BOOK_ASK;
    zavo_book_order q[200];
    int n = zavo_book_queue(book_.get(), queue_.Code, queue_.ExchangeID, side, queue_.OrderPrice, q,
                            200);
    ASSERT_EQ(static_cast<uint32_t>(n), queue_.NumOrders) << queue_.Code;
    for (uint32_t i = 0; i < queue_.OrderQueueSize && i < 200; ++i) {
      ASSERT_EQ(q[i].quantity, static_cast<int64_t>(queue_.OrderQueue[i])) << queue_.Code;
    }
    ++queues_checked;
  }

  // A stock snapshot's counters are its trades so far, and its total
  // volumes those of its whole book.
  void check_counters() {
    std::string key = std::string(snap_.Code) + snap_.ExchangeID;
    if (snap_.Code[0] != '6' && snap_.Code[0] != '0' && snap_.Code[0] != '3') return;  // options
    const Counters& c = counters_[key];
    ASSERT_EQ(snap_.NumTrades, static_cast<uint32_t>(c.trades)) << key;
    ASSERT_EQ(snap_.TotalVolumeTrade, c.volume) << key;
    ASSERT_EQ(snap_.TotalValueTrade, c.value) << key;
    for (int side = 0; side < 2; ++side) {
      zavo_book_level lv[256];
      int n = zavo_book_levels(book_.get(), snap_.Code, snap_.ExchangeID, side, lv, 256);
      int64_t total = 0;
      for (int i = 0; i < n; ++i) total += lv[i].volume;
      ASSERT_EQ(side == ZAVO_BOOK_BID ? snap_.TotalBidVol : snap_.TotalAskVol, total) << key;
    }
    ++counters_checked;
  }

  struct Counters {
    int64_t trades = 0, volume = 0, value = 0;
  };
  std::map<std::string, Counters> counters_;
  bool deliver_all_ = true;

  sim::SimConfig cfg_;
  std::unique_ptr<sim::MarketModel> model_;
  std::unique_ptr<zavo_book, void (*)(zavo_book*)> book_;
  WireWriter w_;
  uint64_t seq_ = 0;
  ZAVO_SecuritySnapShot snap_{};
  ZAVO_OrderDetail order_{};
  ZAVO_SHOrderDetail sh_{};
  ZAVO_TradeDetail trade_{};
  ZAVO_OrderQueue queue_{};
  ZAVO_IndexSnapShot index_{};
};

TEST(BookDifferential, EverySnapshotQueueAndLevelAgreesWithTheEngine) {
  for (uint64_t seed : {1u, 7u, 2024u}) {
    DiffFeed f(seed);
    for (int i = 1; i <= 60000; ++i) {
      f.Step();
      if (::testing::Test::HasFatalFailure()) return;
      if (i % 5000 == 0) {
        while (!f.flow().caught_up()) f.Step();
        f.CompareAll();
        if (::testing::Test::HasFatalFailure()) return;
      }
    }
    zavo_book_totals_info t = f.Totals();
    EXPECT_GT(t.snapshots, 5000u);
    EXPECT_EQ(t.agreements, t.snapshots) << "seed " << seed;
    EXPECT_EQ(t.disagreements, 0u);
    EXPECT_EQ(t.unknown_refs, 0u);
    EXPECT_EQ(t.gaps, 0u);
    EXPECT_EQ(t.securities, 40u);
    EXPECT_GT(f.queues_checked, 500u);
    EXPECT_GT(f.counters_checked, 5000u);
    // Every kind of order and cancel was exercised, on both exchanges.
    const sim::SimBookFlow::Counts& c = f.flow().counts();
    EXPECT_GT(c.limit, 1000u);
    EXPECT_GT(c.crossing, 500u);
    EXPECT_GT(c.market, 300u);
    EXPECT_GT(c.own_best, 200u);
    EXPECT_GT(c.cancels, 1000u);
    EXPECT_GT(c.trades, 1000u);
  }
}

TEST(BookDifferential, LostFieldsMakeStaleOnlyWhatTheyCouldHaveTouched) {
  DiffFeed f(11);
  f.LosingRecords();
  for (int i = 0; i < 20000; ++i) f.Step();
  auto stock_kind = [](uint16_t id) {
    return id == sim::kFidSecuritySnapShot || id == sim::kFidOrderDetail ||
           id == sim::kFidSHOrderDetail || id == sim::kFidTradeDetail || id == sim::kFidOrderQueue;
  };
  // Lose one index, future or option snapshot: no book changed, yet nobody
  // can tell, so every security is stale until its next snapshot agrees.
  for (;;) {
    uint16_t id = f.Make();
    if (!stock_kind(id)) break;
    f.Deliver(id);
  }
  f.Step();
  zavo_book_totals_info t = f.Totals();
  EXPECT_EQ(t.gaps, 1u);
  EXPECT_EQ(t.missing, 1u);
  EXPECT_EQ(t.stale, 40u);
  for (int i = 0; i < 20000; ++i) f.Step();
  t = f.Totals();
  EXPECT_EQ(t.stale, 0u);
  EXPECT_EQ(t.resyncs, 40u);
  EXPECT_EQ(t.disagreements, 0u);
  EXPECT_EQ(t.stale_snapshots, 0u);

  // Lose a Shenzhen limit order: its security's next snapshot differs and
  // resynchronises the top, the order's quantity inferred; whatever the
  // book cannot follow of it later (a cancel without a price) is
  // resynchronised again. Nothing ever counts as a disagreement.
  std::string lost;
  for (;;) {
    uint16_t id = f.Make();
    if (id == sim::kFidOrderDetail) {
      ZAVO_OrderDetail r;
      ASSERT_TRUE(DecodeInto(f.record().data(), static_cast<unsigned>(f.record().size()), &r));
      if (r.OrderType == '2') {
        lost = r.Code;
        break;
      }
    }
    f.Deliver(id);
  }
  for (int i = 0; i < 20000; ++i) f.Step();
  t = f.Totals();
  EXPECT_EQ(t.gaps, 2u);
  EXPECT_EQ(t.disagreements, 0u);
  EXPECT_EQ(t.stale, 0u);
  EXPECT_EQ(t.resyncs, 80u);
  zavo_book_check_info ci;
  ASSERT_EQ(zavo_book_check(f.book(), lost.c_str(), '2', &ci), 1);
  EXPECT_EQ(t.stale_snapshots, ci.stale_snapshots);
  EXPECT_GT(ci.stale_snapshots, 0u) << lost;
  EXPECT_GT(ci.agreements, 0u);
  // Once the order has left the book, the two agree exactly again (this
  // seed's flow cancels it within the run).
  while (!f.flow().caught_up()) f.Step();
  f.CompareAll();
}

}  // namespace
}  // namespace test
}  // namespace zavo
