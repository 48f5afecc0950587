// Hand-written detail sequences, one group per exchange rule, each checked
// against the levels, the queues and the snapshot comparison.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "book_feed.h"

namespace zavo {
namespace test {
namespace {

using BookPtr = std::unique_ptr<zavo_book, void (*)(zavo_book*)>;

BookPtr NewBook(unsigned flags = 0) {
  return BookPtr(zavo_book_new(flags), zavo_book_free);
}

// Levels of one side as price, volume, orders triples.
std::vector<int64_t> Side(zavo_book* b, const char* code, char ex, int side) {
  zavo_book_level lv[12];
  int n = zavo_book_levels(b, code, ex, side, lv, 12);
  std::vector<int64_t> v;
  for (int i = 0; i < n; ++i) {
    v.push_back(lv[i].price);
    v.push_back(lv[i].volume);
    v.push_back(lv[i].orders);
  }
  return v;
}

std::vector<int64_t> Queue(zavo_book* b, const char* code, char ex, int side, int64_t px) {
  zavo_book_order q[16];
  int n = zavo_book_queue(b, code, ex, side, px, q, 16);
  std::vector<int64_t> v;
  for (int i = 0; i < n && i < 16; ++i) {
    v.push_back(q[i].sequence);
    v.push_back(q[i].quantity);
  }
  return v;
}

using V = std::vector<int64_t>;

TEST(BookShenzhen, LimitOrdersFillsAndCancels) {
  BookPtr book = NewBook();
  BookFeed f(book.get());
  const char* c = "000001";
  ASSERT_EQ(f.Order(c, 1, 'B', '2', 1000, 300), ZAVO_BOOK_APPLIED);
  f.Order(c, 2, 'B', '2', 1000, 200);
  f.Order(c, 3, 'B', '2', 990, 100);
  f.Order(c, 4, 'S', '2', 1010, 400);
  f.Order(c, 5, 'S', '2', 1020, 500);
  EXPECT_EQ(Side(book.get(), c, '2', ZAVO_BOOK_BID), (V{1000, 500, 2, 990, 100, 1}));
  EXPECT_EQ(Side(book.get(), c, '2', ZAVO_BOOK_ASK), (V{1010, 400, 1, 1020, 500, 1}));
  EXPECT_EQ(Queue(book.get(), c, '2', ZAVO_BOOK_BID, 1000), (V{1, 300, 2, 200}));

  // A crossing sell: published whole, then its trades. Partial fill of the
  // first bid, full fill of it, then the second bid partly.
  f.Order(c, 6, 'S', '2', 1000, 450);
  f.Trade(c, '2', 6, 1, 1000, 100);
  EXPECT_EQ(Queue(book.get(), c, '2', ZAVO_BOOK_BID, 1000), (V{1, 200, 2, 200}));
  f.Trade(c, '2', 6, 1, 1000, 200);
  f.Trade(c, '2', 6, 2, 1000, 150);
  EXPECT_EQ(Side(book.get(), c, '2', ZAVO_BOOK_BID), (V{1000, 50, 1, 990, 100, 1}));
  EXPECT_EQ(Side(book.get(), c, '2', ZAVO_BOOK_ASK), (V{1010, 400, 1, 1020, 500, 1}));

  // Cancels name one order; the other sequence is 0.
  EXPECT_EQ(f.Trade(c, '2', 0, 2, 0, 50, 'C'), ZAVO_BOOK_APPLIED);
  EXPECT_EQ(f.Trade(c, '2', 5, 0, 0, 500, 'C'), ZAVO_BOOK_APPLIED);
  EXPECT_EQ(Side(book.get(), c, '2', ZAVO_BOOK_BID), (V{990, 100, 1}));
  EXPECT_EQ(Side(book.get(), c, '2', ZAVO_BOOK_ASK), (V{1010, 400, 1}));

  zavo_book_trade t;
  ASSERT_EQ(zavo_book_last_trade(book.get(), c, '2', &t), 1);
  EXPECT_EQ(t.price, 1000);
  EXPECT_EQ(t.quantity, 150);
  EXPECT_EQ(t.bid_sequence, 2);

  EXPECT_EQ(f.Snapshot(c, '2', {990, 100}, {1010, 400}), ZAVO_BOOK_APPLIED);
  zavo_book_check_info ci;
  ASSERT_EQ(zavo_book_check(book.get(), c, '2', &ci), 1);
  EXPECT_EQ(ci.agreements, 1u);
  EXPECT_EQ(ci.disagreements, 0u);
}

TEST(BookShenzhen, MarketOrderSweepsLevelsAndItsRestIsCancelled) {
  BookPtr book = NewBook();
  BookFeed f(book.get());
  const char* c = "300001";
  f.Order(c, 1, 'S', '2', 1010, 100);
  f.Order(c, 2, 'S', '2', 1020, 100);
  f.Order(c, 3, 'S', '2', 1030, 100);
  f.Order(c, 4, 'B', '2', 1000, 100);
  // Market buy of 250: never on the book, sweeps two levels and half the
  // third, and what is left (none here beyond the sweep) would be cancelled.
  f.Order(c, 5, 'B', '1', 0, 300);
  EXPECT_EQ(Side(book.get(), c, '2', ZAVO_BOOK_BID), (V{1000, 100, 1}));
  f.Trade(c, '2', 1, 5, 1010, 100);
  f.Trade(c, '2', 2, 5, 1020, 100);
  f.Trade(c, '2', 3, 5, 1030, 50);
  f.Trade(c, '2', 0, 5, 0, 50, 'C');
  EXPECT_EQ(Side(book.get(), c, '2', ZAVO_BOOK_ASK), (V{1030, 50, 1}));
  EXPECT_EQ(Side(book.get(), c, '2', ZAVO_BOOK_BID), (V{1000, 100, 1}));
  zavo_book_totals_info t;
  zavo_book_totals(book.get(), &t);
  EXPECT_EQ(t.unknown_refs, 0u);
  EXPECT_EQ(t.resting_orders, 2u);  // the held market order is gone too
}

TEST(BookShenzhen, OwnSideBestJoinsTheBestPriceOrIsHeld) {
  BookPtr book = NewBook();
  BookFeed f(book.get());
  const char* c = "002001";
  // Nothing on the ask side: held off the book until cancelled.
  f.Order(c, 1, 'S', 'U', 0, 100);
  EXPECT_TRUE(Side(book.get(), c, '2', ZAVO_BOOK_ASK).empty());
  f.Trade(c, '2', 1, 0, 0, 100, 'C');
  f.Order(c, 2, 'B', '2', 990, 100);
  f.Order(c, 3, 'B', '2', 1000, 200);
  // The record's price means nothing for this type; the order joins 1000.
  f.Order(c, 4, 'B', 'U', 0, 300);
  EXPECT_EQ(Side(book.get(), c, '2', ZAVO_BOOK_BID), (V{1000, 500, 2, 990, 100, 1}));
  EXPECT_EQ(Queue(book.get(), c, '2', ZAVO_BOOK_BID, 1000), (V{3, 200, 4, 300}));
  zavo_book_totals_info t;
  zavo_book_totals(book.get(), &t);
  EXPECT_EQ(t.unknown_refs, 0u);
  EXPECT_EQ(t.resting_orders, 3u);
}

TEST(BookShanghai, AddsCarryTheBalanceAfterMatchingAndDeletesRemove) {
  BookPtr book = NewBook();
  BookFeed f(book.get());
  const char* c = "600000";
  f.ShOrder(c, 1, 'S', 'A', 1010, 300);
  f.ShOrder(c, 2, 'S', 'A', 1010, 200);
  f.ShOrder(c, 3, 'B', 'A', 1000, 100);
  // Buy 7 for 400 at 1010: its trades come first and name it before the
  // book knows it; then its add with what is left (none: no add at all, or
  // an add with balance 0, which changes nothing).
  f.Trade(c, '1', 1, 7, 1010, 300);
  f.Trade(c, '1', 2, 7, 1010, 100);
  EXPECT_EQ(f.ShOrder(c, 7, 'B', 'A', 1010, 0), ZAVO_BOOK_APPLIED);
  EXPECT_EQ(Side(book.get(), c, '1', ZAVO_BOOK_ASK), (V{1010, 100, 1}));
  EXPECT_EQ(Side(book.get(), c, '1', ZAVO_BOOK_BID), (V{1000, 100, 1}));
  // Buy 8 for 250 at 1010 against the 100 left: rests with 150 at 1010,
  // which is now the best bid.
  f.Trade(c, '1', 2, 8, 1010, 100);
  f.ShOrder(c, 8, 'B', 'A', 1010, 150);
  EXPECT_TRUE(Side(book.get(), c, '1', ZAVO_BOOK_ASK).empty());
  EXPECT_EQ(Side(book.get(), c, '1', ZAVO_BOOK_BID), (V{1010, 150, 1, 1000, 100, 1}));
  // Delete: the order leaves whatever it had left.
  f.ShOrder(c, 3, 'B', 'D', 1000, 100);
  EXPECT_EQ(Side(book.get(), c, '1', ZAVO_BOOK_BID), (V{1010, 150, 1}));
  f.Snapshot(c, '1', {1010, 150}, {});
  zavo_book_totals_info t;
  zavo_book_totals(book.get(), &t);
  EXPECT_EQ(t.agreements, 1u);
  EXPECT_EQ(t.unknown_refs, 0u);  // aggressors named before their add are expected
  // A delete of an order the book never had is reported.
  f.ShOrder(c, 99, 'S', 'D', 1010, 100);
  zavo_book_totals(book.get(), &t);
  EXPECT_EQ(t.unknown_refs, 1u);
}

TEST(BookCheck, DisagreementExposesTheFirstDifferingLevel) {
  BookPtr book = NewBook();
  BookFeed f(book.get());
  const char* c = "000002";
  f.Order(c, 1, 'B', '2', 1000, 100);
  f.Order(c, 2, 'B', '2', 990, 100);
  f.Order(c, 3, 'S', '2', 1010, 100);
  // The bid side agrees; the ask side has a second level the book lacks.
  f.Snapshot(c, '2', {1000, 100, 990, 100}, {1010, 100, 1020, 700});
  zavo_book_check_info ci;
  ASSERT_EQ(zavo_book_check(book.get(), c, '2', &ci), 1);
  EXPECT_EQ(ci.disagreements, 1u);
  EXPECT_EQ(ci.diff_side, ZAVO_BOOK_ASK);
  EXPECT_EQ(ci.diff_level, 2);
  EXPECT_EQ(ci.snap_price, 1020);
  EXPECT_EQ(ci.snap_volume, 700);
  EXPECT_EQ(ci.book_price, 0);
  EXPECT_EQ(ci.diff_seq, 4u);
  // A volume difference at the best bid.
  f.Snapshot(c, '2', {1000, 200, 990, 100}, {1010, 100});
  zavo_book_check(book.get(), c, '2', &ci);
  EXPECT_EQ(ci.disagreements, 2u);
  EXPECT_EQ(ci.diff_side, ZAVO_BOOK_BID);
  EXPECT_EQ(ci.diff_level, 1);
  EXPECT_EQ(ci.book_volume, 100);
  // More than ten levels: only the ten best are compared.
  for (int i = 0; i < 12; ++i) f.Order(c, 10 + i, 'S', '2', 1100 + i, 10);
  std::vector<int64_t> asks{1010, 100};
  for (int i = 0; i < 9; ++i) {
    asks.push_back(1100 + i);
    asks.push_back(10);
  }
  f.Snapshot(c, '2', {1000, 100, 990, 100}, asks);
  zavo_book_check(book.get(), c, '2', &ci);
  EXPECT_EQ(ci.agreements, 1u);
  EXPECT_EQ(zavo_book_check(book.get(), "999999", '2', &ci), 0);
  EXPECT_EQ(ci.diff_side, -1);
}

// Levels with their inferred volume: price, volume, orders, inferred.
std::vector<int64_t> SideInferred(zavo_book* b, const char* code, char ex, int side) {
  zavo_book_level lv[12];
  int n = zavo_book_levels(b, code, ex, side, lv, 12);
  std::vector<int64_t> v;
  for (int i = 0; i < n; ++i) {
    v.insert(v.end(), {lv[i].price, lv[i].volume, lv[i].orders, lv[i].inferred});
  }
  return v;
}

TEST(BookSequence, GapMarksStaleAndTheNextSnapshotResynchronisesTheTop) {
  BookPtr book = NewBook();
  BookFeed f(book.get());
  const char* c = "000001";
  f.Order(c, 1, 'B', '2', 1000, 100);
  f.ShOrder("600000", 1, 'S', 'A', 2000, 100);
  f.Skip(3);  // three fields lost
  f.Order(c, 2, 'B', '2', 1000, 100);
  f.Order("000003", 1, 'S', '2', 500, 100);  // first seen after the gap
  zavo_book_totals_info t;
  zavo_book_totals(book.get(), &t);
  EXPECT_EQ(t.gaps, 1u);
  EXPECT_EQ(t.missing, 3u);
  EXPECT_EQ(t.stale, 3u);

  // The lost fields held more bids: the snapshot differs, counts as stale,
  // and its levels become the book's, the unexplained part inferred.
  f.Snapshot(c, '2', {1000, 300, 990, 50}, {});
  zavo_book_check_info ci;
  zavo_book_check(book.get(), c, '2', &ci);
  EXPECT_EQ(ci.stale, 0);
  EXPECT_EQ(ci.stale_snapshots, 1u);
  EXPECT_EQ(ci.disagreements, 0u);
  EXPECT_EQ(ci.diff_level, 1);
  EXPECT_EQ(ci.inferred_levels, 2u);
  EXPECT_EQ(SideInferred(book.get(), c, '2', ZAVO_BOOK_BID),
            (V{1000, 300, 2, 100, 990, 50, 0, 50}));
  EXPECT_EQ(Queue(book.get(), c, '2', ZAVO_BOOK_BID, 1000), (V{1, 100, 2, 100}));

  // A sell hits an unseen bid (the aggressor flag names the seller), then
  // a seen one: the inferred volume goes first, then the order.
  f.Order(c, 5, 'S', '2', 1000, 150);
  f.Trade(c, '2', 5, 77, 1000, 100);
  zavo_book_totals(book.get(), &t);
  f.Trade(c, '2', 5, 1, 1000, 50);
  EXPECT_EQ(SideInferred(book.get(), c, '2', ZAVO_BOOK_BID), (V{1000, 150, 2, 0, 990, 50, 0, 50}));
  f.Snapshot(c, '2', {1000, 150, 990, 50}, {});
  // An unseen order at 990 is cancelled: Shenzhen cancels carry no price,
  // so the book cannot follow; the next snapshot resynchronises again.
  f.Snapshot(c, '2', {1000, 150}, {});
  zavo_book_check(book.get(), c, '2', &ci);
  EXPECT_EQ(ci.agreements, 1u);
  EXPECT_EQ(ci.stale_snapshots, 2u);
  EXPECT_EQ(ci.disagreements, 0u);
  EXPECT_EQ(ci.inferred_levels, 0u);
  EXPECT_EQ(SideInferred(book.get(), c, '2', ZAVO_BOOK_BID), (V{1000, 150, 2, 0}));
  // With nothing inferred the book is exact again: a difference now is a
  // disagreement, and the book is left as built.
  f.Snapshot(c, '2', {1000, 999}, {});
  zavo_book_check(book.get(), c, '2', &ci);
  EXPECT_EQ(ci.disagreements, 1u);
  EXPECT_EQ(ci.book_volume, 150);
  EXPECT_EQ(SideInferred(book.get(), c, '2', ZAVO_BOOK_BID), (V{1000, 150, 2, 0}));

  // Shanghai: a snapshot that agrees clears the stale mark; after another
  // gap an unseen ask is inferred, and its delete (which names price and
  // side) removes it. A seen order the snapshot no longer shows is dropped.
  f.Snapshot("600000", '1', {}, {2000, 100});
  f.Skip(1);
  f.Snapshot("600000", '1', {}, {2010, 300});
  EXPECT_EQ(SideInferred(book.get(), "600000", '1', ZAVO_BOOK_ASK), (V{2010, 300, 0, 300}));
  f.ShOrder("600000", 55, 'S', 'D', 2010, 300);
  EXPECT_TRUE(Side(book.get(), "600000", '1', ZAVO_BOOK_ASK).empty());
  zavo_book_totals(book.get(), &t);
  EXPECT_EQ(t.gaps, 2u);
  EXPECT_EQ(t.resyncs, 3u);
  EXPECT_EQ(t.stale, 2u);           // 000001 and 000003 since the second gap
  EXPECT_EQ(t.resting_orders, 3u);  // 000001's two bids and 000003's ask
  EXPECT_EQ(t.disagreements, 1u);

  // A retransmitted field fed late is not applied twice.
  ZAVO_OrderDetail r{};
  std::strncpy(r.Code, c, 15);
  r.ExchangeID = '2';
  r.OrderSequence = 2;
  r.OrderPrice = 1000;
  r.OrderQty = 100;
  r.OrderSide = 'B';
  r.OrderType = '2';
  EXPECT_EQ(f.Send(ZAVO_MSG_ORDER_DETAIL, &r, sizeof r, 6), ZAVO_BOOK_LATE);
  EXPECT_EQ(Side(book.get(), c, '2', ZAVO_BOOK_BID), (V{1000, 150, 2}));
  // Numbering from 1 again is a restart of the server, not a late field.
  r.OrderSequence = 9;
  EXPECT_EQ(f.Send(ZAVO_MSG_ORDER_DETAIL, &r, sizeof r, 1), ZAVO_BOOK_APPLIED);
  EXPECT_EQ(Side(book.get(), c, '2', ZAVO_BOOK_BID), (V{1000, 250, 3}));
  zavo_book_totals(book.get(), &t);
  EXPECT_EQ(t.restarts, 1u);
  EXPECT_EQ(t.stale, 3u);

  // A book that starts after the first field has missed the beginning.
  BookPtr late = NewBook();
  BookFeed g(late.get());
  g.Skip(41);
  g.Order(c, 1, 'B', '2', 1000, 100);
  zavo_book_totals(late.get(), &t);
  EXPECT_EQ(t.gaps, 1u);
  EXPECT_EQ(t.missing, 41u);
  EXPECT_EQ(t.stale, 1u);
}

TEST(BookSequence, FilteredBookKnowsItStartedLateButIgnoresHoles) {
  // A filtered session starting on a running feed: the bid of order 7
  // rested before the book's first field, so the first snapshot differs.
  // That is a stale snapshot, never a disagreement.
  BookPtr book = NewBook(ZAVO_BOOK_NO_SEQ_CHECK);
  BookFeed f(book.get());
  const char* c = "000001";
  f.Skip(99);
  f.Order(c, 8, 'B', '2', 1000, 100);
  f.Snapshot(c, '2', {1000, 300}, {});
  zavo_book_check_info ci;
  zavo_book_check(book.get(), c, '2', &ci);
  EXPECT_EQ(ci.stale_snapshots, 1u);
  EXPECT_EQ(ci.disagreements, 0u);
  zavo_book_totals_info t;
  zavo_book_totals(book.get(), &t);
  EXPECT_EQ(t.gaps, 1u);

  // Once resynchronised, holes (other codes' fields) change nothing: no
  // gap, nothing stale, and the book goes on agreeing.
  f.Skip(500);
  f.Order(c, 9, 'B', '2', 990, 50);
  f.Skip(7);
  f.Snapshot(c, '2', {1000, 300, 990, 50}, {});
  zavo_book_check(book.get(), c, '2', &ci);
  EXPECT_EQ(ci.agreements, 1u);
  EXPECT_EQ(ci.disagreements, 0u);
  EXPECT_EQ(ci.stale, 0);
  zavo_book_totals(book.get(), &t);
  EXPECT_EQ(t.gaps, 1u);
  EXPECT_EQ(t.stale, 0u);

  // Numbering from 1 again is a restart: everything stale.
  ZAVO_OrderDetail r{};
  std::strncpy(r.Code, c, 15);
  r.ExchangeID = '2';
  r.OrderSequence = 1;
  r.OrderPrice = 980;
  r.OrderQty = 10;
  r.OrderSide = 'B';
  r.OrderType = '2';
  EXPECT_EQ(f.Send(ZAVO_MSG_ORDER_DETAIL, &r, sizeof r, 1), ZAVO_BOOK_APPLIED);
  zavo_book_totals(book.get(), &t);
  EXPECT_EQ(t.restarts, 1u);
  EXPECT_EQ(t.stale, 1u);
}

TEST(BookSequence, LostRangeOfARecoveringSessionMarksStaleInBothModes) {
  for (unsigned flags : {0u, unsigned{ZAVO_BOOK_NO_SEQ_CHECK}}) {
    SCOPED_TRACE(flags);
    BookPtr book = NewBook(flags);
    BookFeed f(book.get());
    const char* c = "000001";
    f.Order(c, 1, 'B', '2', 1000, 100);
    f.Snapshot(c, '2', {1000, 100}, {});
    // The session reports fields 3 to 9 lost, in order, then goes on at 10.
    ZAVO_LostRange lost{3, 10, ZAVO_LOST_REFUSED, 0};
    EXPECT_EQ(f.Send(ZAVO_MSG_LOST_RANGE, &lost, sizeof lost, 9), ZAVO_BOOK_APPLIED);
    f.Skip(7);
    f.Order(c, 2, 'B', '2', 990, 50);
    zavo_book_totals_info t;
    zavo_book_totals(book.get(), &t);
    EXPECT_EQ(t.gaps, 1u);  // the range, not a second gap at field 10
    EXPECT_EQ(t.missing, 7u);
    EXPECT_EQ(t.stale, 1u);
    // The same report again, or one shorter than a record: nothing more.
    EXPECT_EQ(f.Send(ZAVO_MSG_LOST_RANGE, &lost, sizeof lost, 9), ZAVO_BOOK_LATE);
    EXPECT_EQ(f.Send(ZAVO_MSG_LOST_RANGE, &lost, sizeof lost - 1, 9), ZAVO_BOOK_EINVAL);
    // The next snapshot resynchronises, as after any gap.
    f.Snapshot(c, '2', {1000, 100, 990, 50}, {});
    zavo_book_totals(book.get(), &t);
    EXPECT_EQ(t.gaps, 1u);
    EXPECT_EQ(t.stale, 0u);
    EXPECT_EQ(t.disagreements, 0u);
  }
}

TEST(BookInterface, RejectsBadArgumentsAndIgnoresOtherKinds) {
  BookPtr book = NewBook(ZAVO_BOOK_NO_SEQ_CHECK);
  BookFeed f(book.get());
  EXPECT_EQ(zavo_book_apply(nullptr, nullptr), ZAVO_BOOK_EINVAL);
  ZAVO_OrderDetail r{};
  EXPECT_EQ(f.Send(ZAVO_MSG_ORDER_DETAIL, &r, sizeof r - 1, 1), ZAVO_BOOK_EINVAL);
  EXPECT_EQ(f.Send(ZAVO_MSG_ORDER_DETAIL, nullptr, sizeof r, 1), ZAVO_BOOK_EINVAL);
  ZAVO_IndexSnapShot ix{};
  EXPECT_EQ(f.Send(ZAVO_MSG_INDEX_SNAPSHOT, &ix, sizeof ix, 1), ZAVO_BOOK_IGNORED);
  EXPECT_EQ(f.Order("000001", 1, 'F', '2', 1000, 100), ZAVO_BOOK_IGNORED);
  EXPECT_EQ(f.ShOrder("600000", 1, 'B', 'X', 1000, 100), ZAVO_BOOK_IGNORED);
  // Without the sequence check, out-of-order numbers are applied.
  f.Order("000001", 2, 'B', '2', 1000, 100);
  EXPECT_EQ(f.Send(ZAVO_MSG_ORDER_DETAIL, &r, sizeof r, 1), ZAVO_BOOK_IGNORED);
  zavo_book_level lv;
  EXPECT_EQ(zavo_book_levels(book.get(), "000001", '2', 2, &lv, 1), ZAVO_BOOK_EINVAL);
  EXPECT_EQ(zavo_book_levels(book.get(), "000001", '2', 0, nullptr, 1), ZAVO_BOOK_EINVAL);
  EXPECT_EQ(zavo_book_levels(book.get(), "000001", '1', 0, &lv, 1), 0);
  // Bytes after a code's terminator mean nothing, and a sixteenth
  // character is never part of the code.
  ZAVO_OrderDetail g{};
  std::memset(g.Code, 'X', sizeof g.Code);
  std::memcpy(g.Code, "000001", 7);
  g.ExchangeID = '2';
  g.OrderSequence = 3;
  g.OrderPrice = 1000;
  g.OrderQty = 50;
  g.OrderSide = 'B';
  g.OrderType = '2';
  EXPECT_EQ(f.Send(ZAVO_MSG_ORDER_DETAIL, &g, sizeof g, 3), ZAVO_BOOK_APPLIED);
  std::memcpy(g.Code, "12345678ABCDEFGH", 16);
  g.OrderSequence = 4;
  EXPECT_EQ(f.Send(ZAVO_MSG_ORDER_DETAIL, &g, sizeof g, 4), ZAVO_BOOK_APPLIED);
  EXPECT_EQ(Side(book.get(), "000001", '2', ZAVO_BOOK_BID), (V{1000, 150, 2}));
  EXPECT_EQ(Side(book.get(), "12345678ABCDEFG", '2', ZAVO_BOOK_BID), (V{1000, 50, 1}));
  int seen = 0;
  EXPECT_EQ(zavo_book_each(
                book.get(),
                [](void* arg, const char*, char) {
                  ++*static_cast<int*>(arg);
                  return 0;
                },
                &seen),
            2);
  EXPECT_EQ(seen, 2);
}

}  // namespace
}  // namespace test
}  // namespace zavo

namespace zavo {
namespace test {
namespace {

TEST(BookHoldGaps, HeldFieldsWaitForTheResentRangeThenApplyInOrder) {
  std::unique_ptr<zavo_book, void (*)(zavo_book*)> book(zavo_book_new(ZAVO_BOOK_HOLD_GAPS),
                                                        zavo_book_free);
  BookFeed f(book.get());
  const char* c = "000001";
  // Fields 1 and 2 arrive, 3 and 4 are lost, 5 to 7 arrive.
  f.Order(c, 1, 'B', '2', 1000, 100);
  f.Order(c, 2, 'S', '2', 1010, 100);
  ZAVO_OrderDetail lost3{}, lost4{};
  for (ZAVO_OrderDetail* r : {&lost3, &lost4}) {
    std::strncpy(r->Code, c, 15);
    r->ExchangeID = '2';
    r->OrderSide = 'B';
    r->OrderType = '2';
    r->OrderPrice = 1000;
    r->OrderQty = 50;
  }
  lost3.OrderSequence = 3;
  lost4.OrderSequence = 4;
  f.Skip(2);
  EXPECT_EQ(f.Order(c, 5, 'B', '2', 990, 100), ZAVO_BOOK_HELD);
  EXPECT_EQ(f.Trade(c, '2', 2, 3, 1010, 100), ZAVO_BOOK_HELD);  // names lost order 3
  EXPECT_EQ(f.Snapshot(c, '2', {1000, 150, 990, 100}, {}), ZAVO_BOOK_HELD);
  uint64_t begin = 0, end = 0;
  ASSERT_EQ(zavo_book_pending_gap(book.get(), &begin, &end), 1);
  EXPECT_EQ(begin, 3u);
  EXPECT_EQ(end, 5u);
  // Meanwhile the book is as it was before the gap.
  EXPECT_EQ(Side(book.get(), c, '2', ZAVO_BOOK_BID), (V{1000, 100, 1}));

  // The resent range, in order: an old number is late, the right one is
  // applied, and the last one releases what was held.
  EXPECT_EQ(f.Send(ZAVO_MSG_ORDER_DETAIL, &lost4, sizeof lost4, 4), ZAVO_BOOK_LATE);
  EXPECT_EQ(f.Send(ZAVO_MSG_ORDER_DETAIL, &lost3, sizeof lost3, 3), ZAVO_BOOK_APPLIED);
  EXPECT_EQ(f.Send(ZAVO_MSG_ORDER_DETAIL, &lost4, sizeof lost4, 4), ZAVO_BOOK_APPLIED);
  EXPECT_EQ(zavo_book_pending_gap(book.get(), &begin, &end), 0);
  EXPECT_EQ(Side(book.get(), c, '2', ZAVO_BOOK_BID), (V{1000, 150, 2, 990, 100, 1}));
  EXPECT_EQ(Queue(book.get(), c, '2', ZAVO_BOOK_BID, 1000), (V{1, 100, 4, 50}));
  EXPECT_TRUE(Side(book.get(), c, '2', ZAVO_BOOK_ASK).empty());
  zavo_book_totals_info t;
  zavo_book_totals(book.get(), &t);
  EXPECT_EQ(t.gaps, 1u);
  EXPECT_EQ(t.filled, 1u);
  EXPECT_EQ(t.held, 0u);
  EXPECT_EQ(t.stale, 0u);
  EXPECT_EQ(t.agreements, 1u);  // the held snapshot, checked in its turn
  EXPECT_EQ(t.unknown_refs, 0u);

  // A second gap while holding is held as well; after the first is filled
  // the book waits for the second. Giving up applies what was held and
  // makes everything stale.
  f.Skip(1);                                                       // field 8 lost
  EXPECT_EQ(f.Order(c, 10, 'S', '2', 1020, 100), ZAVO_BOOK_HELD);  // field 9
  f.Skip(1);                                                       // field 10 lost
  EXPECT_EQ(f.Order(c, 12, 'S', '2', 1030, 100), ZAVO_BOOK_HELD);  // field 11
  ZAVO_OrderDetail lost8 = lost3;
  lost8.OrderSequence = 8;
  lost8.OrderPrice = 980;
  EXPECT_EQ(f.Send(ZAVO_MSG_ORDER_DETAIL, &lost8, sizeof lost8, 8), ZAVO_BOOK_APPLIED);
  ASSERT_EQ(zavo_book_pending_gap(book.get(), &begin, &end), 1);
  EXPECT_EQ(begin, 10u);
  EXPECT_EQ(end, 11u);
  EXPECT_EQ(Side(book.get(), c, '2', ZAVO_BOOK_ASK), (V{1020, 100, 1}));
  EXPECT_EQ(zavo_book_drop_gap(book.get()), 0);
  EXPECT_EQ(Side(book.get(), c, '2', ZAVO_BOOK_ASK), (V{1020, 100, 1, 1030, 100, 1}));
  zavo_book_totals(book.get(), &t);
  EXPECT_EQ(t.gaps, 3u);
  EXPECT_EQ(t.filled, 2u);
  EXPECT_EQ(t.stale, 1u);
  EXPECT_EQ(zavo_book_pending_gap(book.get(), &begin, &end), 0);
  EXPECT_EQ(f.Order(c, 13, 'S', '2', 1040, 100), ZAVO_BOOK_APPLIED);
  EXPECT_EQ(zavo_book_drop_gap(nullptr), ZAVO_BOOK_EINVAL);
}

}  // namespace
}  // namespace test
}  // namespace zavo
