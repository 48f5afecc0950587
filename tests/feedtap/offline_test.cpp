// feedtap --pcap: a capture file gives the same CSV as the live capture of
// the same datagrams. Runs inside the suite's private network namespace.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "feedtap_test_util.h"
#include "pcap_input.h"
#include "process_util.h"
#include "zstd_input.h"
#include "zstd_output.h"

using feedtap_test::ReadFile;
using feedtap_test::TempDir;
using feedtap_test::WriteFile;
using namespace feedtap_test::process;

namespace {

constexpr const char* kGroup = "239.9.9.1";
constexpr int kPort = 31900;

std::string Config(int csvOut, const std::string& addr = kGroup, int port = kPort) {
  return "[general]\nMCADDR = " + addr + "\nMCPORT = " + std::to_string(port) +
         "\nLOCALIP = 127.0.0.1\nCSVOUT = " + std::to_string(csvOut) + "\nPROMISC = 0\n";
}

bool ExitedWith(int status, int code) {
  return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == code;
}

int RunToEnd(const std::string& dir, const std::string& bin, const std::vector<std::string>& args,
             const std::string& errName = "stdout.txt") {
  return WaitExit(Spawn(dir, bin, args, errName), 30);
}

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t p = text.find(part); p != std::string::npos; p = text.find(part, p + 1)) ++n;
  return n;
}

// Records loopback traffic into a capture file, the way an operator's
// capture of the feed would be made.
class LoopbackRecorder {
 public:
  explicit LoopbackRecorder(const std::string& path) {
    char err[PCAP_ERRBUF_SIZE] = {0};
    pc_ = pcap_create("lo", err);
    if (pc_ == nullptr) {
      error_ = err;
      return;
    }
    // The ring holds whole frames of snapshot length: a short one (every
    // datagram here fits) leaves room for all of them until they are pumped.
    pcap_set_snaplen(pc_, 2048);
    pcap_set_buffer_size(pc_, 8 << 20);
    pcap_set_immediate_mode(pc_, 1);
    if (pcap_activate(pc_) < 0 || pcap_setnonblock(pc_, 1, err) != 0) {
      error_ = pcap_geterr(pc_);
      return;
    }
    dump_ = pcap_dump_open(pc_, path.c_str());
    if (dump_ == nullptr) error_ = pcap_geterr(pc_);
  }
  ~LoopbackRecorder() {
    if (dump_ != nullptr) pcap_dump_close(dump_);
    if (pc_ != nullptr) pcap_close(pc_);
  }
  const std::string& error() const { return error_; }
  // Writes what has been seen so far; returns the number of packets.
  int Pump() {
    const int n = pcap_dispatch(pc_, -1, pcap_dump, reinterpret_cast<u_char*>(dump_));
    return n > 0 ? n : 0;
  }
  void Close() {
    pcap_dump_close(dump_);
    dump_ = nullptr;
  }

 private:
  pcap_t* pc_ = nullptr;
  pcap_dumper_t* dump_ = nullptr;
  std::string error_;
};

// Messages of a generator round that feedtap walks without writing: every
// kind but the 7 records it writes.
const size_t kSkippedPerRound = feedgen::MakeRound(0).size() - 7;

// The generator's feed: three rounds of every kind, two messages per
// datagram, a stray tail on the last datagram.
std::vector<std::vector<uint8_t>> GeneratorFeed() {
  std::vector<feedgen::FeedMessage> msgs;
  for (int r = 0; r < 3; ++r) {
    const auto round = feedgen::MakeRound(r);
    msgs.insert(msgs.end(), round.begin(), round.end());
  }
  auto datagrams = feedgen::PackDatagrams(msgs, 2, 1458);
  datagrams.back().insert(datagrams.back().end(), 5, 0xEE);
  return datagrams;
}

// Sends to 127.0.0.1:port from a socket of its own; `sink` absorbs them.
void SendAll(int port, const std::vector<std::vector<uint8_t>>& datagrams) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in dst{};
  dst.sin_family = AF_INET;
  dst.sin_addr.s_addr = inet_addr("127.0.0.1");
  dst.sin_port = htons(static_cast<uint16_t>(port));
  for (const auto& d : datagrams) {
    EXPECT_EQ(sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&dst), sizeof(dst)),
              static_cast<ssize_t>(d.size()));
  }
  close(fd);
}

int BoundSink(int port) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = inet_addr("127.0.0.1");
  at.sin_port = htons(static_cast<uint16_t>(port));
  int big = 4 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
  return bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof(at)) == 0 ? fd : -1;
}

TEST(FeedtapOffline, LiveCaptureAndItsCaptureFileWriteTheSameCsv) {
  // feedtap captures the interface live while a recorder writes the same
  // frames to a capture file; then feedtap converts that file.
  TempDir live;
  WriteFile(live / "config.ini",
            "[general]\nMCADDR = 127.0.0.1\nMCPORT = " + std::to_string(kPort) +
                "\nLOCALIP = 127.0.0.1\nCSVOUT = 1\nPROMISC = 1\n");
  const int sink = BoundSink(kPort);
  const int otherSink = BoundSink(kPort + 1);
  ASSERT_GE(sink, 0);
  ASSERT_GE(otherSink, 0);
  LoopbackRecorder recorder(live / "feed.pcap");
  ASSERT_EQ(recorder.error(), "");

  const pid_t tap = Spawn(live.path(), FEEDTAP_BIN, {});
  ASSERT_TRUE(AwaitFile(live / "stdout.txt", [](const std::string& t) {
    return Contains(t, "SetNicPromiscuosMode() Success!");
  })) << ReadFile(live / "stdout.txt");
  // The feed, then the same to another port, which the filter drops.
  const auto feed = GeneratorFeed();
  ASSERT_EQ(feed.size(), 27u);
  SendAll(kPort, feed);
  SendAll(kPort + 1, feed);
  const std::string csvName = OnlyDataFile(live.path());
  ASSERT_NE(csvName, "");
  // 3 rounds of 7 recorded kinds.
  EXPECT_TRUE(AwaitFile(live / ("data/" + csvName),
                        [](const std::string& t) { return Count(t, "OD,") == 3; }));
  kill(tap, SIGTERM);
  EXPECT_TRUE(ExitedWith(WaitExit(tap), 0));
  close(sink);
  close(otherSink);
  const std::string liveCsv = ReadFile(live / ("data/" + csvName));
  ASSERT_EQ(Count(liveCsv, "TD,"), 3u) << liveCsv;

  // 27 datagrams to each port.
  int packets = 0;
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (packets < 54 && Clock::now() < deadline) {
    const int n = recorder.Pump();
    if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    packets += n;
  }
  recorder.Close();
  ASSERT_GE(packets, 54);

  // Offline, CSV on standard output: the same bytes, and nothing else there.
  TempDir off;
  WriteFile(off / "config.ini", Config(0, "127.0.0.1"));
  EXPECT_TRUE(ExitedWith(
      RunToEnd(off.path(), FEEDTAP_BIN, {"--pcap", live / "feed.pcap"}, "stderr.txt"), 0))
      << ReadFile(off / "stderr.txt");
  EXPECT_EQ(ReadFile(off / "stdout.txt"), liveCsv);
  const std::string said = ReadFile(off / "stderr.txt");
  EXPECT_TRUE(Contains(said, "27 datagrams matched, 21 records written, " +
                                 std::to_string(kSkippedPerRound * 3) + " messages skipped\n"))
      << said;
  EXPECT_TRUE(Contains(said, "Warnning::5 Bytes not handled...\n")) << said;

  // The generator's own capture file of the same feed, into a CSV file.
  TempDir gen2;
  EXPECT_TRUE(ExitedWith(
      RunToEnd(gen2.path(), FEEDTAP_GEN_BIN,
               {"--group", kGroup, "--port", std::to_string(kPort), "--rounds", "3",
                "--per-datagram", "2", "--trailing-bytes", "5", "--pcap-out", "gen.pcap"}),
      0));
  WriteFile(gen2 / "config.ini", Config(1));
  EXPECT_TRUE(ExitedWith(RunToEnd(gen2.path(), FEEDTAP_BIN, {"--pcap", "gen.pcap"}), 0))
      << ReadFile(gen2 / "stdout.txt");
  EXPECT_TRUE(Contains(ReadFile(gen2 / "stdout.txt"),
                       "feedtap: gen.pcap: 27 packets read, 27 datagrams matched, 21 records "
                       "written, " +
                           std::to_string(kSkippedPerRound * 3) + " messages skipped\n"))
      << ReadFile(gen2 / "stdout.txt");
  const std::string genCsv = OnlyDataFile(gen2.path());
  ASSERT_NE(genCsv, "");
  EXPECT_EQ(ReadFile(gen2 / ("data/" + genCsv)), liveCsv);

  // With MCADDR empty and MCPORT 0 every datagram passes: both ports.
  TempDir any;
  WriteFile(any / "config.ini", Config(0, "", 0));
  EXPECT_TRUE(ExitedWith(
      RunToEnd(any.path(), FEEDTAP_BIN, {"--pcap", live / "feed.pcap"}, "stderr.txt"), 0));
  EXPECT_EQ(ReadFile(any / "stdout.txt"), liveCsv + liveCsv);
}

TEST(FeedtapOffline, DamagedFilesAreReportedAndKeepWhatWasWritten) {
  TempDir dir;
  ASSERT_TRUE(ExitedWith(RunToEnd(dir.path(), FEEDTAP_GEN_BIN,
                                  {"--group", kGroup, "--port", std::to_string(kPort), "--rounds",
                                   "1", "--pcap-out", "whole.pcap"}),
                         0));
  WriteFile(dir / "config.ini", Config(0));
  ASSERT_TRUE(
      ExitedWith(RunToEnd(dir.path(), FEEDTAP_BIN, {"--pcap", "whole.pcap"}, "err.txt"), 0));
  const std::string whole = ReadFile(dir / "stdout.txt");
  ASSERT_EQ(Count(whole, "TD,"), 1u) << whole;

  // Cut inside the record of the trade (the 6th of 18 datagrams): the
  // records before it are written, then the damage is reported.
  const std::string bytes = ReadFile(dir / "whole.pcap");
  size_t at = 24;
  for (int i = 0; i < 5; ++i) {
    uint32_t caplen = 0;
    std::memcpy(&caplen, bytes.data() + at + 8, 4);
    at += 16 + caplen;
  }
  WriteFile(dir / "cut.pcap", bytes.substr(0, at + 16 + 30));
  EXPECT_TRUE(ExitedWith(RunToEnd(dir.path(), FEEDTAP_BIN, {"--pcap", "cut.pcap"}, "err.txt"), 1));
  const std::string kept = ReadFile(dir / "stdout.txt");
  const std::string said = ReadFile(dir / "err.txt");
  EXPECT_EQ(kept, whole.substr(0, whole.find("TD,"))) << said;
  EXPECT_TRUE(Contains(said, "5 packets read, 5 datagrams matched, 5 records written")) << said;
  EXPECT_TRUE(Contains(said, "feedtap: cut.pcap is damaged or cut short after 5 packets: "))
      << said;

  // Not a capture file at all, and a missing one: input errors, and with
  // CSVOUT = 1 no CSV file is made for them.
  TempDir bad;
  WriteFile(bad / "config.ini", Config(1));
  WriteFile(bad / "text.pcap", "[general]\nthis is not a capture\n");
  EXPECT_TRUE(ExitedWith(RunToEnd(bad.path(), FEEDTAP_BIN, {"--pcap", "text.pcap"}, "err.txt"), 2));
  EXPECT_TRUE(Contains(ReadFile(bad / "err.txt"), "feedtap: cannot read capture file text.pcap: "));
  EXPECT_EQ(ReadFile(bad / "stdout.txt"), "");
  EXPECT_TRUE(ExitedWith(RunToEnd(bad.path(), FEEDTAP_BIN, {"--pcap", "none.pcap"}, "err.txt"), 2));
  EXPECT_TRUE(Contains(ReadFile(bad / "err.txt"), "cannot read capture file none.pcap: "));
  EXPECT_EQ(OnlyDataFile(bad.path()), "");
  EXPECT_FALSE(Contains(ReadFile(bad / "stdout.txt"), "create file"))
      << ReadFile(bad / "stdout.txt");

  // The sample configuration shipped with the tool reads as it stands (its
  // group is not the one of whole.pcap: nothing matches, the CSV file is
  // still made).
  EXPECT_TRUE(ExitedWith(
      RunToEnd(bad.path(), FEEDTAP_BIN,
               {"--config", FEEDTAP_SAMPLE_CONFIG, "--pcap", dir / "whole.pcap"}, "err.txt"),
      0))
      << ReadFile(bad / "err.txt");
  EXPECT_TRUE(
      Contains(ReadFile(bad / "stdout.txt"),
               "packets read, 0 datagrams matched, 0 records written, 0 messages skipped\n"))
      << ReadFile(bad / "stdout.txt");
  EXPECT_NE(OnlyDataFile(bad.path()), "");
}

// Compresses `bytes` into `path` as the recorder does; the returned list
// holds the file size at the end of each frame of `frameBytes` input.
std::vector<size_t> CompressFile(const std::string& path, const std::string& bytes,
                                 size_t frameBytes) {
  std::vector<size_t> frameEnds;
  FILE* sink = std::fopen(path.c_str(), "wb");
  EXPECT_NE(sink, nullptr);
  std::string error;
  auto z = zavo::record::ZstdOutput::Open(sink, zavo::record::ZstdOutput::kDefaultLevel, &error);
  EXPECT_TRUE(z) << error;
  if (!z) return frameEnds;
  for (size_t at = 0; at < bytes.size(); at += frameBytes) {
    const size_t n = std::min(frameBytes, bytes.size() - at);
    EXPECT_EQ(std::fwrite(bytes.data() + at, 1, n, z->stream()), n);
    EXPECT_EQ(std::fflush(z->stream()), 0);
    EXPECT_TRUE(z->EndFrame());
    frameEnds.push_back(static_cast<size_t>(z->file_bytes()));
  }
  EXPECT_EQ(std::fclose(z->stream()), 0);
  EXPECT_TRUE(z->ok());
  return frameEnds;
}

TEST(FeedtapOffline, CompressedCaptureWritesTheSameCsv) {
  if (!zavo::record::ZstdSupported()) GTEST_SKIP() << "built without libzstd";
  TempDir dir;
  ASSERT_TRUE(ExitedWith(RunToEnd(dir.path(), FEEDTAP_GEN_BIN,
                                  {"--group", kGroup, "--port", std::to_string(kPort), "--rounds",
                                   "3", "--per-datagram", "2", "--pcap-out", "gen.pcap"}),
                         0));
  WriteFile(dir / "config.ini", Config(0));
  ASSERT_TRUE(ExitedWith(RunToEnd(dir.path(), FEEDTAP_BIN, {"--pcap", "gen.pcap"}, "err.txt"), 0));
  const std::string plainCsv = ReadFile(dir / "stdout.txt");
  ASSERT_EQ(Count(plainCsv, "TD,"), 3u) << plainCsv;

  // Four frames; read by its content whatever its name.
  const std::string plain = ReadFile(dir / "gen.pcap");
  const std::vector<size_t> frameEnds =
      CompressFile(dir / "gen.pcap.zst", plain, plain.size() / 4 + 1);
  ASSERT_EQ(frameEnds.size(), 4u);
  const std::string zst = ReadFile(dir / "gen.pcap.zst");
  WriteFile(dir / "renamed.pcap", zst);
  for (const char* name : {"gen.pcap.zst", "renamed.pcap"}) {
    EXPECT_TRUE(ExitedWith(RunToEnd(dir.path(), FEEDTAP_BIN, {"--pcap", name}, "err.txt"), 0))
        << ReadFile(dir / "err.txt");
    EXPECT_EQ(ReadFile(dir / "stdout.txt"), plainCsv) << name;
  }
  const std::string said = ReadFile(dir / "err.txt");
  EXPECT_TRUE(
      Contains(said, "renamed.pcap: 27 packets read, 27 datagrams matched, 21 records written"))
      << said;

  // Cut inside the last frame: the records before are written, the cut
  // is named with its place in the file.
  const size_t cutAt = frameEnds[2] + (frameEnds[3] - frameEnds[2]) / 2;
  WriteFile(dir / "cut.pcap.zst", zst.substr(0, cutAt));
  EXPECT_TRUE(
      ExitedWith(RunToEnd(dir.path(), FEEDTAP_BIN, {"--pcap", "cut.pcap.zst"}, "err.txt"), 1));
  const std::string cutSaid = ReadFile(dir / "err.txt");
  EXPECT_TRUE(Contains(cutSaid, "feedtap: cut.pcap.zst is damaged or cut short after ")) << cutSaid;
  EXPECT_TRUE(Contains(cutSaid, "truncated compressed file: it ends at byte " +
                                    std::to_string(cutAt) + " inside the frame from byte " +
                                    std::to_string(frameEnds[2])))
      << cutSaid;
  const std::string kept = ReadFile(dir / "stdout.txt");
  EXPECT_FALSE(kept.empty());
  EXPECT_EQ(kept, plainCsv.substr(0, kept.size()));
  EXPECT_LT(kept.size(), plainCsv.size());

  // Damage inside the second frame: the first frame's records only.
  std::string bad = zst;
  const size_t mid = frameEnds[0] + (frameEnds[1] - frameEnds[0]) / 2;
  for (size_t i = mid; i < mid + 8; ++i) bad[i] = static_cast<char>(bad[i] ^ 0x5a);
  WriteFile(dir / "bad.pcap.zst", bad);
  EXPECT_TRUE(
      ExitedWith(RunToEnd(dir.path(), FEEDTAP_BIN, {"--pcap", "bad.pcap.zst"}, "err.txt"), 1));
  const std::string badSaid = ReadFile(dir / "err.txt");
  EXPECT_TRUE(Contains(badSaid, "damaged compressed data at byte ")) << badSaid;
  EXPECT_TRUE(Contains(badSaid, "in the frame from byte " + std::to_string(frameEnds[0])))
      << badSaid;
  const std::string badKept = ReadFile(dir / "stdout.txt");
  EXPECT_EQ(badKept, plainCsv.substr(0, badKept.size()));
  EXPECT_LT(badKept.size(), kept.size());
}

// Link types other than Ethernet reach the same parser.
TEST(FeedtapOffline, LinkTypeOffsets) {
  const unsigned char eth[20] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x08, 0x00, 0x45};
  EXPECT_EQ(Qen::Ipv4OffsetForLinkType(DLT_EN10MB, eth, sizeof(eth)), 14);
  const unsigned char arp[20] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x08, 0x06};
  EXPECT_EQ(Qen::Ipv4OffsetForLinkType(DLT_EN10MB, arp, sizeof(arp)), -1);
  unsigned char sll[20] = {};
  sll[14] = 0x08;
  sll[16] = 0x45;
  EXPECT_EQ(Qen::Ipv4OffsetForLinkType(DLT_LINUX_SLL, sll, sizeof(sll)), 16);
  EXPECT_EQ(Qen::Ipv4OffsetForLinkType(DLT_LINUX_SLL, sll, 15), -1);
  const unsigned char raw[4] = {0x45, 0, 0, 0};
  EXPECT_EQ(Qen::Ipv4OffsetForLinkType(DLT_RAW, raw, sizeof(raw)), 0);
  const unsigned char raw6[4] = {0x60, 0, 0, 0};
  EXPECT_EQ(Qen::Ipv4OffsetForLinkType(DLT_RAW, raw6, sizeof(raw6)), -1);
  const unsigned char loopLe[5] = {2, 0, 0, 0, 0x45};
  const unsigned char loopBe[5] = {0, 0, 0, 2, 0x45};
  const unsigned char loop6[5] = {30, 0, 0, 0, 0x60};
  EXPECT_EQ(Qen::Ipv4OffsetForLinkType(DLT_NULL, loopLe, sizeof(loopLe)), 4);
  EXPECT_EQ(Qen::Ipv4OffsetForLinkType(DLT_LOOP, loopBe, sizeof(loopBe)), 4);
  EXPECT_EQ(Qen::Ipv4OffsetForLinkType(DLT_NULL, loop6, sizeof(loop6)), -1);
  EXPECT_EQ(Qen::Ipv4OffsetForLinkType(DLT_IEEE802_11, eth, sizeof(eth)), -1);
}

}  // namespace
