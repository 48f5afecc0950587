// Gap recovery seen by a user: a struct session with ZAVO_FLAG_RECOVER_GAPS
// against the simulator losing, repeating and reordering its datagrams, or
// refusing and delaying its retransmissions. Whatever the faults, the data
// handler must see strictly increasing sequence numbers, each once, every
// number either as a record or inside a reported lost range.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <set>
#include <thread>

#include "session_fixture.h"

namespace zavo {
namespace test {
namespace {

constexpr int kWait = 5000;
constexpr uint32_t kRecover = ZAVO_FLAG_RECOVER_GAPS | ZAVO_FLAG_FEED_STATS;

// What a data handler saw, checked as a stream.
struct Stream {
  std::vector<uint64_t> seqs;  // records
  std::vector<ZAVO_LostRange> lost;
  bool increasing = true;
  uint64_t last = 0;

  explicit Stream(const std::vector<Seen>& seen) {
    for (const Seen& s : seen) {
      if (s.seq <= last) increasing = false;
      last = s.seq;
      if (s.type == ZAVO_MSG_LOST_RANGE) {
        const ZAVO_LostRange& r = s.as<ZAVO_LostRange>();
        if (s.seq != r.EndSeq - 1 || r.BeginSeq >= r.EndSeq) increasing = false;
        lost.push_back(r);
      } else {
        seqs.push_back(s.seq);
      }
    }
  }
  // Numbers from `first` to `last_seq` not delivered and not in a lost range.
  std::vector<uint64_t> Holes(uint64_t first, uint64_t last_seq) const {
    std::set<uint64_t> have(seqs.begin(), seqs.end());
    for (const ZAVO_LostRange& r : lost) {
      for (uint64_t s = r.BeginSeq; s < r.EndSeq; ++s) have.insert(s);
    }
    std::vector<uint64_t> holes;
    for (uint64_t s = first; s <= last_seq; ++s) {
      if (!have.count(s)) holes.push_back(s);
    }
    return holes;
  }
};

class Recovery : public SimSessionTest {
 protected:
  void TearDown() override {
    SimSessionTest::TearDown();
    unsetenv("ZAVO_RECOVER_HOLD_MS");
    unsetenv("ZAVO_RECOVER_HOLD_BYTES");
  }
  ZAVO_HANDLE Open(ZAVO_OpenSetting s, SessionRecorders& rec) {
    s.SubscribeFlags |= kRecover;
    ZAVO_ERROR err = ZAVO_SUCCESS;
    ZAVO_HANDLE h = ZAVO_Open(&s, &err);
    EXPECT_EQ(err, ZAVO_SUCCESS);
    if (h != nullptr) open_.push_back(h);
    EXPECT_TRUE(rec.system.WaitForCount(ZAVO_MSG_BASEINFO_FINISH, 1, kWait));
    return h;
  }
  // Publishes `n` fields in steps, as a feed would; the newest number.
  uint64_t Publish(unsigned n, unsigned step = 100) {
    for (unsigned done = 0; done < n; done += step) {
      const uint64_t target = sim_->Counters().fields_published + step;
      sim_->PublishNow(step);
      EXPECT_TRUE(sim_->WaitFor(
          [&](const sim::SimCounters& c) { return c.fields_published >= target; }, kWait));
    }
    return sim_->Counters().last_seq;
  }
  // A loss at the very end shows only when a later datagram comes: more
  // fields until the stream has passed `target`. The newest number seen.
  uint64_t SettlePast(SessionRecorders& rec, uint64_t target) {
    for (int round = 0; round < 40; ++round) {
      if (rec.data.WaitFor(
              [&](const std::vector<Seen>& v) { return !v.empty() && v.back().seq >= target; },
              round == 0 ? kWait : 300)) {
        break;
      }
      Publish(5, 5);
    }
    const std::vector<Seen> v = rec.data.Snapshot();
    return v.empty() ? 0 : v.back().seq;
  }
  // The newest counters at least `min_datagrams` deep.
  ZAVO_FeedStats Stats(SessionRecorders& rec, uint64_t min_delivered) {
    ZAVO_FeedStats s{};
    rec.system.WaitFor(
        [&](const std::vector<Seen>& v) {
          for (auto it = v.rbegin(); it != v.rend(); ++it) {
            if (it->type != ZAVO_MSG_FEED_STATS) continue;
            s = it->as<ZAVO_FeedStats>();
            return s.Delivered >= min_delivered;
          }
          return false;
        },
        3000);
    return s;
  }
};

TEST_F(Recovery, RandomAndBurstLossAreRecoveredIntoOneCompleteStream) {
  sim::SimConfig cfg = TestSimConfig(17301);
  cfg.seed = 11;
  cfg.faults.loss = 0.05;
  cfg.faults.burst_lost = 3;
  cfg.faults.burst_period = 40;
  StartSim(cfg);
  SessionRecorders& rec = Recorders(301);
  ASSERT_NE(Open(MakeSetting(*sim_, 301), rec), nullptr);
  const uint64_t last = Publish(3000);
  ASSERT_GE(SettlePast(rec, last), last);

  const Stream st(rec.data.Snapshot());
  ASSERT_FALSE(st.seqs.empty());
  const uint64_t seen_last = st.seqs.back();
  EXPECT_TRUE(st.increasing);
  EXPECT_TRUE(st.lost.empty()) << "the server's history covers every loss";
  const uint64_t first = st.seqs.front();
  EXPECT_TRUE(st.Holes(first, seen_last).empty());
  EXPECT_EQ(st.seqs.size(), seen_last - first + 1);

  // The counters match what the simulator did to the feed (the fields lost
  // before the session's first number never counted as missing).
  const sim::SimCounters k = sim_->Counters();
  ASSERT_GT(k.fields_lost, 0u);
  // The last extra fields may still be arriving: counters that have seen
  // everything the handler saw (nothing is published any more).
  ZAVO_FeedStats s{};
  ASSERT_TRUE(rec.system.WaitFor(
      [&](const std::vector<Seen>& v) {
        for (auto it = v.rbegin(); it != v.rend(); ++it) {
          if (it->type != ZAVO_MSG_FEED_STATS) continue;
          s = it->as<ZAVO_FeedStats>();
          return s.Delivered == rec.data.Size();
        }
        return false;
      },
      kWait));
  EXPECT_EQ(s.Delivered, rec.data.Size());
  EXPECT_EQ(s.Missing, sim_->Counters().fields_lost - (first - 1));
  EXPECT_EQ(s.Recovered, s.Missing);
  EXPECT_EQ(s.Lost, 0u);
  EXPECT_GT(s.Gaps, 0u);
  EXPECT_EQ(s.Duplicates, 0u);
  EXPECT_EQ(s.Datagrams, k.datagrams_sent + k.heartbeats_feed);  // heartbeats are datagrams too
  EXPECT_LT(s.LastDatagramAgeMs, 5000u);
  EXPECT_GT(s.HeldPeakBytes, 0u);
  // Recovery's own requests are not the caller's: no kind 5 for them.
  EXPECT_EQ(rec.system.Count(ZAVO_MSG_REBUILD_FINISH), 0u);
}

TEST_F(Recovery, DuplicatesAndReorderingNeverReachTheHandlerAndFilterHolesAreNoGaps) {
  sim::SimConfig cfg = TestSimConfig(17311);
  cfg.seed = 12;
  cfg.faults.loss = 0.03;
  cfg.faults.duplicate = 0.1;
  cfg.faults.reorder = 0.1;
  cfg.faults.reorder_window = 3;
  StartSim(cfg);
  SessionRecorders& rec = Recorders(311);
  ZAVO_OpenSetting s = MakeSetting(*sim_, 311);
  s.SubscribedMarkets = "SH";
  s.SubscribedCodes = "600001.SH;600002.SH";
  ZAVO_HANDLE h = Open(s, rec);
  ASSERT_NE(h, nullptr);
  const uint64_t last = Publish(2000);
  // Filtered: the last record the session sees may be far before `last`;
  // a few more rounds make sure every loss has shown and been settled.
  Publish(200, 20);
  ASSERT_TRUE(
      sim_->WaitFor([](const sim::SimCounters& c) { return c.datagrams_duplicated > 0; }, kWait));
  ZAVO_FeedStats stats{};
  ASSERT_TRUE(rec.system.WaitFor(
      [&](const std::vector<Seen>& v) {
        for (auto it = v.rbegin(); it != v.rend(); ++it) {
          if (it->type != ZAVO_MSG_FEED_STATS) continue;
          stats = it->as<ZAVO_FeedStats>();
          return stats.Fields + stats.Recovered >= last && stats.Recovered == stats.Missing;
        }
        return false;
      },
      kWait));
  const Stream st(rec.data.Snapshot());
  ASSERT_FALSE(st.seqs.empty());
  EXPECT_TRUE(st.increasing);
  EXPECT_TRUE(st.lost.empty());
  for (const Seen& m : rec.data.Snapshot()) {
    EXPECT_TRUE(m.code == "600001" || m.code == "600002") << m.code;
  }
  EXPECT_GT(stats.Duplicates, 0u);
  EXPECT_GT(stats.Filtered, stats.Delivered);  // most of the feed is not wanted

  // What recovery delivered is exactly what a replay of the whole range
  // gives under the same filter; the slot is free again once it is idle.
  const uint64_t first = st.seqs.front();
  ASSERT_EQ(ZAVO_RebuildStructData(h, first, st.seqs.back() + 1, OnRebuild), ZAVO_SUCCESS);
  ASSERT_TRUE(rec.system.WaitForCount(ZAVO_MSG_REBUILD_FINISH, 1, kWait));
  std::vector<uint64_t> replayed;
  for (const Seen& m : rec.rebuild.Snapshot()) replayed.push_back(m.seq);
  EXPECT_EQ(replayed, st.seqs);
}

TEST_F(Recovery, RefusedRetransmissionsAreReportedInPlaceAndDeliveryGoesOn) {
  sim::SimConfig cfg = TestSimConfig(17321);
  cfg.seed = 13;
  cfg.faults.loss = 0.05;
  cfg.faults.retransmit_refuse = 1.0;
  StartSim(cfg);
  SessionRecorders& rec = Recorders(321);
  ASSERT_NE(Open(MakeSetting(*sim_, 321), rec), nullptr);
  const uint64_t last = Publish(1000);
  ASSERT_GE(SettlePast(rec, last), last);
  const Stream st(rec.data.Snapshot());
  ASSERT_FALSE(st.seqs.empty());
  const uint64_t seen_last = st.seqs.back();
  EXPECT_TRUE(st.increasing);
  ASSERT_FALSE(st.lost.empty());
  uint64_t lost_fields = 0;
  for (const ZAVO_LostRange& r : st.lost) {
    EXPECT_EQ(r.Reason, static_cast<uint32_t>(ZAVO_LOST_REFUSED));
    lost_fields += r.EndSeq - r.BeginSeq;
  }
  EXPECT_TRUE(st.Holes(st.seqs.front(), seen_last).empty());
  EXPECT_GT(st.seqs.back(), st.lost.back().EndSeq);  // delivery went on
  const ZAVO_FeedStats s = Stats(rec, st.seqs.size());
  EXPECT_EQ(s.Lost, lost_fields);
  EXPECT_EQ(s.Missing, lost_fields);
  EXPECT_EQ(s.Recovered, 0u);
}

TEST_F(Recovery, LateAndCutRetransmissionsEndInReportedRangesAndTheSlotIsShared) {
  setenv("ZAVO_RECOVER_HOLD_MS", "300", 1);
  sim::SimConfig cfg = TestSimConfig(17331);
  cfg.faults.retransmit_delay_ms = 1500;
  StartSim(cfg);
  SessionRecorders& rec = Recorders(331);
  ZAVO_HANDLE h = Open(MakeSetting(*sim_, 331), rec);
  ASSERT_NE(h, nullptr);
  const uint64_t before = Publish(20, 20);
  sim_->SkipFeed(10);  // takes ten of the numbers the next publish makes
  Publish(20, 20);
  // Held behind the hole while the request is out: the caller's own
  // request must wait for the slot.
  ASSERT_TRUE(
      sim_->WaitFor([](const sim::SimCounters& c) { return c.retransmits_delayed >= 1; }, kWait));
  EXPECT_EQ(ZAVO_RebuildStructData(h, 1, 5, OnRebuild), ZAVO_ERR_BUSY);
  // Past the hold time the hole is reported and the held records follow,
  // long before the late answer.
  ASSERT_TRUE(rec.data.WaitFor(
      [&](const std::vector<Seen>& v) { return !v.empty() && v.back().seq == before + 20; }, 1200));
  {
    const Stream st(rec.data.Snapshot());
    EXPECT_TRUE(st.increasing);
    ASSERT_EQ(st.lost.size(), 1u);
    EXPECT_EQ(st.lost[0].BeginSeq, before + 1);
    EXPECT_EQ(st.lost[0].EndSeq, before + 11);
    EXPECT_EQ(st.lost[0].Reason, static_cast<uint32_t>(ZAVO_LOST_TIMEOUT));
    EXPECT_EQ(st.seqs.size(), 30u);
  }
  // The late answer is old news: nothing more comes of it.
  ASSERT_TRUE(
      sim_->WaitFor([](const sim::SimCounters& c) { return c.retransmit_fields >= 10; }, kWait));

  // A connection cut while a request is out: the hole is reported at once
  // (not after the hold time), delivery goes on, recovery works after the
  // reconnection.
  const size_t shown = rec.data.Size();
  sim_->SkipFeed(5);
  const uint64_t after = Publish(10, 10);
  ASSERT_TRUE(
      sim_->WaitFor([](const sim::SimCounters& c) { return c.retransmits_delayed >= 2; }, kWait));
  sim_->DropConnections();
  ASSERT_TRUE(rec.data.WaitFor(
      [&](const std::vector<Seen>& v) { return !v.empty() && v.back().seq == after; }, 1200));
  const std::vector<Seen> v = rec.data.Snapshot();
  ASSERT_GT(v.size(), shown);
  EXPECT_EQ(v[shown].type, static_cast<uint32_t>(ZAVO_MSG_LOST_RANGE));
  EXPECT_EQ(v[shown].as<ZAVO_LostRange>().Reason, static_cast<uint32_t>(ZAVO_LOST_ABANDONED));
  EXPECT_EQ(v[shown].as<ZAVO_LostRange>().EndSeq - v[shown].as<ZAVO_LostRange>().BeginSeq, 5u);
  EXPECT_EQ(rec.system.Count(ZAVO_MSG_REBUILD_FINISH), 0u);
  ASSERT_TRUE(rec.system.WaitForCount(ZAVO_MSG_LOGIN, 2, 15000));
  const Stream st(v);
  EXPECT_TRUE(st.increasing);
  const ZAVO_FeedStats stats = Stats(rec, v.size() - st.lost.size());
  EXPECT_EQ(stats.Reconnects, 1u);
  EXPECT_EQ(stats.Lost, 15u);
  EXPECT_EQ(stats.Gaps, 2u);
}

TEST_F(Recovery, CountersAloneCountHolesAndLeaveTheStreamAsItIs) {
  StartSim(TestSimConfig(17351));
  SessionRecorders& rec = Recorders(351);
  ZAVO_OpenSetting s = MakeSetting(*sim_, 351);
  s.SubscribeFlags |= ZAVO_FLAG_FEED_STATS;
  ZAVO_ERROR err;
  ZAVO_HANDLE h = ZAVO_Open(&s, &err);
  ASSERT_NE(h, nullptr);
  open_.push_back(h);
  ASSERT_TRUE(rec.system.WaitForCount(ZAVO_MSG_BASEINFO_FINISH, 1, kWait));
  Publish(30, 30);
  sim_->SkipFeed(7);
  const uint64_t last = Publish(30, 30);
  ASSERT_TRUE(rec.data.WaitFor(
      [&](const std::vector<Seen>& v) { return !v.empty() && v.back().seq == last; }, kWait));
  const ZAVO_FeedStats stats = Stats(rec, 53);
  EXPECT_EQ(stats.Delivered, 53u);
  EXPECT_EQ(stats.Fields, 53u);
  EXPECT_EQ(stats.Filtered, 0u);
  EXPECT_EQ(stats.Gaps, 1u);
  EXPECT_EQ(stats.Missing, 7u);
  EXPECT_EQ(stats.Recovered, 0u);
  EXPECT_EQ(stats.Lost, 0u);
  EXPECT_EQ(stats.KernelDrops, 0u);
  EXPECT_EQ(stats.QueueDrops, 0u);
  EXPECT_GT(stats.Bytes, stats.Datagrams * 100);
  EXPECT_EQ(rec.data.Size(), 53u);  // the hole stays a hole
  EXPECT_EQ(rec.data.Count(ZAVO_MSG_LOST_RANGE), 0u);
}

TEST_F(Recovery, TheHoldBoundInBytesHoldsUnderSustainedLoss) {
  setenv("ZAVO_RECOVER_HOLD_BYTES", "16384", 1);
  sim::SimConfig cfg = TestSimConfig(17361);
  cfg.seed = 14;
  cfg.faults.loss = 0.05;
  cfg.faults.retransmit_delay_ms = 400;
  StartSim(cfg);
  SessionRecorders& rec = Recorders(361);
  ASSERT_NE(Open(MakeSetting(*sim_, 361), rec), nullptr);
  unsetenv("ZAVO_RECOVER_HOLD_BYTES");
  const uint64_t last = Publish(3000);
  ASSERT_GE(SettlePast(rec, last), last);
  const Stream st(rec.data.Snapshot());
  ASSERT_FALSE(st.seqs.empty());
  EXPECT_TRUE(st.increasing);
  EXPECT_TRUE(st.Holes(st.seqs.front(), st.seqs.back()).empty());
  size_t full = 0;
  for (const ZAVO_LostRange& r : st.lost) full += r.Reason == ZAVO_LOST_HOLD_FULL;
  EXPECT_GT(full, 0u);
  const ZAVO_FeedStats s = Stats(rec, st.seqs.size());
  // The bound, passed at most by the one record that made it go.
  EXPECT_GT(s.HeldPeakBytes, 8192u);
  EXPECT_LE(s.HeldPeakBytes, 16384u + 1024u + 64u);
}

TEST_F(Recovery, ANewDayReportsWhatIsMissingAndDeliversWhatIsHeld) {
  sim::SimConfig cfg = TestSimConfig(17371);
  cfg.faults.retransmit_delay_ms = 2500;
  StartSim(cfg);
  SessionRecorders& rec = Recorders(371);
  ASSERT_NE(Open(MakeSetting(*sim_, 371), rec), nullptr);
  // The day is the simulator's today, from the heartbeat after the login.
  const uint64_t before = Publish(20, 20);
  sim_->SkipFeed(5);
  const uint64_t last = Publish(20, 20);
  ASSERT_TRUE(
      sim_->WaitFor([](const sim::SimCounters& c) { return c.retransmits_delayed >= 1; }, kWait));
  EXPECT_EQ(rec.data.Size(), 20u);                                      // held behind the hole
  sim_->HeartbeatValueNow(20000102ull * 10000000ull + 930000ull * 10);  // another day
  ASSERT_TRUE(rec.data.WaitFor(
      [&](const std::vector<Seen>& v) { return !v.empty() && v.back().seq == last; }, 2000));
  const Stream st(rec.data.Snapshot());
  EXPECT_TRUE(st.increasing);
  ASSERT_EQ(st.lost.size(), 1u);
  EXPECT_EQ(st.lost[0].BeginSeq, before + 1);
  EXPECT_EQ(st.lost[0].EndSeq, before + 6);
  EXPECT_EQ(st.lost[0].Reason, static_cast<uint32_t>(ZAVO_LOST_NEW_DAY));
  EXPECT_EQ(st.seqs.size(), 35u);
}

// A handler that closes its session on the first recovered record, and
// notes any call after that.
std::atomic<ZAVO_HANDLE> g_close_at{nullptr};
std::atomic<uint64_t> g_close_seq{0};
std::atomic<int> g_calls_after_close{0};
std::atomic<bool> g_closed{false};

void CloseOnRecovered(void* handle, const ZAVO_MSG* msg) {
  if (g_closed.load()) g_calls_after_close.fetch_add(1);
  if (msg->SeqNum == g_close_seq.load() && handle == g_close_at.load()) {
    ZAVO_Close(handle);
    g_closed.store(true);
  }
}

TEST_F(Recovery, CloseDuringRecoveryFromAHandlerAndFromAnotherThread) {
  sim::SimConfig cfg = TestSimConfig(17341);
  cfg.faults.retransmit_delay_ms = 300;
  StartSim(cfg);
  SessionRecorders& rec = Recorders(341);
  ZAVO_OpenSetting s = MakeSetting(*sim_, 341);
  s.DataHandler = CloseOnRecovered;
  s.SubscribeFlags |= kRecover;
  ZAVO_ERROR err;
  ZAVO_HANDLE h = ZAVO_Open(&s, &err);
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(rec.system.WaitForCount(ZAVO_MSG_BASEINFO_FINISH, 1, kWait));
  g_close_at.store(h);
  sim_->SkipFeed(1);  // the session starts at 2
  const uint64_t first = Publish(10, 10);
  sim_->SkipFeed(10);
  g_close_seq.store(first + 1);  // the first recovered one
  Publish(50, 50);
  ASSERT_TRUE(
      sim_->WaitFor([](const sim::SimCounters& c) { return c.retransmit_fields >= 10; }, kWait));
  for (int i = 0; i < 100 && !g_closed.load(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // bounded poll of a flag
  }
  EXPECT_TRUE(g_closed.load());
  ZAVO_Wait(h);
  EXPECT_EQ(g_calls_after_close.load(), 0);

  // From another thread, while records are held and the request is out.
  SessionRecorders& rec2 = Recorders(342);
  ZAVO_HANDLE h2 = Open(MakeSetting(*sim_, 342), rec2);
  ASSERT_NE(h2, nullptr);
  Publish(10, 10);
  sim_->SkipFeed(10);
  const uint64_t requests = sim_->Counters().retransmits_delayed;
  Publish(100, 50);
  ASSERT_TRUE(sim_->WaitFor(
      [&](const sim::SimCounters& c) { return c.retransmits_delayed > requests; }, kWait));
  std::thread closer([h2] { ZAVO_Close(h2); });
  closer.join();
  const size_t after_close = rec2.data.Size();
  ZAVO_Wait(h2);
  open_.erase(std::remove(open_.begin(), open_.end(), h2), open_.end());
  EXPECT_EQ(rec2.data.Size(), after_close);  // nothing after Close returned
  EXPECT_TRUE(Stream(rec2.data.Snapshot()).increasing);
}

}  // namespace
}  // namespace test
}  // namespace zavo
