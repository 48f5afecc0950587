// What zavo_tail checks before and around a live session: the rules of its
// list and number options, the one spelling of a group, and the watch that
// speaks up about silence and about a --book code that cannot be shown.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "cli_support.h"
#include "options.h"
#include "session_watch.h"

namespace zavo_tail {
namespace {

// Parses as zavo_tail does; the status of ParseOptions, and stderr's text.
int Parse(std::vector<const char*> args, Options* o, std::string* err = nullptr) {
  args.insert(args.begin(), "zavo_tail");
  testing::internal::CaptureStderr();
  const int rc = ParseOptions(static_cast<int>(args.size()), const_cast<char**>(args.data()), o);
  const std::string text = testing::internal::GetCapturedStderr();
  if (err != nullptr) *err = text;
  return rc;
}

TEST(Options, MarketAndCodeListsFollowTheSessionsRules) {
  Options ok;
  ASSERT_EQ(Parse({"--markets", "sh;SZ", "--codes", ";600001.SH;;000001.sz;"}, &ok), 0);
  EXPECT_EQ(ok.markets, "sh;SZ");
  EXPECT_EQ(ok.codes, ";600001.SH;;000001.sz;");
  Options empty;
  ASSERT_EQ(Parse({"--markets", "", "--codes", ""}, &empty), 0);

  const std::string codes_rule =
      "; the list is CODE.SH or CODE.SZ items separated by ';', e.g. \"600001.SH;000001.SZ\"\n";
  const std::string markets_rule = "; the list is SH and/or SZ separated by ';', e.g. \"SH;SZ\"\n";
  const std::vector<std::pair<std::vector<const char*>, std::string>> bad = {
      {{"--codes", "600001"}, "--codes: '600001' has no market" + codes_rule},
      {{"--codes", "600001.SH,000001.SZ"},
       "--codes: '600001.SH,000001.SZ' holds a ','" + codes_rule},
      {{"--codes", "600001.SH;.SZ"}, "--codes: '.SZ' has no code" + codes_rule},
      {{"--codes", "600001.HK"}, "--codes: 'HK' in '600001.HK' is not a market" + codes_rule},
      {{"--codes", ";;"}, "--codes: ';;' names no code" + codes_rule},
      {{"--markets", "HK"}, "--markets: 'HK' is not a market" + markets_rule},
      {{"--markets", "SH,SZ"}, "--markets: 'SH,SZ' is not a market" + markets_rule},
      {{"--markets", ";"}, "--markets: ';' names no market" + markets_rule},
      {{"--raw", "--markets", "HK"}, "--markets: 'HK' is not a market" + markets_rule},
  };
  for (const auto& c : bad) {
    Options o;
    std::string err;
    EXPECT_EQ(Parse(c.first, &o, &err), -1) << c.second;
    EXPECT_EQ(err, "zavo_tail: " + c.second + "(see zavo_tail --help)\n");
  }
}

TEST(Options, DurationsAreSecondsWithAShortRule) {
  Options o;
  ASSERT_EQ(Parse({"--duration", "2.5"}, &o), 0);
  EXPECT_DOUBLE_EQ(o.duration_s, 2.5);
  ASSERT_EQ(Parse({"--duration", "31536000"}, &o), 0);
  for (const char* text : {"-1", "abc", "1e3", "inf", "nan", "+3", "", ".", "31536001", "1.2.3"}) {
    Options b;
    std::string err;
    EXPECT_EQ(Parse({"--duration", text}, &b, &err), -1) << text;
    EXPECT_EQ(err, std::string("zavo_tail: --duration: '") + text +
                       "' is not a number of seconds from 0 to 31536000\n(see zavo_tail --help)\n");
  }
}

TEST(GroupRule, ABareGroupTakesTheFeedsDefaultPort) {
  zavo::cli::Endpoint e{"1.1.1.1", 99};
  ASSERT_EQ(zavo::cli::ParseGroup("239.1.2.3", &e), "");
  EXPECT_EQ(e.ToString(), "239.1.2.3:0");
  zavo::cli::ApplyFeedPort(&e, true);
  EXPECT_EQ(e.ToString(), "239.1.2.3:6602");
  ASSERT_EQ(zavo::cli::ParseGroup("239.1.2.3:7000", &e), "");
  zavo::cli::ApplyFeedPort(&e, false);
  EXPECT_EQ(e.ToString(), "239.1.2.3:7000");
  EXPECT_EQ(zavo::cli::ParseGroup("239.1.2.3:", &e), "'' is not a port (1 to 65535)");
  EXPECT_EQ(zavo::cli::ParseGroup("239.1.2.3:0", &e), "'0' is not a port (1 to 65535)");
  EXPECT_EQ(zavo::cli::ParseGroup("10.1.2.3", &e),
            "'10.1.2.3' is not a multicast group (224.0.0.0 to 239.255.255.255)");
  EXPECT_EQ(e.ToString(), "239.1.2.3:7000");  // a refused text leaves the target as it was

  Options s, r;
  ASSERT_EQ(Parse({"--group", "239.9.9.9"}, &s), 0);
  EXPECT_EQ(s.group.ToString(), "239.9.9.9:6601");
  ASSERT_EQ(Parse({"--raw", "--group", "239.9.9.9"}, &r), 0);
  EXPECT_EQ(r.group.ToString(), "239.9.9.9:6602");
}

using Clock = SessionWatch::Clock;

ZAVO_MSG Msg(uint32_t type, const void* data) {
  return ZAVO_MSG{type, 0, 0, 1, 1, data};
}

TEST(SessionWatch, SaysOnceWhenTheFeedIsSilentAndWhenItComesBack) {
  Options o;
  ASSERT_EQ(Parse({"--group", "239.9.9.9", "--interface", "127.0.0.1"}, &o), 0);
  const Clock::time_point t0 = Clock::now();
  auto at = [t0](double s) {
    return t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
  };
  SessionWatch w(o, t0);
  EXPECT_EQ(w.Tick(at(4.9)), "");
  EXPECT_EQ(w.Tick(at(5.0)),
            "zavo_tail: no data for 5 s from group 239.9.9.9:6601 on interface 127.0.0.1 "
            "(check --group and --interface)");
  EXPECT_EQ(w.Tick(at(9.0)), "");  // once per quiet spell
  EXPECT_EQ(w.SummaryLine(at(9.0)),
            "no data received from group 239.9.9.9:6601 on interface 127.0.0.1 in 9 s");

  ZAVO_SecuritySnapShot snap;
  std::memset(&snap, 0, sizeof(snap));
  const ZAVO_MSG m = Msg(ZAVO_MSG_SECURITY_SNAPSHOT, &snap);
  w.OnData(&m);
  EXPECT_EQ(w.Tick(at(12.0)),
            "zavo_tail: data again from group 239.9.9.9:6601 on interface 127.0.0.1 after 12 s "
            "without");
  EXPECT_EQ(w.SummaryLine(at(13.0)), "");
  w.OnData(&m);
  EXPECT_EQ(w.Tick(at(14.0)), "");
  EXPECT_EQ(w.Tick(at(19.5)).rfind("zavo_tail: no data for 6 s from group", 0), 0u);
  EXPECT_EQ(w.SummaryLine(at(20.0)),
            "no data in the last 6 s from group 239.9.9.9:6601 on interface 127.0.0.1");

  // A filter may be why nothing comes: the note says so.
  Options f;
  ASSERT_EQ(Parse({"--codes", "999999.SZ"}, &f), 0);
  SessionWatch fw(f, t0);
  EXPECT_EQ(fw.Tick(at(6.0)),
            "zavo_tail: no data for 6 s from group 239.255.6.1:6601 on interface 127.0.0.1 "
            "(check --group and --interface; --markets and --codes may match nothing)");
}

TEST(SessionWatch, BookCodeMustBeAStockOfTheCodeTable) {
  ZAVO_CODEINFO table[2];
  std::memset(table, 0, sizeof(table));
  std::strcpy(table[0].Code, "000149");
  table[0].ExchangeID = '2';
  std::strcpy(table[1].Code, "000001");
  table[1].ExchangeID = '2';
  const Clock::time_point t0 = Clock::now();

  Options known, unknown, word;
  ASSERT_EQ(Parse({"--book", "000149.sz"}, &known), 0);
  ASSERT_EQ(Parse({"--book", "999999.SZ"}, &unknown), 0);
  ASSERT_EQ(Parse({"--book", "foo"}, &word), 0);
  EXPECT_EQ(SessionWatch(known, t0).CheckBookCode(table, 2), "");
  EXPECT_EQ(SessionWatch(unknown, t0).CheckBookCode(table, 2),
            "--book 999999.SZ: the SZ code table has no such code");
  EXPECT_EQ(SessionWatch(word, t0).CheckBookCode(table, 2),
            "--book foo.SZ: the SZ code table has no such code");
  EXPECT_EQ(SessionWatch(known, t0).CheckBookCode(nullptr, 0),
            "--book 000149.SZ: the SZ code table has no such code");

  // The code table also lists indices: their snapshots tell them apart.
  Options index;
  ASSERT_EQ(Parse({"--book", "000001.SH"}, &index), 0);
  SessionWatch w(index, t0);
  ZAVO_IndexSnapShot ix;
  std::memset(&ix, 0, sizeof(ix));
  std::strcpy(ix.Code, "000001");
  ix.ExchangeID = '2';  // the Shenzhen stock of the same number is another code
  ZAVO_MSG m = Msg(ZAVO_MSG_INDEX_SNAPSHOT, &ix);
  w.OnData(&m);
  EXPECT_EQ(w.BookKindError(), "");
  ix.ExchangeID = '1';
  w.OnData(&m);
  EXPECT_EQ(w.BookKindError(), "--book 000001.SH is an index: only a stock has an order book");
  ZAVO_FutureSnapShot fut;
  std::memset(&fut, 0, sizeof(fut));
  std::strcpy(fut.Code, "IF2412");
  fut.ExchangeID = '1';
  Options future;
  ASSERT_EQ(Parse({"--book", "IF2412.SH"}, &future), 0);
  SessionWatch fw(future, t0);
  const ZAVO_MSG fm = Msg(ZAVO_MSG_FUTURE_SNAPSHOT, &fut);
  fw.OnData(&fm);
  EXPECT_EQ(fw.BookKindError(), "--book IF2412.SH is a future: only a stock has an order book");
}

}  // namespace
}  // namespace zavo_tail
