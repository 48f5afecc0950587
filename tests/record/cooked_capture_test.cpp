// Captures made with `tcpdump -i any`, whose packets carry the Linux cooked
// v2 header: the shared reader, the offline decoder and the replay take
// them like any other capture, from a file written here and from a real
// capture of the simulator.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "pcap_reader.h"
#include "pcap_source.h"
#include "record_test_util.h"
#include "sim_market.h"
#include "sim_replay.h"
#include "sim_server.h"
#include "sim_wire.h"
#include "support/cooked_capture.h"
#include "support/netns.h"
#include "support/wait_until.h"

namespace zavo {
namespace test {
namespace {

constexpr int kConnect = 5;

// One struct packet of `fields` synthetic fields numbered from `first`.
std::string struct_datagram(sim::MarketModel* model, uint64_t first, int fields) {
  sim::WireWriter rec;
  sim::PacketBuilder pb;
  const uint64_t stamp = 20240102093000000ULL + first;
  pb.Begin(0, stamp);
  for (int f = 0; f < fields; ++f) {
    rec.Reset();
    const uint16_t id = model->Next(stamp, &rec);
    pb.BeginField(id, static_cast<uint16_t>(rec.size()), first + f);
    pb.writer().Bytes(rec.data(), rec.size());
    EXPECT_TRUE(pb.EndField());
  }
  const char* p = pb.Finish();
  return std::string(p, pb.size());
}

std::vector<Rec> decode(const std::string& path, zavo_tail::PcapResult* r) {
  DataOf(kConnect).Clear();
  zavo_tail::Options opt;
  opt.connect_id = kConnect;
  opt.flags = ZAVO_FLAG_TRADE_DETAIL | ZAVO_FLAG_ORDER_DETAIL | ZAVO_FLAG_ORDER_QUEUE;
  EXPECT_TRUE(zavo_tail::DecodePcap(path, opt, false, OnData, r)) << r->error;
  return DataOf(kConnect).Take();
}

TEST(CookedV2Capture, SharedReaderOfflineDecodeAndReplayTakeIt) {
  TempDir dir;
  sim::SimConfig cfg;
  sim::MarketModel model(cfg);
  std::vector<std::string> packets;
  CookedDatagram d;
  d.payload = struct_datagram(&model, 1, 4);
  const std::string first = d.payload;
  packets.push_back(CookedPacket(d, 4));  // sent by this host
  // An IPv6 packet (no IPv4 inside) between the datagrams is passed over.
  packets.push_back(CookedPacket(d, 0, 0x86dd));
  d.payload = struct_datagram(&model, 5, 3);
  d.src_port = 40001;
  packets.push_back(CookedPacket(d, 0));  // received
  const std::string path = dir.File("any.pcap");
  {
    std::ofstream out(path, std::ios::binary);
    out << CookedCaptureFile(packets);
  }

  record::PcapReader reader;
  std::string error;
  ASSERT_TRUE(reader.Open(path, &error)) << error;
  record::CapturedDatagram got;
  ASSERT_EQ(reader.Next(&got), record::PcapReader::kDatagram) << reader.error();
  EXPECT_EQ(record::AddressText(got.src), "10.1.2.3:40000");
  EXPECT_EQ(record::AddressText(got.dst), "239.9.9.9:9001");
  EXPECT_EQ(got.ts_ns, 1700000000ULL * 1000000000ULL);
  EXPECT_EQ(std::string(got.data, got.len), first);
  ASSERT_EQ(reader.Next(&got), record::PcapReader::kDatagram) << reader.error();
  EXPECT_EQ(record::AddressText(got.src), "10.1.2.3:40001");
  EXPECT_EQ(got.ts_ns, 1700000000ULL * 1000000000ULL + 2000000ULL);
  EXPECT_EQ(got.len, d.payload.size());
  EXPECT_EQ(reader.Next(&got), record::PcapReader::kEnd);
  EXPECT_EQ(reader.packets(), 3u);
  EXPECT_EQ(reader.skipped(), 1u);

  zavo_tail::PcapResult r;
  const std::vector<Rec> recs = decode(path, &r);
  EXPECT_TRUE(r.complete) << r.error;
  EXPECT_EQ(r.datagrams, 2u);
  ASSERT_EQ(recs.size(), 7u);
  for (size_t i = 0; i < recs.size(); ++i) EXPECT_EQ(recs[i].seq, i + 1);

  // The replay accepts it (it refuses files it cannot read before it
  // starts).
  sim::SimServer server(cfg);
  sim::ReplayOptions ro;
  ro.files = {path};
  sim::SimReplay replay(&server, ro);
  EXPECT_TRUE(replay.Start(&error)) << error;
  replay.Stop();
}

// Runs `argv` with standard error into `err_path`; the child's pid.
pid_t spawn(const std::vector<std::string>& args, const std::string& err_path) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int null = open("/dev/null", O_WRONLY);
  if (err < 0 || null < 0) _exit(126);
  dup2(null, 1);
  dup2(err, 2);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  _exit(127);
}

bool await(const std::function<bool()>& cond, int timeout_ms) {
  return zavo::test::WaitUntil(cond, std::chrono::milliseconds(timeout_ms),
                               std::chrono::milliseconds(10));
}

TEST(CookedV2Capture, RealCaptureOfTheSimulatorOnAnyInterface) {
  const char* tcpdump = "/usr/bin/tcpdump";
  if (access(tcpdump, X_OK) != 0) GTEST_SKIP() << "tcpdump is not installed";
  if (!in_private_netns()) GTEST_SKIP() << "no private network namespace";
  TempDir dir;
  const std::string path = dir.File("sim.pcap");
  const std::string err_path = dir.File("tcpdump.err");
  // Packet-buffered, so that what was captured is in the file at once.
  const pid_t pid =
      spawn({tcpdump, "-i", "any", "-U", "-n", "-w", path, "udp", "port", "17741"}, err_path);
  ASSERT_GT(pid, 0);
  auto stop_tcpdump = [pid] {
    kill(pid, SIGTERM);
    int st = 0;
    waitpid(pid, &st, 0);
  };
  const bool listening = await(
      [&] {
        std::ifstream in(err_path);
        std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return all.find("listening on") != std::string::npos;
      },
      10000);
  if (!listening) {
    stop_tcpdump();
    GTEST_SKIP() << "tcpdump could not capture here";
  }

  sim::SimConfig cfg;
  cfg.listen_port = 0;
  cfg.group = "239.255.77.4";
  cfg.port = 17741;
  cfg.rate = 0;
  cfg.heartbeat_ms = 3600 * 1000;
  cfg.feed_heartbeats = false;
  sim::SimServer server(cfg);
  std::string error;
  ASSERT_EQ(server.Start(&error), 0) << error;
  server.PublishNow(120);
  ASSERT_TRUE(
      server.WaitFor([](const sim::SimCounters& c) { return c.fields_published >= 120; }, 5000));
  const uint64_t datagrams = server.Counters().datagrams_sent;
  ASSERT_GT(datagrams, 1u);
  // Every datagram reaches the file (bounded wait).
  const bool all_there = await(
      [&] {
        record::PcapReader reader;
        if (!reader.Open(path, nullptr)) return false;
        record::CapturedDatagram got;
        uint64_t n = 0;
        while (reader.Next(&got) == record::PcapReader::kDatagram) ++n;
        return n >= datagrams;
      },
      10000);
  stop_tcpdump();
  server.Stop();
  ASSERT_TRUE(all_there);

  zavo_tail::PcapResult r;
  const std::vector<Rec> recs = decode(path, &r);
  EXPECT_TRUE(r.complete) << r.error;
  ASSERT_EQ(recs.size(), 120u);
  EXPECT_EQ(recs.front().seq, 1u);
  EXPECT_EQ(recs.back().seq, 120u);
  sim::ReplayOptions ro;
  ro.files = {path};
  sim::SimReplay replay(&server, ro);
  EXPECT_TRUE(replay.Start(&error)) << error;
  replay.Stop();
}

}  // namespace
}  // namespace test
}  // namespace zavo
