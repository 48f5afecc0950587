// A security is named by one key everywhere a code is looked up: the
// subscription filter, the snapshot cache, the code tables and the books.
// A code keys on at most 14 characters, stopping at a blank, so 15- and
// 16-character wire codes sharing their first 14 and blank-padded ones
// must land on the same security in all four, and two codes that differ
// in their 14th character must stay apart in all four.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "api/code_info_db.h"
#include "api/snapshot_db.h"
#include "api/subscription_manager.h"
#include "book_feed.h"
#include "util/security_code.h"
#include "zavo_book.h"

namespace zavo {
namespace test {
namespace {

// 16 wire bytes from a text, zero-filled after it (a full 16 keeps all).
struct Wire16 {
  explicit Wire16(const char* text) {
    std::memset(b, 0, sizeof b);
    std::memcpy(b, text, std::min<size_t>(std::strlen(text), 16));
  }
  char b[16];
};

constexpr const char* k15 = "ABCDEFGHIJKLMNO";       // fills the public Code
constexpr const char* k16 = "ABCDEFGHIJKLMNOP";      // its public form is k15
constexpr const char* kOther15 = "ABCDEFGHIJKLMXO";  // differs in character 14
constexpr const char* kPadded = "600000          ";  // blank padding to 16
constexpr const char* kPlain = "600000";

TEST(SecurityKey, OneRuleForLongAndPaddedCodes) {
  const SecurityCode a = SecurityCode::Make(1, k15);
  EXPECT_EQ(a, SecurityCode::Make(1, k16));
  EXPECT_EQ(a, SecurityCode::Make(1, Wire16(k16).b, 16));
  EXPECT_EQ(a, KeyOfCode16(1, Wire16(k16).b));
  EXPECT_NE(a, SecurityCode::Make(1, kOther15));
  EXPECT_NE(a, KeyOfCode16(1, Wire16(kOther15).b));
  EXPECT_EQ(std::string(a.code, 14), "ABCDEFGHIJKLMN");
  EXPECT_EQ(a.code[14], '\0');

  const SecurityCode p = SecurityCode::Make(2, kPlain);
  EXPECT_EQ(p, SecurityCode::Make(2, kPadded));
  EXPECT_EQ(p, KeyOfCode16(2, Wire16(kPadded).b));
  // Everything after the code is zero, whatever the source held there.
  unsigned char raw[16];
  std::memcpy(raw, &p, 16);
  EXPECT_EQ(raw[0], 2);
  for (int i = 7; i < 16; ++i) EXPECT_EQ(raw[i], 0) << i;

  // Equal keys hash alike; the hash spreads codes that differ in their
  // last digit over the low bits a power-of-two table uses.
  EXPECT_EQ(CodeHash()(a), CodeHash()(SecurityCode::Make(1, k16)));
  std::set<size_t> slots;
  for (int i = 0; i < 1024; ++i) {
    char code[16] = {};
    std::snprintf(code, sizeof code, "60%04d", i);
    slots.insert(SlotHash(SecurityCode::Make(1, code)) & 1023);
  }
  // A random spread fills about 647 of the 1024 slots.
  EXPECT_GT(slots.size(), 560u);
}

TEST(SecurityKey, SubscriptionDeliversLongAndPaddedCodes) {
  SubscriptionManager m;
  ASSERT_TRUE(m.SetMarketSubscription("SH;SZ"));
  ASSERT_EQ(m.UpdateSubscription(ZAVO_SUBSCRIBE_REPLACE, "ABCDEFGHIJKLMNO.SH;600000.SZ"),
            ZAVO_SUCCESS);
  // The wire code of 16 characters and the public one of 15 both match:
  // they share their first 14.
  EXPECT_TRUE(m.IsMatchSysCode(1, Wire16(k16).b, 16));
  EXPECT_TRUE(m.IsMatchSysCode(1, k15));
  EXPECT_FALSE(m.IsMatchSysCode(1, Wire16(kOther15).b, 16));
  EXPECT_FALSE(m.IsMatchSysCode(1, kOther15));
  EXPECT_TRUE(m.IsMatchSysCode(2, Wire16(kPadded).b, 16));
  EXPECT_TRUE(m.IsMatchSysCode(2, kPlain));
  EXPECT_FALSE(m.IsMatchSysCode(2, Wire16("600001").b, 16));
}

TEST(SecurityKey, SnapshotCacheKeepsOneRecordPerSecurity) {
  SnapShotDB db;
  const auto put = [&](const char* code, char exchange, int64_t price) {
    ZAVO_SecuritySnapShot r{};
    std::memcpy(r.Code, code, std::min<size_t>(std::strlen(code), 15));
    r.ExchangeID = exchange;
    r.MatchPx = price;
    db.Update(r);
  };
  put(k15, '1', 1);
  put(kOther15, '1', 2);
  put(k15, '1', 3);
  put(kPlain, '2', 4);
  put(kPadded, '2', 5);

  ZAVO_SecuritySnapShot* data = nullptr;
  int count = 0;
  ASSERT_EQ(db.GetLastMarketData("SH", &data, &count), ZAVO_SUCCESS);
  ASSERT_EQ(count, 2);
  int64_t sum = 0;
  for (int i = 0; i < count; ++i) sum += data[i].MatchPx;
  EXPECT_EQ(sum, 3 + 2);  // the later record of k15 and the other code
  std::free(data);

  ASSERT_EQ(db.GetLastMarketData("SZ", &data, &count), ZAVO_SUCCESS);
  ASSERT_EQ(count, 1);
  EXPECT_EQ(data[0].MatchPx, 5);
  std::free(data);
}

TEST(SecurityKey, CodeTableFindsLongAndPaddedCodes) {
  CodeInfoDB db;
  const auto put = [&](const char* code, int value) {
    OptionBaseInfoField f;
    f.Code.SetRaw(Wire16(code).b);
    f.ExchangeID = 1;
    f.Value = value;
    db.OnOptionBaseInfo(f, nullptr);
  };
  put(k16, 1);
  put("10003001        ", 2);

  ZAVO_OPTION_CODEINFO info{};
  ASSERT_EQ(db.GetOptionCodeInfo("ABCDEFGHIJKLMNO.SH", &info), ZAVO_SUCCESS);
  EXPECT_EQ(std::string(info.Code), k15);
  EXPECT_EQ(db.GetOptionCodeInfo("ABCDEFGHIJKLMXO.SH", &info), ZAVO_ERR_INVALID);
  ASSERT_EQ(db.GetOptionCodeInfo("10003001.SH", &info), ZAVO_SUCCESS);
  EXPECT_EQ(info.Value, 2);
}

int count_books(void* arg, const char*, char) {
  ++*static_cast<int*>(arg);
  return 0;
}

TEST(SecurityKey, BookKeepsOneBookPerSecurity) {
  std::unique_ptr<zavo_book, void (*)(zavo_book*)> book(zavo_book_new(0), zavo_book_free);
  BookFeed f(book.get());
  // A record's Code may arrive blank-padded or filling all 16 bytes.
  uint64_t seq = 0;
  const auto bid = [&](const char* code, int64_t price) {
    ZAVO_OrderDetail r{};
    std::memcpy(r.Code, code, std::min<size_t>(std::strlen(code), 16));
    r.ExchangeID = '2';
    r.OrderSequence = static_cast<int64_t>(++seq);
    r.OrderPrice = price;
    r.OrderQty = 100;
    r.OrderSide = 'B';
    r.OrderType = '2';
    return f.Send(ZAVO_MSG_ORDER_DETAIL, &r, sizeof r, seq);
  };
  ASSERT_EQ(bid(kPlain, 1000), ZAVO_BOOK_APPLIED);
  ASSERT_EQ(bid(kPadded, 1010), ZAVO_BOOK_APPLIED);
  ASSERT_EQ(bid(k15, 2000), ZAVO_BOOK_APPLIED);
  ASSERT_EQ(bid(k16, 2010), ZAVO_BOOK_APPLIED);
  ASSERT_EQ(bid(kOther15, 3000), ZAVO_BOOK_APPLIED);

  int books = 0;
  EXPECT_EQ(zavo_book_each(book.get(), &count_books, &books), 3);
  EXPECT_EQ(books, 3);
  zavo_book_level lv[3];
  ASSERT_EQ(zavo_book_levels(book.get(), kPlain, '2', ZAVO_BOOK_BID, lv, 3), 2);
  EXPECT_EQ(lv[0].price, 1010);
  EXPECT_EQ(lv[1].price, 1000);
  ASSERT_EQ(zavo_book_levels(book.get(), k15, '2', ZAVO_BOOK_BID, lv, 3), 2);
  EXPECT_EQ(lv[0].price, 2010);
  EXPECT_EQ(lv[1].price, 2000);
  ASSERT_EQ(zavo_book_levels(book.get(), kOther15, '2', ZAVO_BOOK_BID, lv, 3), 1);
  EXPECT_EQ(lv[0].price, 3000);
  // The caller's text with its padding, or a 16-character one, names the
  // same book.
  EXPECT_EQ(zavo_book_levels(book.get(), "600000  ", '2', ZAVO_BOOK_BID, lv, 3), 2);
  EXPECT_EQ(zavo_book_levels(book.get(), k16, '2', ZAVO_BOOK_BID, lv, 3), 2);
}

}  // namespace
}  // namespace test
}  // namespace zavo
