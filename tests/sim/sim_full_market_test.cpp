// A few seconds of the full-market preset with a scaled day, as the
// simulator's command line sets it up: the code tables have the real
// markets' size and the feed carries snapshots of thousands of securities
// of both exchanges at once, numbered without a gap.
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

TEST(SimFullMarket, CodeTablesOfTheRealSizeAndAFeedOverThousandsOfSecurities) {
  const char* args[] = {"zavo_sim", "--market",   "full",  "--day-scale", "24",           "--rate",
                        "20000",    "--seed",     "3",     "--group",     "239.255.77.9", "--port",
                        "17061",    "--raw-port", "17062", "--listen",    "127.0.0.1:0"};
  SimOptions o;
  std::string err;
  ASSERT_TRUE(ParseSimOptions(static_cast<int>(sizeof args / sizeof args[0]), args, &o, &err))
      << err;
  SimServer server(o.config);
  ASSERT_EQ(server.Start(&err), 0) << err;
  FeedSocket feed("239.255.77.9", 17061);
  ASSERT_TRUE(feed.ok());
  Client c(server.ListenPort());
  c.Login("anyone", "");
  std::vector<Client::Packet> got;
  ASSERT_TRUE(c.WaitField(kFidBaseInfoFinish, &got));
  std::map<uint16_t, size_t> n;
  for (const auto& p : got) {
    for (const Field& f : fields_of(p.body)) ++n[f.id];
  }
  const SimConfig& cfg = o.config;
  EXPECT_GE(cfg.sh_securities, 2000u);
  EXPECT_GE(cfg.sz_securities, 2500u);
  EXPECT_EQ(n[kFidSecurityBaseInfo],
            cfg.sh_securities + cfg.sz_securities + cfg.indices + cfg.futures);
  EXPECT_EQ(n[kFidOptionBaseInfo], cfg.sh_options + cfg.sz_options);

  // Three seconds of the feed (bounded in datagrams too).
  std::set<std::string> sh, sz;
  uint64_t fields = 0, first = 0, last = 0, holes = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  std::string d;
  for (int i = 0; i < 200000 && std::chrono::steady_clock::now() < end; ++i) {
    if (!feed.Recv(&d)) break;
    if (d.size() < kStructHeaderSize || be(d.data(), 2) != 0x0707) continue;
    for (const Field& f : fields_of(d.substr(kStructHeaderSize))) {
      if (f.id == kFidHeartBeat) continue;
      ++fields;
      if (first == 0) first = f.seq;
      if (last != 0 && f.seq != last + 1) ++holes;
      last = f.seq;
      if (f.id != kFidSecuritySnapShot) continue;
      const std::string code = f.bytes.substr(kFieldHeaderSize, 16);
      (f.bytes[kFieldHeaderSize + 16] == 1 ? sh : sz).insert(code);
    }
  }
  EXPECT_GT(fields, 10000u) << "a day scaled 24 times at 20000 fields a second";
  EXPECT_GT(sh.size(), 500u);
  EXPECT_GT(sz.size(), 500u);
  // Loopback may drop under load; the simulator itself numbers every field.
  EXPECT_LT(holes, fields / 100 + 1);
  EXPECT_EQ(server.Counters().send_errors, 0u);
  server.Stop();
}

}  // namespace
}  // namespace sim
}  // namespace zavo
