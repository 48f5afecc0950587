// The gap tracker and the merge of held, recovered and lost fields, without
// a session: every output must come out in strictly increasing sequence
// order, each number once, as a record or inside a lost range.
#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

#include "api/gap_recovery.h"
#include "api/gap_tracker.h"
#include "zavo_api.h"

namespace zavo {
namespace {

using Verdict = GapTracker::Verdict;

TEST(GapTracker, FindsSplitsAndSettlesHoles) {
  GapTracker t;
  EXPECT_EQ(t.OnField(10, 0, false), Verdict::kDeliver);  // joins mid-feed
  EXPECT_EQ(t.OnField(11, 0, false), Verdict::kDeliver);
  EXPECT_EQ(t.OnField(11, 0, false), Verdict::kDuplicate);
  EXPECT_EQ(t.OnField(15, 5, false), Verdict::kHold);  // [12, 15) missing
  EXPECT_EQ(t.OnField(20, 7, false), Verdict::kHold);  // [16, 20) missing
  ASSERT_EQ(t.missing().size(), 2u);
  EXPECT_EQ(t.gaps(), 2u);
  EXPECT_EQ(t.missing_fields(), 7u);
  EXPECT_EQ(t.OnField(15, 8, false), Verdict::kDuplicate);  // held already
  EXPECT_EQ(t.OnField(13, 8, true), Verdict::kHold);        // splits [12, 15)
  ASSERT_EQ(t.missing().size(), 3u);
  EXPECT_EQ(t.missing()[0].begin, 12u);
  EXPECT_EQ(t.missing()[0].end, 13u);
  EXPECT_EQ(t.missing()[1].begin, 14u);
  EXPECT_EQ(t.OnField(12, 9, true), Verdict::kDeliver);  // the next number
  EXPECT_EQ(t.next(), 13u);
  t.SettleTo(100);  // never past the first missing number
  EXPECT_EQ(t.next(), 14u);
  uint64_t b = 0, e = 0;
  ASSERT_TRUE(t.PendingSpan(&b, &e));
  EXPECT_EQ(b, 14u);
  EXPECT_EQ(e, 20u);
  // A loss inside part of a range splits it; only that part is lost.
  t.MarkLost(17, 18, ZAVO_LOST_REFUSED);
  ASSERT_EQ(t.missing().size(), 4u);
  EXPECT_EQ(t.missing()[1].begin, 16u);
  EXPECT_EQ(t.missing()[1].lost, 0u);
  EXPECT_EQ(t.missing()[2].begin, 17u);
  EXPECT_EQ(t.missing()[2].lost, static_cast<uint32_t>(ZAVO_LOST_REFUSED));
  EXPECT_EQ(t.missing()[3].begin, 18u);
  // Found at 5 (the first hole) only: the time bound takes it alone.
  t.MarkFoundBefore(6, ZAVO_LOST_TIMEOUT);
  EXPECT_EQ(t.missing()[0].lost, static_cast<uint32_t>(ZAVO_LOST_TIMEOUT));
  EXPECT_EQ(t.missing()[1].lost, 0u);
  EXPECT_EQ(t.OnField(13, 9, true), Verdict::kRedundant);
  EXPECT_EQ(t.duplicates(), 2u);  // live ones only
}

// Records what comes out, checks the order as it comes.
struct Out : GapRecovery::Output {
  struct Event {
    bool lost;
    uint64_t begin;
    uint64_t end;
    uint32_t reason;
    uint32_t kind;
  };
  std::vector<Event> events;
  std::vector<std::pair<uint64_t, uint64_t>> requests;
  bool accept = true;
  uint64_t last = 0;
  bool ordered = true;

  void Deliver(uint32_t kind, uint32_t size, uint32_t, uint64_t seq, const void* rec) override {
    uint64_t carried = 0;
    std::memcpy(&carried, rec, sizeof(carried));
    if (seq <= last || carried != seq || size != 64) ordered = false;
    last = seq;
    events.push_back(Event{false, seq, seq + 1, 0, kind});
  }
  void Lost(uint64_t begin, uint64_t end, uint32_t reason) override {
    if (begin <= last && last != 0) ordered = false;
    last = end - 1;
    events.push_back(Event{true, begin, end, reason, 0});
  }
  bool Request(uint64_t begin, uint64_t end) override {
    requests.emplace_back(begin, end);
    return accept;
  }
  // Every number from `first` to `last_seq` once, as a record or in a range.
  bool Covers(uint64_t first, uint64_t last_seq) const {
    uint64_t want = first;
    for (const Event& e : events) {
      if (e.begin != want) return false;
      want = e.end;
    }
    return want == last_seq + 1;
  }
  size_t LostCount() const {
    size_t n = 0;
    for (const Event& e : events) n += e.lost;
    return n;
  }
};

void feed(GapRecovery& r, uint64_t seq, bool recovered, int64_t now, bool filtered = false) {
  r.OnField(seq, recovered, now);
  if (filtered) return;
  char rec[64] = {};
  std::memcpy(rec, &seq, sizeof(seq));
  r.OnRecord(ZAVO_MSG_TRADE_DETAIL, sizeof(rec), 93000000, seq, rec);
}

TEST(GapRecovery, MergesRecoveredAndHeldInOrderAndCoalescesRequests) {
  Out out;
  GapRecovery r(GapRecovery::Limits{}, &out);
  for (uint64_t s = 1; s <= 3; ++s) feed(r, s, false, 0);
  feed(r, 6, false, 1);  // hole [4, 6)
  r.Flush(1);
  ASSERT_EQ(out.requests.size(), 1u);
  EXPECT_EQ(out.requests[0], std::make_pair(uint64_t{4}, uint64_t{6}));
  feed(r, 7, false, 2);
  feed(r, 9, false, 2, true);  // filtered: no record, and still no hole
  feed(r, 11, false, 2);       // holes [8, 9) and [10, 11) while the request is out
  feed(r, 7, false, 2);        // a duplicate of a held one
  r.Flush(2);
  EXPECT_EQ(out.requests.size(), 1u);  // one at a time
  EXPECT_EQ(out.events.size(), 3u);    // 1..3 only
  feed(r, 4, true, 3);
  feed(r, 5, true, 3);
  feed(r, 6, true, 3);  // the server resends what came already
  r.OnRequestEnd(ZAVO_LOST_UNAVAILABLE, 3);
  // 4, 5, then the held 6 and 7; 8 is missing still.
  EXPECT_EQ(out.last, 7u);
  ASSERT_EQ(out.requests.size(), 2u);  // the two later holes, together
  EXPECT_EQ(out.requests[1], std::make_pair(uint64_t{8}, uint64_t{11}));
  feed(r, 8, true, 4);
  feed(r, 9, true, 4, true);
  // 10 never comes: the server's short answer reports it lost.
  r.OnRequestEnd(ZAVO_LOST_UNAVAILABLE, 4);
  EXPECT_FALSE(r.active());
  feed(r, 12, false, 5);
  EXPECT_TRUE(out.ordered);
  EXPECT_EQ(out.LostCount(), 1u);
  const auto& lost = out.events[out.events.size() - 3];
  EXPECT_TRUE(lost.lost);
  EXPECT_EQ(lost.begin, 10u);
  EXPECT_EQ(lost.end, 11u);
  EXPECT_EQ(lost.reason, static_cast<uint32_t>(ZAVO_LOST_UNAVAILABLE));
  // 9 was filtered: no record, no hole.
  ASSERT_TRUE(out.events.size() >= 2);
  const GapRecovery::Counters c = r.counters();
  EXPECT_EQ(c.gaps, 3u);
  EXPECT_EQ(c.missing, 4u);
  EXPECT_EQ(c.recovered, 3u);
  EXPECT_EQ(c.lost, 1u);
  EXPECT_EQ(c.duplicates, 1u);
  EXPECT_EQ(c.delivered, 10u);  // 1..8, 11, 12
  EXPECT_EQ(r.held_bytes(), 0u);
}

TEST(GapRecovery, TheLastFillReleasesWhatWasHeldBeforeTheNextLiveField) {
  Out out;
  GapRecovery r(GapRecovery::Limits{}, &out);
  feed(r, 1, false, 0);
  feed(r, 3, false, 0);  // hole [2, 3)
  feed(r, 4, false, 0);
  feed(r, 2, true, 1);  // fills it: delivered at once, 3 and 4 still held
  EXPECT_EQ(out.last, 2u);
  EXPECT_TRUE(r.active());
  feed(r, 5, false, 2);  // the held ones first, and no hole behind them
  EXPECT_EQ(out.last, 5u);
  EXPECT_TRUE(out.Covers(1, 5));
  EXPECT_TRUE(out.ordered);
  EXPECT_EQ(r.counters().gaps, 1u);
  EXPECT_FALSE(r.active());
  // A quiet feed: the flush after the fill delivers the held ones.
  feed(r, 7, false, 3);
  feed(r, 6, true, 4);
  r.Flush(4);
  EXPECT_EQ(out.last, 7u);
}

TEST(GapRecovery, TimeAndByteBoundsReportInPlaceAndDeliveryGoesOn) {
  Out out;
  GapRecovery::Limits limits;
  limits.hold_ms = 100;
  limits.hold_bytes = 4 * HoldQueue::Charge(64);
  GapRecovery r(limits, &out);
  feed(r, 1, false, 0);
  feed(r, 3, false, 10);  // hole [2, 3) at 10 ms
  r.Flush(10);
  feed(r, 4, false, 50);
  r.Flush(109);
  EXPECT_EQ(out.last, 1u);  // not yet
  r.Flush(110);             // 100 ms after the hole: reported, 3 and 4 follow
  EXPECT_EQ(out.last, 4u);
  ASSERT_EQ(out.LostCount(), 1u);
  EXPECT_EQ(out.events[1].reason, static_cast<uint32_t>(ZAVO_LOST_TIMEOUT));
  // The request's late answer is old news.
  feed(r, 2, true, 120);
  r.OnRequestEnd(ZAVO_LOST_UNAVAILABLE, 120);
  EXPECT_EQ(out.last, 4u);

  // Bytes: a hole with more behind it than the bound holds.
  feed(r, 6, false, 200);  // hole [5, 6)
  for (uint64_t s = 7; s <= 9; ++s) feed(r, s, false, 200);
  EXPECT_EQ(out.last, 4u);  // four held, at the bound
  feed(r, 10, false, 200);  // one more: the hole goes
  EXPECT_EQ(out.last, 10u);
  EXPECT_EQ(out.events[out.events.size() - 6].reason, static_cast<uint32_t>(ZAVO_LOST_HOLD_FULL));
  EXPECT_LE(r.counters().held_peak_bytes, limits.hold_bytes + HoldQueue::Charge(64));
  EXPECT_TRUE(out.ordered);
  EXPECT_TRUE(out.Covers(1, 10));
}

TEST(GapRecovery, RefusedAbandonedAndEndOfDayEndRecovery) {
  Out out;
  GapRecovery r(GapRecovery::Limits{}, &out);
  feed(r, 1, false, 0);
  feed(r, 5, false, 0);  // [2, 5)
  r.Flush(0);
  feed(r, 2, true, 1);
  r.OnRequestEnd(ZAVO_LOST_REFUSED, 1);  // refused after one field came
  EXPECT_EQ(out.last, 5u);
  ASSERT_EQ(out.LostCount(), 1u);
  EXPECT_EQ(out.events[2].begin, 3u);
  EXPECT_EQ(out.events[2].end, 5u);

  // A request that cannot be sent is asked again later, not at once.
  out.accept = false;
  feed(r, 8, false, 10);  // [6, 8)
  r.Flush(10);
  EXPECT_EQ(out.requests.size(), 2u);
  EXPECT_FALSE(r.request_out());
  r.Flush(10 + GapRecovery::kRetryMs - 1);
  EXPECT_EQ(out.requests.size(), 2u);
  out.accept = true;
  r.Flush(10 + GapRecovery::kRetryMs);
  EXPECT_EQ(out.requests.size(), 3u);
  r.OnRequestEnd(ZAVO_LOST_ABANDONED, 200);  // the connection dropped
  EXPECT_EQ(out.last, 8u);
  EXPECT_EQ(out.events.back().begin, 8u);
  EXPECT_EQ(out.events[out.events.size() - 2].reason, static_cast<uint32_t>(ZAVO_LOST_ABANDONED));

  // A new day: what is missing is reported, what is held delivered, and
  // the next number starts again wherever it is.
  feed(r, 10, false, 300);
  feed(r, 11, false, 300);
  r.EndAll(ZAVO_LOST_NEW_DAY);
  EXPECT_EQ(out.last, 11u);
  EXPECT_EQ(out.events[out.events.size() - 3].reason, static_cast<uint32_t>(ZAVO_LOST_NEW_DAY));
  EXPECT_TRUE(out.Covers(1, 11));
  EXPECT_TRUE(out.ordered);
  out.last = 0;
  feed(r, 1, false, 400);  // a lower number: the day's sequence starts again
  EXPECT_EQ(out.events.back().begin, 1u);
  // Close: nothing comes out any more.
  feed(r, 3, false, 400);
  const size_t before = out.events.size();
  EXPECT_EQ(r.Discard(), 1u);
  EXPECT_EQ(out.events.size(), before);
}

TEST(GapRecovery, ADayChangeNoticedLateHidesNoLoss) {
  Out out;
  GapRecovery r(GapRecovery::Limits{}, &out);
  feed(r, 1, false, 0);
  feed(r, 2, false, 0);
  r.EndAll(ZAVO_LOST_NEW_DAY);  // nothing open: nothing reported
  EXPECT_EQ(out.LostCount(), 0u);
  feed(r, 5, false, 1);  // the sequence went on, with a hole
  r.Flush(1);
  ASSERT_EQ(out.requests.size(), 1u);
  EXPECT_EQ(out.requests[0], std::make_pair(uint64_t{3}, uint64_t{5}));
  EXPECT_EQ(out.last, 2u);
  EXPECT_EQ(r.counters().gaps, 1u);
}

TEST(HoldQueue, KeepsSequenceOrderAndRecyclesItsBlocks) {
  HoldQueue q;
  char rec[856] = {};
  q.Add(5, ZAVO_MSG_ORDER_QUEUE, sizeof(rec), 0, rec);
  q.Add(9, ZAVO_MSG_ORDER_DETAIL, 56, 0, rec);
  q.Add(7, ZAVO_MSG_FUTURE_SNAPSHOT, 336, 0, rec);  // fills in between
  EXPECT_EQ(q.bytes(), HoldQueue::Charge(856) + HoldQueue::Charge(56) + HoldQueue::Charge(336));
  std::vector<uint64_t> order;
  while (!q.empty()) {
    order.push_back(q.front().seq);
    q.PopFront();
  }
  EXPECT_EQ(order, (std::vector<uint64_t>{5, 7, 9}));
  EXPECT_EQ(q.bytes(), 0u);
  EXPECT_EQ(q.peak_bytes(),
            HoldQueue::Charge(856) + HoldQueue::Charge(56) + HoldQueue::Charge(336));
  EXPECT_LT(HoldQueue::Charge(56), HoldQueue::Charge(856));
}

}  // namespace
}  // namespace zavo
