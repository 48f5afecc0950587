// The simulator's faults as its clients see them: gaps on the feed that
// match its counters and that retransmission fills, copies and late
// datagrams at a raw receiver, late and refused retransmissions, dropped
// control connections, and the code tables of the full-market preset.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "sim_options.h"
#include "sim_server.h"
#include "sim_test_peers.h"
#include "sim_wire.h"

namespace zavo {
namespace sim {
namespace {

using namespace peers;

const char* const kGroup = "239.255.77.3";

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
  return c;
}

// Market-data sequence numbers of the next `datagrams` struct datagrams.
std::vector<uint64_t> feed_seqs(FeedSocket* feed, uint64_t datagrams) {
  std::vector<uint64_t> seqs;
  std::string d;
  for (uint64_t i = 0; i < datagrams && feed->Recv(&d); ++i) {
    EXPECT_EQ(be(d.data(), 2), 0x0707u);
    for (const Field& f : fields_of(d.substr(kStructHeaderSize))) seqs.push_back(f.seq);
  }
  return seqs;
}

struct Reply {
  std::map<uint64_t, std::string> fields;  // by sequence number
  uint64_t status = 99;
};

// The answer to one retransmission request, up to its end record.
Reply retransmit(Client* c, uint64_t begin, uint64_t end) {
  c->Clear();
  c->Retransmit(begin, end, today(), kPacketTypeRetransmit);
  std::vector<Client::Packet> got;
  Reply r;
  EXPECT_TRUE(c->WaitField(kFidRspRetransmit, &got));
  for (const auto& p : got) {
    for (const Field& f : fields_of(p.body)) {
      if (f.id == kFidRspRetransmit) {
        r.status = be(f.bytes.data() + kFieldHeaderSize + 16, 4);
      } else {
        r.fields[f.seq] = f.bytes;
      }
    }
  }
  return r;
}

// One run of 600 fields with loss and bursts: the numbers missing at the
// receiver, after checking them against the server's counters.
std::set<uint64_t> lossy_run(uint64_t seed, std::set<uint64_t>* recovered) {
  SimConfig cfg = quiet_config(17101);
  cfg.seed = seed;
  cfg.faults.loss = 0.15;
  cfg.faults.burst_lost = 2;
  cfg.faults.burst_period = 10;
  SimServer server(cfg);
  EXPECT_EQ(server.Start(), 0);
  FeedSocket feed(kGroup, cfg.port);
  EXPECT_TRUE(feed.ok());
  Client c(server.ListenPort());
  c.Login("anyone", "");
  std::vector<Client::Packet> got;
  EXPECT_TRUE(c.WaitField(kFidBaseInfoFinish, &got));

  server.PublishNow(600);
  EXPECT_TRUE(server.WaitFor([](const SimCounters& k) { return k.last_seq == 600; }, kWaitMs));
  const SimCounters k = server.Counters();
  std::vector<uint64_t> seen = feed_seqs(&feed, k.datagrams_sent);
  std::set<uint64_t> missing;
  for (uint64_t s = 1; s <= 600; ++s) missing.insert(s);
  for (uint64_t s : seen) missing.erase(s);
  EXPECT_EQ(seen.size() + missing.size(), 600u) << "each field arrives once";
  EXPECT_EQ(missing.size(), k.fields_lost);
  EXPECT_EQ(k.send_errors, 0u);
  // Bursts alone lose a fifth of the datagrams; random loss adds more.
  const uint64_t offered = k.datagrams_sent + k.datagrams_lost;
  EXPECT_GE(k.datagrams_lost, offered / 5);
  EXPECT_LT(k.datagrams_lost, offered / 2);

  // The history kept every field: asking for the whole gap returns it.
  if (!missing.empty()) {
    Reply r = retransmit(&c, *missing.begin(), *missing.rbegin() + 1);
    EXPECT_EQ(r.status, 0u);
    for (uint64_t s : missing) {
      if (r.fields.count(s)) recovered->insert(s);
    }
  }
  return missing;
}

TEST(SimFaults, LossAndBurstsLeaveTheCountedGapsAndRetransmissionFillsThem) {
  std::set<uint64_t> recovered1, recovered2, recovered3;
  const std::set<uint64_t> a = lossy_run(5, &recovered1);
  ASSERT_FALSE(a.empty());
  EXPECT_EQ(recovered1, a);
  // The same seed loses the same fields; another seed others.
  EXPECT_EQ(lossy_run(5, &recovered2), a);
  EXPECT_NE(lossy_run(6, &recovered3), a);
}

TEST(SimFaults, RawReceiverSeesCopiesAndLateFragmentsWithinTheWindow) {
  SimConfig cfg = quiet_config(17111);
  cfg.feed_mode = FeedMode::kRaw;
  cfg.raw_min_len = 24;  // one fragment per message
  cfg.raw_max_len = 200;
  cfg.seed = 3;
  cfg.faults.duplicate = 0.1;
  cfg.faults.reorder = 0.1;
  cfg.faults.reorder_window = 3;
  SimServer server(cfg);
  ASSERT_EQ(server.Start(), 0);
  FeedSocket feed(kGroup, cfg.raw_port);
  ASSERT_TRUE(feed.ok());
  server.PublishRawNow(1, 400);
  ASSERT_TRUE(server.WaitFor([](const SimCounters& k) { return k.raw_messages == 400; }, kWaitMs));
  const SimCounters k = server.Counters();
  std::vector<uint64_t> order;
  std::string d;
  for (uint64_t i = 0; i < k.raw_fragments && feed.Recv(&d); ++i) {
    ASSERT_GE(d.size(), kRawHeaderSize);
    EXPECT_EQ(be(d.data(), 2), 0xF7F7u);
    order.push_back(be(d.data() + 7, 8));
  }
  ASSERT_EQ(order.size(), k.raw_fragments);
  std::map<uint64_t, int> times;
  size_t late = 0;
  std::set<uint64_t> before;
  for (uint64_t s : order) {
    ++times[s];
    size_t later_before = 0;
    for (uint64_t b : before) later_before += b > s;
    EXPECT_LE(later_before, 3u) << s;
    late += later_before > 0;
    before.insert(s);
  }
  uint64_t twice = 0;
  for (const auto& kv : times) {
    EXPECT_LE(kv.second, 2) << kv.first;
    twice += kv.second == 2;
  }
  EXPECT_GT(k.datagrams_duplicated, 10u);
  EXPECT_EQ(twice, k.datagrams_duplicated);
  EXPECT_GT(k.datagrams_reordered, 10u);
  EXPECT_GT(late, 0u);
  EXPECT_LE(late, k.datagrams_reordered);
  // Only the last few, still held, have not arrived.
  EXPECT_GE(times.size(), 400u - 3);
  for (uint64_t s = 1; s <= 397; ++s) EXPECT_EQ(times.count(s), 1u) << s;
  EXPECT_EQ(k.datagrams_lost, 0u);
}

TEST(SimFaults, RetransmissionsLateOrRefused) {
  {
    SimConfig cfg = quiet_config(17121);
    cfg.faults.retransmit_delay_ms = 400;
    SimServer server(cfg);
    ASSERT_EQ(server.Start(), 0);
    Client c(server.ListenPort());
    c.Login("anyone", "");
    std::vector<Client::Packet> got;
    ASSERT_TRUE(c.WaitField(kFidBaseInfoFinish, &got));
    server.PublishNow(20);
    ASSERT_TRUE(server.WaitFor([](const SimCounters& k) { return k.last_seq == 20; }, kWaitMs));
    const auto t0 = std::chrono::steady_clock::now();
    Reply r = retransmit(&c, 5, 15);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    EXPECT_GE(ms, 350);
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(r.fields.size(), 10u);
    EXPECT_EQ(r.fields.begin()->first, 5u);
    EXPECT_EQ(server.Counters().retransmits_delayed, 1u);
    EXPECT_EQ(server.Counters().retransmits_refused, 0u);

    // A connection that closes while its request waits gets nothing, and
    // the requests behind it are still answered.
    {
      Client gone(server.ListenPort());
      gone.Login("anyone", "");
      ASSERT_TRUE(gone.WaitField(kFidBaseInfoFinish, &got));
      gone.Retransmit(1, 10, today(), kPacketTypeRetransmit);
      ASSERT_TRUE(
          server.WaitFor([](const SimCounters& k) { return k.retransmits_delayed == 2; }, kWaitMs));
    }
    ASSERT_TRUE(
        server.WaitFor([](const SimCounters& k) { return k.disconnections == 1; }, kWaitMs));
    r = retransmit(&c, 18, 21);
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(r.fields.size(), 3u);
    const SimCounters k = server.Counters();
    EXPECT_EQ(k.retransmits_delayed, 3u);
    EXPECT_EQ(k.retransmit_requests, 2u);
  }
  {
    // Refused: the end record alone, with the range asked for and a
    // non-zero status.
    SimConfig cfg = quiet_config(17131);
    cfg.faults.retransmit_refuse = 1;
    SimServer server(cfg);
    ASSERT_EQ(server.Start(), 0);
    Client c(server.ListenPort());
    c.Login("anyone", "");
    std::vector<Client::Packet> got;
    ASSERT_TRUE(c.WaitField(kFidBaseInfoFinish, &got));
    server.PublishNow(20);
    ASSERT_TRUE(server.WaitFor([](const SimCounters& k) { return k.last_seq == 20; }, kWaitMs));
    c.Clear();
    c.Retransmit(2, 9, today(), kPacketTypeRetransmit);
    ASSERT_TRUE(c.WaitField(kFidRspRetransmit, &got));
    ASSERT_EQ(got.size(), 1u);
    std::vector<Field> f = fields_of(got[0].body);
    ASSERT_EQ(f.size(), 1u);
    const char* rec = f[0].bytes.data() + kFieldHeaderSize;
    EXPECT_EQ(be(rec, 8), 2u);
    EXPECT_EQ(be(rec + 8, 8), 9u);
    EXPECT_EQ(be(rec + 16, 4), kRetransmitRefused);
    const SimCounters k = server.Counters();
    EXPECT_EQ(k.retransmits_refused, 1u);
    EXPECT_EQ(k.retransmit_requests, 1u);
    EXPECT_EQ(k.retransmit_fields, 0u);
  }
}

TEST(SimFaults, DropEveryClosesTheControlConnection) {
  SimConfig cfg = quiet_config(17141);
  cfg.faults.drop_every_s = 1;
  SimServer server(cfg);
  ASSERT_EQ(server.Start(), 0);
  Client c(server.ListenPort());
  c.Login("anyone", "");
  std::vector<Client::Packet> got;
  ASSERT_TRUE(c.WaitField(kFidBaseInfoFinish, &got));
  EXPECT_TRUE(c.WaitDisconnected());
  EXPECT_TRUE(server.WaitFor(
      [](const SimCounters& k) { return k.connections_dropped >= 1 && k.disconnections >= 1; },
      kWaitMs));
}

TEST(SimFaults, FullMarketServesCodeTablesOfTheRealSize) {
  SimConfig cfg = quiet_config(17151);
  ApplyFullMarket(&cfg);
  SimServer server(cfg);
  ASSERT_EQ(server.Start(), 0);
  Client c(server.ListenPort());
  c.Login("anyone", "");
  std::vector<Client::Packet> got;
  ASSERT_TRUE(c.WaitField(kFidBaseInfoFinish, &got));
  std::map<char, int> securities, options;
  std::set<std::string> keys;
  uint64_t end_count = 0;
  for (const auto& p : got) {
    for (const Field& f : fields_of(p.body)) {
      const char* b = f.bytes.data() + kFieldHeaderSize;
      if (f.id == kFidBaseInfoFinish) end_count = be(b, 4);
      if (f.id != kFidSecurityBaseInfo && f.id != kFidOptionBaseInfo) continue;
      const char market = static_cast<char>('0' + b[16]);
      ++(f.id == kFidSecurityBaseInfo ? securities : options)[market];
      EXPECT_TRUE(keys.insert(std::string(1, market) + std::string(b)).second)
          << "code " << std::string(b) << " twice in market " << market;
    }
  }
  // Stocks, half the 300 indices and (Shanghai) the 8 futures per market.
  EXPECT_EQ(securities['1'], 2300 + 150 + 8);
  EXPECT_EQ(securities['2'], 2900 + 150);
  EXPECT_EQ(options['1'], 500);
  EXPECT_EQ(options['2'], 500);
  EXPECT_EQ(end_count, 2458u + 3050u + 1000u);
  // And the market trades.
  server.PublishNow(3000);
  EXPECT_TRUE(server.WaitFor([](const SimCounters& k) { return k.last_seq == 3000; }, kWaitMs));
}

}  // namespace
}  // namespace sim
}  // namespace zavo
