#include "output.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <ctime>
#include <limits>
#include <string>
#include <vector>

#include "feedtap_test_util.h"

using feedgen::FeedMessage;
using feedtap_test::Decode;
using feedtap_test::Join;
namespace fg = feedgen;

namespace {

FeedMessage Trade(const std::string& code, int64_t price, int64_t volume, int64_t turnover) {
  using namespace fg::trade_rec;
  FeedMessage m(fg::kTickTrade, kSize);
  m.Text(kTradingDay, 8, "20240315").I32(kTradeIndex, 1001).I32(kTradeChannel, 6);
  m.Text(kSecurityID, 8, code).I32(kUpdateTime, 93000123).I32(kUpdateMsec, 456);
  m.I64(kPrice, price).I64(kTradeVolume, volume).I64(kTurnOver, turnover);
  m.I64(kTradeBuyNo, 880001).I64(kTradeSellNo, 990001).Text(kTradeBSFlag, 8, "B");
  m.I64(kBizIndex, 50000);
  return m;
}

FeedMessage Order() {
  using namespace fg::order_rec;
  FeedMessage m(fg::kTickOrder, kSize);
  m.Text(kTradingDay, 8, "20240315").I32(kOrderIndex, 2000).I32(kOrderChannel, 3);
  m.Text(kSecurityID, 8, "600519").I32(kUpdateTime, 145959990).I32(kUpdateMsec, 7);
  m.Text(kOrderType, 8, "LIMITORD");  // full width: no NUL before the next field
  m.I64(kOrderNo, 7770001239).I64(kOrderPrice, -123460).I64(kBalance, 3000);
  m.Text(kOrderBSFlag, 8, "S").I64(kBizIndex, 50001);
  return m;
}

const char kTradeText[] = "TD,600000,93000123,456,1001,1234500,5,617250,880001,990001,B,50000,T,";
const char kOrderText[] = "OD,600519,145959990,7,3,2000,-1234600,3000,777000123,LIMITORD,S,50001,";

TEST(FeedRecords, TradeAndOrderValues) {
  int n = 0;
  EXPECT_EQ(Decode(Trade("600000", 123450, 5000, 6172500).Bytes(), &n), kTradeText);
  EXPECT_EQ(n, 1);
  EXPECT_EQ(Decode(Order().Bytes(), &n), kOrderText);
  EXPECT_EQ(n, 1);
  // Divisions truncate toward zero, also for negative values; a code that
  // fills its field is written at full width and no further.
  EXPECT_EQ(Decode(Trade("60000012", -7, -1999, -15).Bytes()),
            "TD,60000012,93000123,456,1001,-70,-1,-1,880001,990001,B,50000,T,");
}

TEST(FeedRecords, IndexAndSecuritySnapshots) {
  {
    using namespace fg::index_rec;
    FeedMessage m(fg::kIndexSnap, kSize);
    m.I32(kUpdateTime, 150000000).I32(kUpdateMsec, 999).Text(kTradingDay, 8, "20240315");
    m.Text(kSecurityID, 8, "000001").I64(kPreClose, 1).I64(kOpen, 2).I64(kHigh, 3).I64(kLow, 4);
    m.I64(kLast, 305500000).I64(kTradeVolume, 12345678900).I64(kTurnOver, -987654321);
    m.I64(kClose, 5);
    // 3055000000 needs 64 bits: the index price is scaled in 64-bit arithmetic.
    EXPECT_EQ(Decode(m.Bytes()), "IX,000001,150000000,999,3055000000,12345678,-98765432,");
  }
  const uint16_t kinds[] = {fg::kStockSnap, fg::kBondSnap, fg::kFundSnap};
  for (uint16_t kind : kinds) {
    using namespace fg::snap_rec;
    FeedMessage m(kind, kSize);
    m.Text(kTradingDay, 8, "20240315").I32(kUpdateTime, 93001000).I32(kUpdateMsec, 12);
    m.Text(kSecurityID, 8, "600000").I32(kLast, 1000).I64(kTradeNumber, 4321);
    m.I64(kTradeVolume, 7654321).I64(kTurnOver, 76543210987);
    for (int level = 0; level < 20; ++level) {
      const size_t d = kDepth + static_cast<size_t>(level) * kDepthSize;
      m.I32(d + kDepthLevel, level).I32(d + kDepthPrice, 9000 + level);
      m.I64(d + kDepthVolume, 1000 * level + 999);
    }
    EXPECT_EQ(Decode(m.Bytes()),
              "SP,600000,93001000,12,10000,4321,7654,7654321098,90100,10,90000,0,")
        << "kind " << kind;
  }
  {
    // Security prices are 32-bit and their scaling wraps in 32 bits:
    // 300000000 * 10 = 3000000000 - 2^32 = -1294967296.
    using namespace fg::snap_rec;
    FeedMessage m(fg::kStockSnap, kSize);
    m.Text(kSecurityID, 8, "ABCDEFGH").I32(kPreClose, 0x41414141);
    m.I32(kLast, 300000000).I32(kDepth + 10 * kDepthSize + kDepthPrice, -214748365);
    EXPECT_EQ(Decode(m.Bytes()), "SP,ABCDEFGH,0,0,-1294967296,0,0,0,2147483646,0,0,0,");
  }
}

TEST(FeedRecords, OptionSnapshotDoubles) {
  using namespace fg::option_rec;
  FeedMessage m(fg::kOptionSnap, kSize);
  m.Text(kTradingDay, 8, "20240315").Text(kSecurityID, 16, "ABCDEFGHIJKLMNOP");
  m.I64(kTradeNumber, 321).I64(kTradeVolume, 4567).F64(kTurnOver, 98765.4);
  m.F64(kDepth + kDepthPrice, -0.35).I64(kDepth + kDepthVolume, 25999);
  m.F64(kDepth + kDepthSize + kDepthPrice, 1.26).I64(kDepth + kDepthSize + kDepthVolume, 1000);
  m.F64(kLast, 12.3456).I32(kUpdateTime, 113000000).I32(kUpdateMsec, 500);
  // 123.456 -> 123, 9876.54 -> 9876, -3.5 -> -3, 12.6 -> 12: truncation toward zero.
  EXPECT_EQ(Decode(m.Bytes()), "OP,ABCDEFGHIJKLMNOP,113000000,500,123,321,9876,-3,25,12,1,");

  // Prices out of the int range, or not numbers, are clamped rather than
  // converted with undefined results.
  m.F64(kLast, 1e300).F64(kTurnOver, -1e300).F64(kDepth + kDepthPrice, std::nan(""));
  m.F64(kDepth + kDepthSize + kDepthPrice, std::numeric_limits<double>::infinity());
  EXPECT_EQ(Decode(m.Bytes()),
            "OP,ABCDEFGHIJKLMNOP,113000000,500,2147483647,321,-2147483648,0,25,2147483647,1,");
}

TEST(FeedWalk, SeveralMessagesSkippedKindsAndShortBodies) {
  int n = 0;
  // Two messages in one payload run on back to back.
  EXPECT_EQ(Decode(Join({Trade("600000", 123450, 5000, 6172500), Order()}), &n),
            std::string(kTradeText) + kOrderText);
  EXPECT_EQ(n, 2);

  // Skipped and unknown kinds write nothing, but their lengths are respected.
  std::vector<FeedMessage> msgs;
  for (uint16_t kind : fg::kSkippedKinds) msgs.emplace_back(kind, fg::snap_rec::kSize);
  msgs.emplace_back(fg::kUnknownKind, 3);
  msgs.push_back(Order());
  testing::internal::CaptureStdout();
  EXPECT_EQ(Decode(Join(msgs), &n), kOrderText);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(n, 1);

  // A body too short for its record is skipped, not read past; the walk
  // goes on after it. A bare header (body length 0) is skipped the same way.
  FeedMessage shortTrade(fg::kTickTrade, 40);
  FeedMessage bare(fg::kTickOrder, 0);
  bare.BodyLen(0);
  std::vector<uint8_t> payload = Join({shortTrade});
  const std::vector<uint8_t> bareBytes(bare.Bytes().begin(), bare.Bytes().begin() + 12);
  payload.insert(payload.end(), bareBytes.begin(), bareBytes.end());
  const std::vector<uint8_t> tail = Order().Bytes();
  payload.insert(payload.end(), tail.begin(), tail.end());
  testing::internal::CaptureStdout();
  EXPECT_EQ(Decode(payload, &n), kOrderText);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(n, 1);
}

TEST(FeedWalk, TrailingBytesAreReportedAndTheWalkReturns) {
  int n = 0;
  std::vector<uint8_t> payload = Trade("600000", 123450, 5000, 6172500).Bytes();
  payload.insert(payload.end(), {1, 2, 3, 4, 5});
  testing::internal::CaptureStdout();
  EXPECT_EQ(Decode(payload, &n), kTradeText);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Warnning::5 Bytes not handled...\n");
  EXPECT_EQ(n, 1);

  // A message whose declared length runs past the payload ends the walk:
  // the whole messages before it are written, its bytes are reported.
  std::vector<uint8_t> cut = Join({Order(), Trade("600000", 123450, 5000, 6172500)});
  cut.resize(96 + 50);
  testing::internal::CaptureStdout();
  EXPECT_EQ(Decode(cut, &n), kOrderText);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Warnning::50 Bytes not handled...\n");
  EXPECT_EQ(n, 1);
}

TEST(FeedOutput, CallbackWritesOutOnFlushAndOptionalLineFeeds) {
  feedtap_test::TempDir dir;
  FILE* fp = std::fopen((dir / "out.txt").c_str(), "w");
  ASSERT_NE(fp, nullptr);
  HarboStoL2FpgaRcv::g_filePtr = fp;
  const unsigned long long before = HarboStoL2FpgaRcv::g_recordsWritten;
  const std::vector<uint8_t> two = Join({Trade("600000", 123450, 5000, 6172500), Order()});
  HarboStoL2FpgaRcv::CallBack_RcvNewData(two.data(), two.size());
  // Read through a second handle: a datagram's records wait in the stream
  // until the capture flushes, instead of costing a write each.
  EXPECT_EQ(feedtap_test::ReadFile(dir / "out.txt"), "");
  HarboStoL2FpgaRcv::CallBack_Flush();
  EXPECT_EQ(feedtap_test::ReadFile(dir / "out.txt"), std::string(kTradeText) + kOrderText);

  HarboStoL2FpgaRcv::g_recordNewline = true;
  HarboStoL2FpgaRcv::CallBack_RcvNewData(two.data(), two.size());
  HarboStoL2FpgaRcv::g_recordNewline = false;
  HarboStoL2FpgaRcv::CallBack_Flush();
  EXPECT_EQ(feedtap_test::ReadFile(dir / "out.txt"),
            std::string(kTradeText) + kOrderText + kTradeText + "\n" + kOrderText + "\n");
  EXPECT_EQ(HarboStoL2FpgaRcv::g_recordsWritten - before, 4u);
  HarboStoL2FpgaRcv::g_filePtr = nullptr;
  std::fclose(fp);
}

TEST(FeedOutput, FileNamedByStartMinute) {
  struct tm t = {};
  t.tm_year = 2021 - 1900;
  t.tm_mon = 4;
  t.tm_mday = 12;
  t.tm_hour = 9;
  t.tm_min = 30;
  EXPECT_EQ(HarboStoL2FpgaRcv::CsvOutFileName(t, "_cffex.txt"), "./data/202105120930_cffex.txt");

  feedtap_test::TempDir dir;
  char old[4096];
  ASSERT_NE(getcwd(old, sizeof(old)), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  const time_t before = time(nullptr);
  FILE* fp = nullptr;
  testing::internal::CaptureStdout();
  const bool ok = HarboStoL2FpgaRcv::InitCsvOutFile(fp, "_cffex.txt");
  const std::string said = testing::internal::GetCapturedStdout();
  const time_t after = time(nullptr);
  ASSERT_EQ(chdir(old), 0);
  ASSERT_TRUE(ok);
  std::fclose(fp);
  struct stat st;
  ASSERT_EQ(stat((dir / "data").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  bool found = false;
  for (time_t at : {before, after}) {
    struct tm local;
    localtime_r(&at, &local);
    const std::string name = HarboStoL2FpgaRcv::CsvOutFileName(local, "_cffex.txt");
    if (access((dir.path() + "/" + name.substr(2)).c_str(), F_OK) == 0) {
      found = true;
      EXPECT_EQ(said, "create file: " + name + ".\n");
    }
  }
  EXPECT_TRUE(found) << said;

  // A restart within the minute appends: the earlier records stay. The
  // files of this minute and the next hold them, whichever is opened.
  const time_t now = time(nullptr);
  for (time_t at : {now, now + 60}) {
    struct tm local;
    localtime_r(&at, &local);
    feedtap_test::WriteFile(
        dir.path() + "/" + HarboStoL2FpgaRcv::CsvOutFileName(local, "_cffex.txt").substr(2),
        "earlier,");
  }
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  testing::internal::CaptureStdout();
  const bool reopened = HarboStoL2FpgaRcv::InitCsvOutFile(fp, "_cffex.txt");
  const std::string said1 = testing::internal::GetCapturedStdout();
  ASSERT_EQ(chdir(old), 0);
  ASSERT_TRUE(reopened);
  std::fputs("later,", fp);
  std::fclose(fp);
  const size_t at = said1.find("./data/");
  ASSERT_NE(at, std::string::npos) << said1;
  const std::string reopenedName = said1.substr(at + 2, said1.find(".\n", at) - at - 2);
  EXPECT_EQ(feedtap_test::ReadFile(dir / reopenedName), "earlier,later,") << said1;

  // A directory that cannot be created: the failure is reported, not hidden.
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  ASSERT_EQ(system("rm -rf data && touch data"), 0);
  testing::internal::CaptureStderr();
  const bool failed = !HarboStoL2FpgaRcv::InitCsvOutFile(fp, "_cffex.txt");
  const std::string said2 = testing::internal::GetCapturedStderr();
  ASSERT_EQ(chdir(old), 0);
  EXPECT_TRUE(failed);
  EXPECT_NE(said2.find("failed!! ("), std::string::npos) << said2;
}

}  // namespace
