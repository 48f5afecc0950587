#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "feed_stats.h"
#include "options.h"
#include "record_format.h"

namespace zavo_tail {
namespace {

TEST(FeedStats, CountsKindsAndGapsPerStream) {
  FeedStats s;
  EXPECT_EQ(s.OnRecord(ZAVO_MSG_SECURITY_SNAPSHOT, 10, 0), 0u);
  EXPECT_EQ(s.OnRecord(ZAVO_MSG_TRADE_DETAIL, 11, 0), 0u);
  EXPECT_EQ(s.OnRecord(ZAVO_MSG_ORDER_DETAIL, 15, 0), 3u);  // 12, 13, 14 missing
  EXPECT_EQ(s.OnRecord(ZAVO_MSG_ORDER_DETAIL, 14, 0), 0u);  // late arrival, not a gap
  // Raw streams keep their own sequence per exchange.
  EXPECT_EQ(s.OnRecord(ZAVO_MSG_RAW_DATA, 1, 1), 0u);
  EXPECT_EQ(s.OnRecord(ZAVO_MSG_RAW_DATA, 1, 2), 0u);
  EXPECT_EQ(s.OnRecord(ZAVO_MSG_RAW_DATA, 2, 2), 0u);
  EXPECT_EQ(s.OnRecord(ZAVO_MSG_RAW_DATA, 4, 1), 2u);
  EXPECT_EQ(s.OnRecord(ZAVO_MSG_CONNECT, 0, 0), 0u);  // system kinds are not counted

  EXPECT_EQ(s.Count(FeedStats::SlotOf(ZAVO_MSG_SECURITY_SNAPSHOT)), 1u);
  EXPECT_EQ(s.Count(FeedStats::SlotOf(ZAVO_MSG_ORDER_DETAIL)), 2u);
  EXPECT_EQ(s.Count(FeedStats::SlotOf(ZAVO_MSG_RAW_DATA)), 4u);
  EXPECT_EQ(s.Total(), 8u);
  EXPECT_EQ(s.Gaps(), 2u);
  EXPECT_EQ(s.Missing(), 5u);
  EXPECT_EQ(s.Backwards(), 1u);
  EXPECT_NE(s.Summary().find("gaps: 2"), std::string::npos);
  std::string status = s.StatusLine(2.0);
  EXPECT_NE(status.find("raw=2/s"), std::string::npos) << status;
  EXPECT_NE(status.find("total=4/s"), std::string::npos) << status;
  // A second status line covers only what arrived since the first.
  EXPECT_NE(s.StatusLine(1.0).find("total=0/s"), std::string::npos);
}

TEST(RecordFormat, SecuritySnapshotInEveryFormat) {
  ZAVO_SecuritySnapShot r;
  std::memset(&r, 0, sizeof(r));
  std::strcpy(r.Code, "600000");
  r.ExchangeID = '1';
  r.MatchPx = 105000;
  r.BidPrice[0] = 104900;
  r.AskPrice[0] = 105100;
  ZAVO_MSG m{ZAVO_MSG_SECURITY_SNAPSHOT, sizeof(r), 93005120, 7, 42, &r};
  std::string line;
  ASSERT_TRUE(FormatRecord(m, OutputFormat::kText, &line));
  EXPECT_EQ(
      line.rfind("kind=security seq=42 time=09:30:05.120 code=600000.SH status=0 last=105000", 0),
      0u)
      << line;
  ASSERT_TRUE(FormatRecord(m, OutputFormat::kCsv, &line));
  EXPECT_EQ(line.rfind("security,42,09:30:05.120,600000.SH,0,105000", 0), 0u) << line;
  ASSERT_TRUE(FormatRecord(m, OutputFormat::kJson, &line));
  EXPECT_EQ(
      line.rfind(
          "{\"kind\":\"security\",\"seq\":42,\"time\":\"09:30:05.120\",\"code\":\"600000.SH\"", 0),
      0u)
      << line;
  EXPECT_EQ(line.back(), '}');
}

TEST(RecordFormat, RawHeadSystemMessagesAndJsonEscaping) {
  const unsigned char payload[] = {0xde, 0xad, 0xbe, 0xef, 0x01};
  ZAVO_RawDataRef ref{'2', sizeof(payload), payload};
  ZAVO_MSG m{ZAVO_MSG_RAW_DATA, 16, 0, 1, 9, &ref};
  std::string line;
  ASSERT_TRUE(FormatRecord(m, OutputFormat::kText, &line));
  EXPECT_EQ(line, "kind=raw seq=9 time=00:00:00.000 exchange=SZ length=5 head=deadbeef01");

  ZAVO_LoginResult login;
  std::memset(&login, 0, sizeof(login));
  std::strcpy(login.ErrorMsg, "bad \"user\"");
  login.ErrorID = 1003;
  ZAVO_MSG lm{ZAVO_MSG_LOGIN, 214, 0, 1, 0, &login};
  ASSERT_TRUE(FormatSystem(lm, OutputFormat::kJson, &line));
  EXPECT_NE(line.find("\"message\":\"bad \\\"user\\\"\""), std::string::npos) << line;

  ZAVO_MSG unknown{77, 0, 0, 1, 0, nullptr};
  EXPECT_FALSE(FormatRecord(unknown, OutputFormat::kText, &line));
  EXPECT_FALSE(FormatSystem(unknown, OutputFormat::kText, &line));
}

TEST(Options, ParsesAndRejects) {
  Options o;
  const char* ok[] = {"zavo_tail", "--server",    "127.0.0.1:9900", "--group", "239.1.2.3:5000",
                      "--flags",   "trade,queue", "--rebuild",      "5:10",    "--format",
                      "csv"};
  ASSERT_EQ(ParseOptions(11, const_cast<char**>(ok), &o), 0);
  EXPECT_EQ(o.server.port, 9900);
  EXPECT_EQ(o.group.ip, "239.1.2.3");
  EXPECT_EQ(o.group.port, 5000);
  EXPECT_EQ(o.flags, 2u | 8u);
  EXPECT_TRUE(o.rebuild);
  EXPECT_EQ(o.rebuild_begin, 5u);
  EXPECT_EQ(o.rebuild_end, 10u);
  EXPECT_EQ(o.format, OutputFormat::kCsv);

  Options bad;
  const char* empty_range[] = {"zavo_tail", "--rebuild", "10:10"};
  EXPECT_EQ(ParseOptions(3, const_cast<char**>(empty_range), &bad), -1);
  const char* bad_port[] = {"zavo_tail", "--server", "127.0.0.1:70000"};
  EXPECT_EQ(ParseOptions(3, const_cast<char**>(bad_port), &bad), -1);
  const char* missing[] = {"zavo_tail", "--user"};
  EXPECT_EQ(ParseOptions(2, const_cast<char**>(missing), &bad), -1);
  const char* unknown[] = {"zavo_tail", "--frobnicate"};
  EXPECT_EQ(ParseOptions(2, const_cast<char**>(unknown), &bad), -1);

  // Without --group the feed's port follows the mode, as the simulator
  // publishes; a bare group address keeps that port too.
  Options plain, raw, bare;
  const char* none[] = {"zavo_tail"};
  ASSERT_EQ(ParseOptions(1, const_cast<char**>(none), &plain), 0);
  EXPECT_EQ(plain.server.ToString(), "127.0.0.1:6600");
  EXPECT_EQ(plain.group.ToString(), "239.255.6.1:6601");
  const char* raw_args[] = {"zavo_tail", "--raw"};
  ASSERT_EQ(ParseOptions(2, const_cast<char**>(raw_args), &raw), 0);
  EXPECT_EQ(raw.group.ToString(), "239.255.6.1:6602");
  const char* bare_args[] = {"zavo_tail", "--raw", "--group", "239.9.9.9"};
  ASSERT_EQ(ParseOptions(4, const_cast<char**>(bare_args), &bare), 0);
  EXPECT_EQ(bare.group.ToString(), "239.9.9.9:6602");
}

TEST(Options, BookOptionsStructModeOnly) {
  auto parse = [](std::vector<const char*> args, Options* o) {
    args.insert(args.begin(), "zavo_tail");
    return ParseOptions(static_cast<int>(args.size()), const_cast<char**>(args.data()), o);
  };
  Options o;
  ASSERT_EQ(parse({"--book", "600000.sh", "--book-check"}, &o), 0);
  EXPECT_EQ(o.book_code, "600000");
  EXPECT_EQ(o.book_exchange, '1');
  EXPECT_TRUE(o.book_check);
  Options sz;
  ASSERT_EQ(parse({"--book=000001", "--format", "json"}, &sz), 0);
  EXPECT_EQ(sz.book_code, "000001");
  EXPECT_EQ(sz.book_exchange, '2');
  EXPECT_FALSE(sz.book_check);
  Options bare;
  ASSERT_EQ(parse({"--book", "900901"}, &bare), 0);
  EXPECT_EQ(bare.book_exchange, '1');

  const std::vector<std::vector<const char*>> bad = {{"--book"},
                                                     {"--book", ".SH"},
                                                     {"--book", "600000.HK"},
                                                     {"--book", "1234567890123456"},
                                                     {"--book", "600000", "--raw"},
                                                     {"--raw", "--book-check"},
                                                     {"--book", "600000", "--format", "csv"}};
  for (const auto& args : bad) {
    Options b;
    EXPECT_EQ(parse(args, &b), -1) << args[0] << " " << (args.size() > 1 ? args[1] : "");
  }
}

TEST(Options, FilteredSessionsExpectHoles) {
  auto filtered = [](std::vector<const char*> args) {
    args.insert(args.begin(), "zavo_tail");
    Options o;
    EXPECT_EQ(ParseOptions(static_cast<int>(args.size()), const_cast<char**>(args.data()), &o), 0);
    return o.Filtered();
  };
  EXPECT_FALSE(filtered({}));
  EXPECT_FALSE(filtered({"--markets", "SZ;SH"}));
  EXPECT_FALSE(filtered({"--markets", ";SH;;SZ;"}));
  EXPECT_FALSE(filtered({"--flags", "trade,order,queue"}));
  EXPECT_TRUE(filtered({"--markets", "SZ"}));
  EXPECT_TRUE(filtered({"--flags", "none"}));
  EXPECT_TRUE(filtered({"--flags", "trade"}));
  EXPECT_TRUE(filtered({"--codes", "600001.SH"}));
  // Raw mode numbers each exchange on its own: a market choice leaves no hole.
  EXPECT_FALSE(filtered({"--raw", "--markets", "SZ"}));
}

TEST(RecordFormat, CsvHeaderNamesEveryColumn) {
  ZAVO_TradeDetail r;
  std::memset(&r, 0, sizeof(r));
  std::strcpy(r.Code, "000001");
  r.ExchangeID = '2';
  ZAVO_MSG m{ZAVO_MSG_TRADE_DETAIL, sizeof(r), 93005120, 7, 42, &r};
  std::string header, line;
  ASSERT_TRUE(FormatRecord(m, OutputFormat::kCsvHeader, &header));
  ASSERT_TRUE(FormatRecord(m, OutputFormat::kCsv, &line));
  EXPECT_EQ(header.rfind("kind,seq,time,code,", 0), 0u) << header;
  EXPECT_EQ(std::count(header.begin(), header.end(), ','),
            std::count(line.begin(), line.end(), ','))
      << header << "\n"
      << line;
}

}  // namespace
}  // namespace zavo_tail
