// The simulator's conversation as a client sees it: a plain framed client
// on the control connection and a plain multicast socket on the feed. The
// records are read byte by byte at their protocol offsets, so the server is
// checked against the protocol and not against the library's codec.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "net/ev_loop.h"
#include "net/zavo_tcp.h"
#include "proto/sys_field.h"
#include "sim_server.h"
#include "sim_test_peers.h"
#include "sim_wire.h"

namespace zavo {
namespace sim {
namespace {

const char* const kGroup = "239.255.77.1";

using namespace peers;

SimConfig quiet_config(int feed_port) {
  SimConfig c;
  c.listen_port = 0;
  c.group = kGroup;
  c.port = feed_port;
  c.raw_port = feed_port + 1;
  c.rate = 0;  // the tests drive the feed
  c.raw_rate = 0;
  c.heartbeat_ms = 0;
  c.sh_securities = 3;
  c.sz_securities = 2;
  c.sh_options = 2;
  c.sz_options = 1;
  c.indices = 2;
  c.futures = 1;
  c.history = 50;
  return c;
}

TEST(SimServer, LoginAcceptedThenBaseInfoEndFieldEchoAndHeartbeat) {
  SimConfig cfg = quiet_config(17001);
  cfg.users = {{"alice", "secret"}};
  SimServer server(cfg);
  std::string err;
  ASSERT_EQ(server.Start(&err), 0) << err;
  ASSERT_GT(server.ListenPort(), 0);

  Client c(server.ListenPort());
  ASSERT_EQ(c.rc(), 0);
  ASSERT_TRUE(c.WaitConnected());
  c.Login("alice", "secret");
  std::vector<Client::Packet> got;
  ASSERT_TRUE(c.WaitField(kFidBaseInfoFinish, &got));

  // The login reply comes first: error 0, the reply text, declared 96 bytes.
  std::vector<Field> all;
  for (const auto& p : got) {
    EXPECT_EQ(p.type, 0u);
    EXPECT_EQ(p.time / 1000000000ULL, today());
    for (const Field& f : fields_of(p.body)) all.push_back(f);
  }
  ASSERT_GE(all.size(), 2u);
  ASSERT_EQ(all[0].id, kFidRspUserLogin);
  EXPECT_EQ(all[0].len, 96u);
  const char* r = all[0].bytes.data() + kFieldHeaderSize;
  EXPECT_EQ(be(r + 24, 4), 0u);
  EXPECT_EQ(std::string(r + 28), "SH;SZ");

  // Then 3 + 2 stocks, 2 indices, 1 future, 3 options, then the end field,
  // which is last.
  std::map<uint16_t, int> n;
  std::map<std::string, int> markets;
  for (size_t i = 1; i < all.size(); ++i) {
    ++n[all[i].id];
    if (all[i].id == kFidSecurityBaseInfo || all[i].id == kFidOptionBaseInfo) {
      const char* b = all[i].bytes.data() + kFieldHeaderSize;
      EXPECT_EQ(all[i].len, all[i].id == kFidSecurityBaseInfo ? 81u : 185u);
      ++markets[std::string(1, static_cast<char>('0' + b[16]))];
      EXPECT_GT(std::string(b + 25).size(), 3u);  // a name
    }
  }
  EXPECT_EQ(n[kFidSecurityBaseInfo], 8);
  EXPECT_EQ(n[kFidOptionBaseInfo], 3);
  EXPECT_EQ(n[kFidBaseInfoFinish], 1);
  EXPECT_EQ(all.back().id, kFidBaseInfoFinish);
  EXPECT_EQ(markets["1"], 3 + 1 + 1 + 2);  // SH: stocks, an index, the future, options
  EXPECT_EQ(markets["2"], 2 + 1 + 1);
  EXPECT_EQ(be(all.back().bytes.data() + kFieldHeaderSize, 4), 11u);

  // The client's echo of the reply is seen by the server.
  c.Echo(all[0].bytes);
  EXPECT_TRUE(server.WaitFor([](const SimCounters& k) { return k.login_echoes == 1; }, kWaitMs));

  // A heartbeat reaches the logged-in connection and the feed; its value
  // divided by 10^7 is today's date, and it uses no sequence number.
  FeedSocket feed(kGroup, cfg.port);
  ASSERT_TRUE(feed.ok());
  c.Clear();
  server.HeartbeatNow();
  ASSERT_TRUE(c.WaitField(kFidHeartBeat, &got));
  std::vector<Field> hb = fields_of(got[0].body);
  ASSERT_EQ(hb.size(), 1u);
  EXPECT_EQ(hb[0].seq, 0u);
  EXPECT_EQ(be(hb[0].bytes.data() + kFieldHeaderSize, 8) / 10000000ULL, today());
  std::string d;
  ASSERT_TRUE(feed.Recv(&d));
  ASSERT_EQ(d.size(), 36u);
  EXPECT_EQ(be(d.data(), 2), 0x0707u);
  EXPECT_EQ(be(d.data() + 16, 2), kFidHeartBeat);
  EXPECT_EQ(be(d.data() + 28, 8) / 10000000ULL, today());

  // Dropping the connections closes ours.
  server.DropConnections();
  EXPECT_TRUE(c.WaitDisconnected());
  EXPECT_TRUE(server.WaitFor([](const SimCounters& k) { return k.disconnections == 1; }, kWaitMs));
}

// Switches are posted to the server's loop; a heartbeat posted after them is
// counted only once they have been applied.
void settle(SimServer* server) {
  uint64_t before = server->Counters().heartbeats_feed;
  server->HeartbeatNow();
  EXPECT_TRUE(server->WaitFor([before](const SimCounters& k) { return k.heartbeats_feed > before; },
                              kWaitMs));
}

TEST(SimServer, LoginRefusedUnknownUserRefuseModeAndSilence) {
  SimConfig cfg = quiet_config(17011);
  cfg.users = {{"alice", "secret"}};
  cfg.refuse_error_id = 1003;
  cfg.refuse_text = "bad user";
  SimServer server(cfg);
  ASSERT_EQ(server.Start(), 0);
  std::vector<Client::Packet> got;
  auto refusal = [](const std::vector<Client::Packet>& ps) {
    std::vector<Field> f = fields_of(ps.at(0).body);
    EXPECT_EQ(f.size(), 1u);
    const char* r = f.at(0).bytes.data() + kFieldHeaderSize;
    EXPECT_EQ(be(r + 24, 4), 1003u);
    return std::string(r + 28);
  };
  {
    Client c(server.ListenPort());
    c.Login("alice", "wrong");
    ASSERT_TRUE(c.WaitField(kFidRspUserLogin, &got));
    EXPECT_EQ(refusal(got), "bad user");
    c.Clear();
    c.Login("mallory", "secret");
    ASSERT_TRUE(c.WaitField(kFidRspUserLogin, &got));
    EXPECT_EQ(refusal(got), "bad user");
    // A refused connection gets neither base information nor heartbeats.
    c.Clear();
    server.HeartbeatNow();
    ASSERT_TRUE(
        server.WaitFor([](const SimCounters& k) { return k.heartbeats_feed == 1; }, kWaitMs));
    EXPECT_EQ(server.Counters().heartbeats_control, 0u);
  }
  {
    server.SetLoginMode(LoginMode::kRefuse);
    settle(&server);
    Client c(server.ListenPort());
    c.Login("alice", "secret");
    ASSERT_TRUE(c.WaitField(kFidRspUserLogin, &got));
    EXPECT_EQ(refusal(got), "bad user");
  }
  {
    server.SetLoginMode(LoginMode::kSilent);
    settle(&server);
    Client c(server.ListenPort());
    c.Login("alice", "secret");
    ASSERT_TRUE(
        server.WaitFor([](const SimCounters& k) { return k.logins_ignored == 1; }, kWaitMs));
    // Answering again: the first thing the client ever receives is the
    // acceptance, so nothing was sent for the ignored request.
    server.SetLoginMode(LoginMode::kAccept);
    settle(&server);
    c.Login("alice", "secret");
    ASSERT_TRUE(c.WaitField(kFidRspUserLogin, &got));
    std::vector<Field> f = fields_of(got.at(0).body);
    ASSERT_EQ(f.at(0).id, kFidRspUserLogin);
    EXPECT_EQ(be(f.at(0).bytes.data() + kFieldHeaderSize + 24, 4), 0u);
  }
  EXPECT_TRUE(server.WaitFor(
      [](const SimCounters& k) { return k.logins_refused == 3 && k.logins_accepted == 1; },
      kWaitMs));
}

// Reads datagrams until `want` market-data fields arrived; returns them by
// sequence number with each datagram checked to hold exactly one packet.
bool read_fields(FeedSocket* feed, size_t want, std::map<uint64_t, std::string>* out,
                 int* garbage = nullptr) {
  std::string d;
  size_t got = 0;
  for (int i = 0; i < 10000 && got < want; ++i) {
    if (!feed->Recv(&d)) return false;
    if (d.size() < kStructHeaderSize || be(d.data(), 2) != 0x0707) {
      if (garbage) ++*garbage;
      continue;
    }
    EXPECT_EQ(be(d.data() + 2, 2) + kStructHeaderSize, d.size());
    EXPECT_LE(d.size(), 1400u);
    for (const Field& f : fields_of(d.substr(kStructHeaderSize))) {
      if (f.id == kFidHeartBeat) continue;
      EXPECT_GE(f.id, 257);
      EXPECT_LE(f.id, 263);
      (*out)[f.seq] = f.bytes;
      ++got;
    }
  }
  return got >= want;
}

TEST(SimServer, FeedGapFreeGapsWhenInjectedAndRetransmissionFromHistory) {
  SimConfig cfg = quiet_config(17021);
  SimServer server(cfg);
  ASSERT_EQ(server.Start(), 0);
  FeedSocket feed(kGroup, cfg.port);
  ASSERT_TRUE(feed.ok());
  Client c(server.ListenPort());
  c.Login("anyone", "");
  std::vector<Client::Packet> got;
  ASSERT_TRUE(c.WaitField(kFidBaseInfoFinish, &got));

  // 40 fields: numbered 1 to 40 without a gap.
  std::map<uint64_t, std::string> live;
  server.PublishNow(40);
  ASSERT_TRUE(server.WaitFor([](const SimCounters& k) { return k.last_seq == 40; }, kWaitMs));
  EXPECT_EQ(server.Counters().send_errors, 0u);
  ASSERT_TRUE(read_fields(&feed, 40, &live));
  ASSERT_EQ(live.size(), 40u);
  EXPECT_EQ(live.begin()->first, 1u);
  EXPECT_EQ(live.rbegin()->first, 40u);

  // Garbage on the feed is its own datagram; then a gap of 5: 41 to 45 are
  // numbered but not sent.
  server.SendFeedGarbage(64);
  server.SkipFeed(5);
  server.PublishNow(15);
  int garbage = 0;
  ASSERT_TRUE(read_fields(&feed, 10, &live, &garbage));
  EXPECT_EQ(garbage, 1);
  EXPECT_EQ(live.size(), 50u);
  for (uint64_t s = 41; s <= 45; ++s) EXPECT_EQ(live.count(s), 0u) << s;
  EXPECT_EQ(live.rbegin()->first, 55u);
  EXPECT_TRUE(server.WaitFor([](const SimCounters& k) { return k.fields_skipped == 5; }, kWaitMs));

  // Retransmission of [38, 48): fields 38 to 47 in packets of type 1010,
  // identical to what the feed carried, the gap filled; then the end record
  // in a packet of type 0 with the requested range and status 0.
  c.Clear();
  c.Retransmit(38, 48, today(), kPacketTypeRetransmit);
  ASSERT_TRUE(c.WaitField(kFidRspRetransmit, &got));
  std::vector<uint64_t> seqs;
  for (const auto& p : got) {
    for (const Field& f : fields_of(p.body)) {
      if (f.id == kFidRspRetransmit) {
        EXPECT_EQ(p.type, 0u);
        const char* r = f.bytes.data() + kFieldHeaderSize;
        EXPECT_EQ(be(r, 8), 38u);
        EXPECT_EQ(be(r + 8, 8), 48u);
        EXPECT_EQ(be(r + 16, 4), 0u);
        continue;
      }
      EXPECT_EQ(p.type, kPacketTypeRetransmit);
      seqs.push_back(f.seq);
      if (live.count(f.seq)) {
        EXPECT_EQ(f.bytes, live[f.seq]) << f.seq;
      }
    }
  }
  std::vector<uint64_t> want;
  for (uint64_t s = 38; s < 48; ++s) want.push_back(s);
  EXPECT_EQ(seqs, want);

  // The history keeps the newest 50 (6 to 55): a request reaching further
  // back is answered in part (status 1); one entirely outside gets only the
  // end record (status 2).
  c.Clear();
  c.Retransmit(1, 11, today(), kPacketTypeRetransmit);
  ASSERT_TRUE(c.WaitField(kFidRspRetransmit, &got));
  seqs.clear();
  uint64_t status = 99;
  for (const auto& p : got) {
    for (const Field& f : fields_of(p.body)) {
      if (f.id == kFidRspRetransmit) {
        status = be(f.bytes.data() + kFieldHeaderSize + 16, 4);
      } else {
        seqs.push_back(f.seq);
      }
    }
  }
  EXPECT_EQ(seqs, (std::vector<uint64_t>{6, 7, 8, 9, 10}));
  EXPECT_EQ(status, 1u);
  c.Clear();
  c.Retransmit(100, 200, today(), kPacketTypeRetransmit);
  ASSERT_TRUE(c.WaitField(kFidRspRetransmit, &got));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(be(fields_of(got[0].body).at(0).bytes.data() + kFieldHeaderSize + 16, 4), 2u);

  // Garbage on the control connection: the framing skips it and the next
  // heartbeat still arrives whole.
  c.Clear();
  server.SendControlGarbage(300);
  server.HeartbeatNow();
  ASSERT_TRUE(c.WaitField(kFidHeartBeat, &got));
  EXPECT_EQ(fields_of(got.at(0).body).at(0).id, kFidHeartBeat);
}

}  // namespace
}  // namespace sim
}  // namespace zavo
