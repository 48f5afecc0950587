#include "api/subscription_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

namespace zavo {
namespace {

using State = SubscriptionManager::State;

bool sh(const SubscriptionManager& m, const char* code) {
  return m.IsMatchSysCode(1, code);
}
bool sz(const SubscriptionManager& m, const char* code) {
  return m.IsMatchSysCode(2, code);
}

TEST(SecurityCodeKey, BuildsCanonicalSixteenBytesAndHashesWords) {
  const SecurityCode a = SecurityCode::Make(1, "600000");
  const SecurityCode padded = SecurityCode::Make(1, "600000  ");
  const char wire[16] = {'6', '0', '0', '0', '0', '0', ' ', 'x',
                         'y', 'z', 'z', 'z', 'z', 'z', 'z', 'z'};
  EXPECT_EQ(a, padded);
  EXPECT_EQ(a, SecurityCode::Make(1, wire, sizeof(wire)));
  EXPECT_NE(a, SecurityCode::Make(2, "600000"));
  EXPECT_NE(a, SecurityCode::Make(1, "600001"));

  // Bytes after the code are all zero, whatever followed in the source.
  unsigned char raw[16];
  std::memcpy(raw, &a, 16);
  EXPECT_EQ(raw[0], 1);
  EXPECT_EQ(std::memcmp(raw + 1, "600000", 6), 0);
  for (int i = 7; i < 16; ++i) EXPECT_EQ(raw[i], 0) << i;

  // At most 14 characters: two 16-character codes sharing 14 share a key.
  const char full[16] = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H',
                         'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P'};
  const SecurityCode k1 = SecurityCode::Make(2, full, 16);
  EXPECT_EQ(k1, SecurityCode::Make(2, "ABCDEFGHIJKLMNXY"));
  EXPECT_EQ(std::string(k1.code, 14), "ABCDEFGHIJKLMN");
  EXPECT_EQ(k1.code[14], '\0');

  // Hash: sum of the two native 64-bit words; equal keys hash alike.
  uint64_t lo, hi;
  std::memcpy(&lo, &a, 8);
  std::memcpy(&hi, reinterpret_cast<const char*>(&a) + 8, 8);
  EXPECT_EQ(CodeHash()(a), static_cast<size_t>(lo + hi));
  EXPECT_EQ(CodeHash()(a), CodeHash()(padded));
  SecurityCode ff;
  std::memset(&ff, 0xff, sizeof(ff));
  EXPECT_EQ(CodeHash()(ff), static_cast<size_t>(0xfffffffffffffffeull));  // wraps
}

TEST(Subscription, OpenTimeMarketAndCodeTexts) {
  {  // new object: nothing delivered
    SubscriptionManager m;
    EXPECT_FALSE(sh(m, "600000"));
    EXPECT_FALSE(sz(m, "000001"));
  }
  {  // no markets, no codes: everything
    SubscriptionManager m;
    EXPECT_TRUE(m.SetMarketSubscription(nullptr));
    EXPECT_TRUE(m.SetCodeSubscription(nullptr));
    EXPECT_TRUE(sh(m, "600000"));
    EXPECT_TRUE(sz(m, "000001"));
    SubscriptionManager e;
    EXPECT_TRUE(e.SetMarketSubscription(""));
    EXPECT_TRUE(e.SetCodeSubscription(""));
    EXPECT_EQ(e.StateOf(1), State::kAll);
    EXPECT_EQ(e.StateOf(2), State::kAll);
  }
  {  // SH + 000001.SZ: all of Shanghai, one code of Shenzhen
    SubscriptionManager m;
    EXPECT_TRUE(m.SetMarketSubscription("SH"));
    EXPECT_TRUE(m.SetCodeSubscription("000001.SZ"));
    EXPECT_TRUE(sh(m, "600000"));
    EXPECT_TRUE(sh(m, "688981"));
    EXPECT_TRUE(sz(m, "000001"));
    EXPECT_FALSE(sz(m, "000002"));
  }
  {  // SH + 600000.SH: only 600000, nothing of Shenzhen
    SubscriptionManager m;
    EXPECT_TRUE(m.SetMarketSubscription("sh;"));
    EXPECT_TRUE(m.SetCodeSubscription("600000.sh"));
    EXPECT_TRUE(sh(m, "600000"));
    EXPECT_FALSE(sh(m, "600001"));
    EXPECT_FALSE(sz(m, "000001"));
    EXPECT_EQ(m.StateOf(1), State::kOnly);
    EXPECT_EQ(m.StateOf(2), State::kNone);
  }
  {  // invalid market item stops the work, earlier items stay applied
    SubscriptionManager m;
    EXPECT_FALSE(m.SetMarketSubscription("SH;XX;SZ"));
    EXPECT_EQ(m.StateOf(1), State::kAll);
    EXPECT_EQ(m.StateOf(2), State::kNone);
    SubscriptionManager n;
    EXPECT_FALSE(n.SetMarketSubscription(";;"));
    EXPECT_FALSE(n.SetMarketSubscription("SHSZ"));
    EXPECT_EQ(n.StateOf(1), State::kNone);
  }
  {  // invalid code items
    SubscriptionManager m;
    EXPECT_FALSE(m.SetCodeSubscription("600000.SH;600001;000001.SZ"));
    EXPECT_TRUE(sh(m, "600000"));
    EXPECT_FALSE(sz(m, "000001"));
    EXPECT_FALSE(m.SetCodeSubscription(";"));
    EXPECT_FALSE(m.SetCodeSubscription("600000.SS"));
    EXPECT_FALSE(m.SetCodeSubscription("600000.SH.X"));
    EXPECT_FALSE(m.SetCodeSubscription(".SH"));
  }
  {  // open-time codes are used as written: no case change of the code part
    SubscriptionManager m;
    EXPECT_TRUE(m.SetCodeSubscription("abc.SZ"));
    EXPECT_TRUE(sz(m, "abc"));
    EXPECT_FALSE(sz(m, "ABC"));
  }
}

TEST(Subscription, ParseCodeList) {
  CodeListMap map;
  map[7].insert(SecurityCode::Make(7, "junk"));
  ASSERT_TRUE(SubscriptionManager::ParseCodeList("600000.sh;;000001.SZ;600001.SH;", map));
  ASSERT_EQ(map.size(), 2u);
  EXPECT_EQ(map[1].size(), 2u);
  EXPECT_EQ(map[2].size(), 1u);
  EXPECT_EQ(map[1].count(SecurityCode::Make(1, "600001")), 1u);
  // the whole item is upper-cased
  ASSERT_TRUE(SubscriptionManager::ParseCodeList("abc.sz", map));
  EXPECT_EQ(map[2].count(SecurityCode::Make(2, "ABC")), 1u);
  ASSERT_TRUE(SubscriptionManager::ParseCodeList("", map));
  EXPECT_TRUE(map.empty());
  ASSERT_TRUE(SubscriptionManager::ParseCodeList(";;", map));
  EXPECT_TRUE(map.empty());
  EXPECT_FALSE(SubscriptionManager::ParseCodeList("600000", map));
  EXPECT_FALSE(SubscriptionManager::ParseCodeList("600000.SS", map));
  EXPECT_FALSE(SubscriptionManager::ParseCodeList("600000.SH.X", map));
  EXPECT_FALSE(SubscriptionManager::ParseCodeList("600000.SH;x.SHSZ", map));
  EXPECT_FALSE(SubscriptionManager::ParseCodeList(nullptr, map));
}

TEST(Subscription, UpdateModes) {
  SubscriptionManager m;
  // mode 1: exactly the listed codes
  EXPECT_EQ(m.UpdateSubscription(ZAVO_SUBSCRIBE_REPLACE, "600000.SH;000001.SZ"), ZAVO_SUCCESS);
  EXPECT_TRUE(sh(m, "600000"));
  EXPECT_TRUE(sz(m, "000001"));
  EXPECT_FALSE(sh(m, "600001"));
  EXPECT_FALSE(sz(m, "000002"));
  // mode 1 with an empty list: nothing
  EXPECT_EQ(m.UpdateSubscription(ZAVO_SUBSCRIBE_REPLACE, ""), ZAVO_SUCCESS);
  EXPECT_FALSE(sh(m, "600000"));
  EXPECT_FALSE(sz(m, "000001"));
  // mode 0 ignores the list, even a null one
  EXPECT_EQ(m.UpdateSubscription(ZAVO_SUBSCRIBE_ALL, nullptr), ZAVO_SUCCESS);
  EXPECT_TRUE(sh(m, "600000"));
  EXPECT_TRUE(sz(m, "300750"));
  // mode 3 after mode 0: everything but 600000.SH
  EXPECT_EQ(m.UpdateSubscription(ZAVO_SUBSCRIBE_REMOVE, "600000.SH"), ZAVO_SUCCESS);
  EXPECT_FALSE(sh(m, "600000"));
  EXPECT_TRUE(sh(m, "600001"));
  EXPECT_TRUE(sz(m, "600000"));
  EXPECT_EQ(m.StateOf(1), State::kAllExcept);
  EXPECT_EQ(m.StateOf(2), State::kAll);
  // all except {600000, 600001}; adding back 600000 leaves 600001 excluded
  EXPECT_EQ(m.UpdateSubscription(ZAVO_SUBSCRIBE_REMOVE, "600001.SH"), ZAVO_SUCCESS);
  EXPECT_EQ(m.UpdateSubscription(ZAVO_SUBSCRIBE_ADD, "600000.SH"), ZAVO_SUCCESS);
  EXPECT_TRUE(sh(m, "600000"));
  EXPECT_FALSE(sh(m, "600001"));
  EXPECT_TRUE(sh(m, "600519"));
  // invalid items change nothing
  EXPECT_EQ(m.UpdateSubscription(ZAVO_SUBSCRIBE_ADD, "600000"), ZAVO_ERR_INVALID);
  EXPECT_EQ(m.UpdateSubscription(ZAVO_SUBSCRIBE_ADD, "600001.SH;x.XX"), ZAVO_ERR_INVALID);
  EXPECT_EQ(m.UpdateSubscription(ZAVO_SUBSCRIBE_REPLACE, nullptr), ZAVO_ERR_INVALID);
  EXPECT_FALSE(sh(m, "600001"));
  EXPECT_TRUE(sz(m, "000001"));
  // an unknown mode parses but changes nothing
  EXPECT_EQ(m.UpdateSubscription(static_cast<ZAVO_SUBSCRIPTION_UPDATE>(9), "600001.SH"),
            ZAVO_SUCCESS);
  EXPECT_FALSE(sh(m, "600001"));
  EXPECT_EQ(m.UpdateSubscription(static_cast<ZAVO_SUBSCRIPTION_UPDATE>(9), "bad"),
            ZAVO_ERR_INVALID);

  // all: mode 2 leaves it, none: mode 3 leaves it; unnamed exchanges untouched
  SubscriptionManager n;
  EXPECT_EQ(n.UpdateSubscription(ZAVO_SUBSCRIBE_REMOVE, "000001.SZ"), ZAVO_SUCCESS);
  EXPECT_EQ(n.StateOf(2), State::kNone);
  EXPECT_EQ(n.UpdateSubscription(ZAVO_SUBSCRIBE_ADD, "000001.SZ"), ZAVO_SUCCESS);
  EXPECT_EQ(n.StateOf(2), State::kOnly);  // none + L = only L
  EXPECT_EQ(n.StateOf(1), State::kNone);
  EXPECT_EQ(n.UpdateSubscription(ZAVO_SUBSCRIBE_ADD, "000002.sz;000001.sz"), ZAVO_SUCCESS);
  EXPECT_TRUE(sz(n, "000001"));
  EXPECT_TRUE(sz(n, "000002"));
  EXPECT_FALSE(sz(n, "000003"));
  EXPECT_EQ(n.UpdateSubscription(ZAVO_SUBSCRIBE_REMOVE, "000002.SZ"), ZAVO_SUCCESS);
  EXPECT_FALSE(sz(n, "000002"));
  EXPECT_TRUE(sz(n, "000001"));
  EXPECT_EQ(n.UpdateSubscription(ZAVO_SUBSCRIBE_ALL, ""), ZAVO_SUCCESS);
  EXPECT_EQ(n.UpdateSubscription(ZAVO_SUBSCRIBE_ADD, "000002.SZ"), ZAVO_SUCCESS);
  EXPECT_EQ(n.StateOf(2), State::kAll);
  // all except S, then exclude more
  EXPECT_EQ(n.UpdateSubscription(ZAVO_SUBSCRIBE_REMOVE, "000001.SZ"), ZAVO_SUCCESS);
  EXPECT_EQ(n.UpdateSubscription(ZAVO_SUBSCRIBE_REMOVE, "000002.SZ"), ZAVO_SUCCESS);
  EXPECT_FALSE(sz(n, "000001"));
  EXPECT_FALSE(sz(n, "000002"));
  EXPECT_TRUE(sz(n, "000003"));
}

TEST(Subscription, EmptyingTransitionsKeepTheUsersIntent) {
  SubscriptionManager m;
  // only {600000}: removing it leaves none, not the whole market
  EXPECT_EQ(m.UpdateSubscription(ZAVO_SUBSCRIBE_REPLACE, "600000.SH"), ZAVO_SUCCESS);
  EXPECT_EQ(m.UpdateSubscription(ZAVO_SUBSCRIBE_REMOVE, "600000.SH"), ZAVO_SUCCESS);
  EXPECT_EQ(m.StateOf(1), State::kNone);
  EXPECT_FALSE(sh(m, "600000"));
  EXPECT_FALSE(sh(m, "600001"));
  // removing more than held also ends in none
  EXPECT_EQ(m.UpdateSubscription(ZAVO_SUBSCRIBE_REPLACE, "600000.SH;600001.SH"), ZAVO_SUCCESS);
  EXPECT_EQ(m.UpdateSubscription(ZAVO_SUBSCRIBE_REMOVE, "600000.SH;600001.SH;600002.SH"),
            ZAVO_SUCCESS);
  EXPECT_EQ(m.StateOf(1), State::kNone);
  EXPECT_FALSE(sh(m, "600003"));

  // all except {600000}: adding it back leaves all, not nothing
  EXPECT_EQ(m.UpdateSubscription(ZAVO_SUBSCRIBE_ALL, nullptr), ZAVO_SUCCESS);
  EXPECT_EQ(m.UpdateSubscription(ZAVO_SUBSCRIBE_REMOVE, "600000.SH"), ZAVO_SUCCESS);
  EXPECT_EQ(m.UpdateSubscription(ZAVO_SUBSCRIBE_ADD, "600000.SH"), ZAVO_SUCCESS);
  EXPECT_EQ(m.StateOf(1), State::kAll);
  EXPECT_TRUE(sh(m, "600000"));
  EXPECT_TRUE(sh(m, "601318"));
}

TEST(Subscription, CodesCompareOnFourteenCharacters) {
  SubscriptionManager m;
  EXPECT_EQ(m.UpdateSubscription(ZAVO_SUBSCRIBE_REPLACE, "ABCDEFGHIJKLMNOP.SZ"), ZAVO_SUCCESS);
  const char wire[16] = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H',
                         'I', 'J', 'K', 'L', 'M', 'N', 'Z', 'Z'};
  EXPECT_TRUE(m.IsMatchSysCode(2, wire, sizeof(wire)));
  EXPECT_TRUE(sz(m, "ABCDEFGHIJKLMN"));
  EXPECT_FALSE(sz(m, "ABCDEFGHIJKLM"));
  // a blank ends the code: a padded wire code finds its subscription
  EXPECT_EQ(m.UpdateSubscription(ZAVO_SUBSCRIBE_REPLACE, "600000.SH"), ZAVO_SUCCESS);
  const char padded[16] = {'6', '0', '0', '0', '0', '0', ' ', ' ',
                           ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
  EXPECT_TRUE(m.IsMatchSysCode(1, padded, sizeof(padded)));
}

TEST(Subscription, OtherExchangesFollowWholeMarketSubscriptions) {
  SubscriptionManager m;
  EXPECT_FALSE(m.IsMatchSysCode(3, "IF2106"));  // none, none
  EXPECT_EQ(m.UpdateSubscription(ZAVO_SUBSCRIBE_ALL, nullptr), ZAVO_SUCCESS);
  EXPECT_TRUE(m.IsMatchSysCode(3, "IF2106"));
  EXPECT_TRUE(m.IsMatchSysCode(0, "X"));
  EXPECT_TRUE(m.IsMatchSysCode(255, "X"));
  // all except on one exchange still takes a whole market
  EXPECT_EQ(m.UpdateSubscription(ZAVO_SUBSCRIBE_REMOVE, "600000.SH;000001.SZ"), ZAVO_SUCCESS);
  EXPECT_TRUE(m.IsMatchSysCode(3, "IF2106"));
  // code lists only: not delivered
  EXPECT_EQ(m.UpdateSubscription(ZAVO_SUBSCRIBE_REPLACE, "600000.SH;000001.SZ"), ZAVO_SUCCESS);
  EXPECT_FALSE(m.IsMatchSysCode(3, "IF2106"));
  // a market list with one exchange: delivered
  SubscriptionManager o;
  EXPECT_TRUE(o.SetMarketSubscription("SZ"));
  EXPECT_TRUE(o.IsMatchSysCode(3, "IF2106"));
  EXPECT_FALSE(o.IsMatchSysCode(1, "600000"));
}

TEST(Subscription, TwoManagersOnOneThreadDoNotShareFilters) {
  SubscriptionManager a, b;
  EXPECT_EQ(a.UpdateSubscription(ZAVO_SUBSCRIBE_ALL, nullptr), ZAVO_SUCCESS);
  EXPECT_EQ(b.UpdateSubscription(ZAVO_SUBSCRIBE_REPLACE, "600000.SH"), ZAVO_SUCCESS);
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(sh(a, "600001"));
    EXPECT_FALSE(sh(b, "600001"));
    EXPECT_TRUE(sh(b, "600000"));
  }
  // a manager created at the address of a destroyed one starts from none
  auto* p = new SubscriptionManager;
  EXPECT_EQ(p->UpdateSubscription(ZAVO_SUBSCRIBE_ALL, nullptr), ZAVO_SUCCESS);
  EXPECT_TRUE(sh(*p, "600001"));
  p->~SubscriptionManager();
  new (p) SubscriptionManager;
  EXPECT_FALSE(sh(*p, "600001"));
  delete p;
}

// One thread matches continuously while another keeps changing the filter of
// both exchanges at once. Every state published here treats 600000.SH and
// 000001.SZ alike, so a snapshot where they differ is a half-applied change.
TEST(Subscription, ConcurrentMatcherNeverSeesHalfAnUpdate) {
  SubscriptionManager m;
  ASSERT_EQ(m.UpdateSubscription(ZAVO_SUBSCRIBE_REPLACE, "600000.SH;000001.SZ"), ZAVO_SUCCESS);
  const SecurityCode k1 = SecurityCode::Make(1, "600000");
  const SecurityCode k2 = SecurityCode::Make(2, "000001");
  std::atomic<bool> stop{false};
  std::atomic<long> rounds{0};
  long torn = 0, delivered = 0, states_seen_mask = 0;
  std::thread matcher([&] {
    for (long i = 0; i < 50000000 && !stop.load(std::memory_order_acquire); ++i) {
      // the hot-path call, racing with the updates
      delivered += sh(m, "600000") + sz(m, "000001") + sh(m, "600001");
      const auto snap = m.Current();
      const bool x = SubscriptionManager::Matches(*snap, k1);
      const bool y = SubscriptionManager::Matches(*snap, k2);
      if (x != y) ++torn;
      states_seen_mask |= 1L << (x ? 1 : 0);
      rounds.fetch_add(1, std::memory_order_release);
    }
  });
  std::thread updater([&] {
    // let the matcher get going first (bounded wait)
    for (int spin = 0; spin < 2000000 && rounds.load(std::memory_order_acquire) == 0; ++spin) {
      std::this_thread::yield();
    }
    for (int i = 0; i < 3000; ++i) {
      switch (i % 3) {
        case 0:  // only both
          m.UpdateSubscription(ZAVO_SUBSCRIBE_REPLACE, "600000.SH;000001.SZ");
          break;
        case 1:  // all
          m.UpdateSubscription(ZAVO_SUBSCRIBE_ALL, nullptr);
          break;
        default:  // all except both
          m.UpdateSubscription(ZAVO_SUBSCRIBE_REMOVE, "600000.SH;000001.SZ");
          break;
      }
    }
    m.UpdateSubscription(ZAVO_SUBSCRIBE_REPLACE, "600000.SH;000001.SZ");
    stop.store(true, std::memory_order_release);
  });
  updater.join();
  matcher.join();
  EXPECT_EQ(torn, 0);
  EXPECT_GT(rounds.load(), 0);
  EXPECT_GE(delivered, 0);
  // the main thread's cache follows the last update
  EXPECT_TRUE(sh(m, "600000"));
  EXPECT_FALSE(sh(m, "600001"));
  (void)states_seen_mask;
}

}  // namespace
}  // namespace zavo
