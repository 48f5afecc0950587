// A raw session against the simulator: its synthetic messages of varied
// lengths arrive whole, its fragment faults behave as they should, and a
// replay returns exactly the bytes the feed delivered.
#include <gtest/gtest.h>

#include <map>

#include "raw_test_support.h"
#include "sim_server.h"

namespace zavo {
namespace rawtest {
namespace {

TEST(RawSim, FeedFaultsAndReplayMatchTheFeed) {
  LogCatcher::Get().Clear();
  rec().Reset();
  sim::SimConfig cfg;
  cfg.listen_port = 0;
  cfg.group = "239.255.88.3";
  cfg.raw_port = 16721;
  cfg.feed_mode = sim::FeedMode::kRaw;
  cfg.rate = 0;
  cfg.raw_rate = 0;
  cfg.heartbeat_ms = 60000;
  sim::SimServer server(cfg);
  std::string why;
  ASSERT_EQ(server.Start(&why), 0) << why;

  ZAVO_RawOpenSetting st = raw_settings(server.ListenPort(), "SH;SZ", 16721, "239.255.88.3");
  ZAVO_ERROR err = ZAVO_ERR_BUSY;
  ZAVO_HANDLE h = ZAVO_OpenRaw(&st, &err);
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(err, ZAVO_SUCCESS);

  server.PublishRawNow(1, 30);
  server.PublishRawNow(2, 30);
  ASSERT_TRUE(rec().WaitData(60));
  std::map<char, std::vector<RawMsg>> by_exchange;
  for (const RawMsg& m : rec().data()) by_exchange[m.exchange].push_back(m);
  size_t multi_fragment = 0;
  for (char ex : {'1', '2'}) {
    const std::vector<RawMsg>& v = by_exchange[ex];
    ASSERT_EQ(v.size(), 30u) << ex;
    for (size_t i = 0; i < v.size(); ++i) {
      EXPECT_EQ(v[i].seq, i + 1) << ex;
      EXPECT_GE(v[i].bytes.size(), cfg.raw_min_len);
      EXPECT_LE(v[i].bytes.size(), cfg.raw_max_len);
      multi_fragment += v[i].bytes.size() + 20 > cfg.max_datagram;
    }
  }
  EXPECT_GT(multi_fragment, 0u);

  // Repeated fragments cost nothing; a lost or reordered fragment costs its
  // message and nothing else.
  server.InjectRawFault(sim::RawFault::kRepeatFragment, 2);
  server.PublishRawNow(1, 2);  // 31, 32
  server.InjectRawFault(sim::RawFault::kLoseFragment, 1);
  server.PublishRawNow(1, 2);  // 33 lost, 34
  ASSERT_TRUE(rec().WaitData(63));
  std::vector<uint64_t> tail;
  for (const RawMsg& m : rec().data()) {
    if (m.exchange == '1' && m.seq > 30) tail.push_back(m.seq);
  }
  EXPECT_EQ(tail, (std::vector<uint64_t>{31, 32, 34}));

  // The replay of 1 to 3 and of the lost 33 on the control connection.
  ASSERT_EQ(ZAVO_RebuildRawData(h, '1', 1, 3, &on_rebuild), ZAVO_SUCCESS);
  ASSERT_TRUE(rec().WaitSysKind(ZAVO_MSG_REBUILD_FINISH, 1));
  ASSERT_EQ(ZAVO_RebuildRawData(h, '1', 33, 34, &on_rebuild), ZAVO_SUCCESS);
  ASSERT_TRUE(rec().WaitSysKind(ZAVO_MSG_REBUILD_FINISH, 2));
  const std::vector<RawMsg> r = rec().replay();
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0].seq, 1u);
  EXPECT_EQ(r[0].bytes, by_exchange['1'][0].bytes);
  EXPECT_EQ(r[0].time, by_exchange['1'][0].time);
  EXPECT_EQ(r[1].seq, 2u);
  EXPECT_EQ(r[1].bytes, by_exchange['1'][1].bytes);
  EXPECT_EQ(r[2].seq, 33u);
  EXPECT_GE(r[2].bytes.size(), cfg.raw_min_len);
  for (const SysMsg& s : rec().sys()) {
    if (s.kind == ZAVO_MSG_REBUILD_FINISH) {
      EXPECT_EQ(s.rebuild.Status, 0u);
    }
  }

  ZAVO_Close(h);
  ZAVO_Wait(h);
}

// A server that publishes both feeds cannot tell from a login which kind of
// session made it; a raw session must still get the raw conversation: the
// login answer with its entries and replays, no code tables, no heartbeats.
TEST(RawSim, ControlConversationIsTheRawOneOnAServerOfBothFeeds) {
  LogCatcher& logs = LogCatcher::Get();
  logs.Clear();
  rec().Reset();
  sim::SimConfig cfg;
  cfg.listen_port = 0;
  cfg.group = "239.255.88.4";
  cfg.port = 16730;
  cfg.raw_port = 16731;
  cfg.feed_mode = sim::FeedMode::kBoth;
  cfg.rate = 0;
  cfg.raw_rate = 0;
  cfg.heartbeat_ms = 20;
  sim::SimServer server(cfg);
  std::string why;
  ASSERT_EQ(server.Start(&why), 0) << why;

  ZAVO_RawOpenSetting st = raw_settings(server.ListenPort(), "SH;SZ", 16731, "239.255.88.4");
  ZAVO_ERROR err = ZAVO_ERR_BUSY;
  ZAVO_HANDLE h = ZAVO_OpenRaw(&st, &err);
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(err, ZAVO_SUCCESS);
  // Many heartbeat periods pass while the session is logged in.
  const uint64_t beats = server.Counters().heartbeats_feed;
  ASSERT_TRUE(server.WaitFor(
      [beats](const sim::SimCounters& c) { return c.heartbeats_feed >= beats + 15; }, 10000));
  server.PublishRawNow(1, 2);
  ASSERT_TRUE(rec().WaitData(2));

  const std::vector<SysMsg> sys = rec().sys();
  ASSERT_GE(sys.size(), 2u);
  EXPECT_EQ(sys[1].kind, ZAVO_MSG_LOGIN);
  EXPECT_EQ(sys[1].login.ErrorID, 0);
  EXPECT_STREQ(sys[1].login.ErrorMsg, "success");
  ASSERT_EQ(sys[1].login.ItemCount, 2);
  EXPECT_STREQ(sys[1].login.Items[0], "SH");
  EXPECT_STREQ(sys[1].login.Items[1], "SZ");
  EXPECT_EQ(server.Counters().base_info_sent, 0u);
  EXPECT_LE(logs.Count("TCP Session On Unrecognized Field"), 1u);
  ZAVO_Close(h);
  ZAVO_Wait(h);
}

}  // namespace
}  // namespace rawtest
}  // namespace zavo
