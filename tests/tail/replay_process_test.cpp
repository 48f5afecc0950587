// The recorder's and the replaying simulator's files as a user meets them:
// an existing capture is not replaced by accident, a replay that cannot
// play says so before it listens, and its summary counts what it replayed.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "process_helpers.h"
#include "support/cooked_capture.h"

namespace {

using namespace tail_test;
using zavo::test::CookedDatagram;

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// A raw fragment as the feed carries it (all numbers big-endian).
std::string raw_fragment(uint8_t exchange, uint64_t seq, uint16_t frag, bool more,
                         const std::string& payload) {
  std::string p("\xF7\xF7", 2);
  auto put = [&p](uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) p.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
  };
  put(93000000, 4);
  put(exchange, 1);
  put(seq, 8);
  put(frag, 2);
  put(more ? 1 : 0, 1);
  put(payload.size(), 2);
  return p + payload;
}

TEST(RecordFilesProcess, AnExistingCaptureIsReplacedOnlyWithForce) {
  Proc scratch("/bin/true", {});
  ASSERT_EQ(scratch.Wait(), 0);
  const std::string out = scratch.dir() + "/kept.pcap";
  write_file(out, "yesterday");
  Proc refused(ZAVO_RECORD_BIN, {"--group", "239.255.6.21", "--out", out, "--duration", "0.2"});
  EXPECT_EQ(refused.Wait(), 2) << refused.Err();
  EXPECT_TRUE(Contains(refused.Err(), out + " exists")) << refused.Err();
  EXPECT_TRUE(Contains(refused.Err(), "--force")) << refused.Err();
  EXPECT_EQ(ReadFile(out), "yesterday");

  // The first file of a rotated series is checked the same way.
  write_file(scratch.dir() + "/series.0000.pcap", "old");
  Proc series(ZAVO_RECORD_BIN, {"--group", "239.255.6.21", "--out", scratch.dir() + "/series.pcap",
                                "--rotate-mb", "1", "--duration", "0.2"});
  EXPECT_EQ(series.Wait(), 2) << series.Err();
  EXPECT_EQ(ReadFile(scratch.dir() + "/series.0000.pcap"), "old");

  Proc forced(ZAVO_RECORD_BIN,
              {"--group", "239.255.6.21", "--out", out, "--duration", "0.2", "--force"});
  EXPECT_EQ(forced.Wait(), 0) << forced.Err();
  EXPECT_EQ(ReadFile(out).size(), 24u);  // a fresh capture file's header
}

TEST(ReplayProcess, BadFilesAreRefusedBeforeListening) {
  Proc scratch("/bin/true", {});
  ASSERT_EQ(scratch.Wait(), 0);
  const std::string text = scratch.dir() + "/notes.pcap";
  write_file(text, "not a capture file\n");
  // A capture holding packets, but no UDP/IPv4 datagram among them.
  CookedDatagram d;
  d.payload = "x";
  const std::string empty = scratch.dir() + "/empty.pcap";
  write_file(empty, zavo::test::CookedCaptureFile({zavo::test::CookedPacket(d, 0, 0x86dd)}));
  for (const std::string& file : {scratch.dir() + "/missing.pcap", text, empty}) {
    const auto start = Clock::now();
    Proc sim(ZAVO_SIM_BIN, {"--listen", "127.0.0.1:6661", "--replay", file});
    EXPECT_EQ(sim.Wait(10), 2) << file << "\n" << sim.Err();
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 5.0);
    EXPECT_TRUE(Contains(sim.Err(), file)) << sim.Err();
    EXPECT_FALSE(Contains(sim.Out(), "listening on")) << sim.Out();
  }
  Proc sim(ZAVO_SIM_BIN, {"--listen", "127.0.0.1:6661", "--replay", empty});
  ASSERT_EQ(sim.Wait(10), 2);
  EXPECT_TRUE(Contains(sim.Err(), "no datagram")) << sim.Err();
}

TEST(ReplayProcess, SummaryCountsTheReplayedRawMessages) {
  Proc scratch("/bin/true", {});
  ASSERT_EQ(scratch.Wait(), 0);
  // Three messages of Shanghai, the second in two fragments.
  std::vector<CookedDatagram> ds(4);
  ds[0].payload = raw_fragment(1, 1, 0, false, "first");
  ds[1].payload = raw_fragment(1, 2, 0, true, "sec");
  ds[2].payload = raw_fragment(1, 2, 1, false, "ond");
  ds[3].payload = raw_fragment(1, 3, 0, false, "third");
  for (CookedDatagram& d : ds) d.dst_port = 6602;
  const std::string file = scratch.dir() + "/raw.pcap";
  ASSERT_TRUE(zavo::test::WriteCookedCapture(file, ds));

  Proc sim(ZAVO_SIM_BIN, {"--listen", "127.0.0.1:6662", "--group", "239.255.6.22:6601",
                          "--raw-port", "6602", "--replay", file, "--max"});
  ASSERT_TRUE(AwaitListening(6662)) << sim.Err();
  Proc tail(ZAVO_TAIL_BIN, {"--server", "127.0.0.1:6662", "--group", "239.255.6.22:6602", "--raw",
                            "--markets", "SH", "--max-records", "3", "--duration", "20"});
  EXPECT_EQ(tail.Wait(30), 0) << tail.Err();
  EXPECT_TRUE(Contains(tail.Err(), "closed after 3 records")) << tail.Err();
  ASSERT_TRUE(sim.AwaitOutput("replay: pass 1 over")) << sim.Out();
  sim.Signal(SIGTERM);
  EXPECT_EQ(sim.Wait(), 0) << sim.Err();
  EXPECT_TRUE(Contains(sim.Out(), ", 3 raw messages;")) << sim.Out();
}

}  // namespace
