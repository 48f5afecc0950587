// feedtap and feedtap_gen run as processes, inside the suite's private
// network namespace, on its loopback interface.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "feedtap_test_util.h"
#include "process_util.h"

using feedgen::FeedMessage;
using feedtap_test::Join;
using feedtap_test::ReadFile;
using feedtap_test::TempDir;
using feedtap_test::WriteFile;
using namespace feedtap_test::process;
namespace fg = feedgen;

namespace {

std::string MinuteName(time_t at) {
  struct tm t;
  localtime_r(&at, &t);
  char name[64];
  std::snprintf(name, sizeof(name), "%d%02d%02d%02d%02d_cffex.txt", t.tm_year + 1900, t.tm_mon + 1,
                t.tm_mday, t.tm_hour, t.tm_min);
  return name;
}

void SendUdp(const char* dstIp, int port, const std::vector<uint8_t>& data) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(fd, 0);
  in_addr iface{};
  iface.s_addr = inet_addr("127.0.0.1");
  unsigned char ttl = 0;
  setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof(iface));
  setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl));
  sockaddr_in dst{};
  dst.sin_family = AF_INET;
  dst.sin_addr.s_addr = inet_addr(dstIp);
  dst.sin_port = htons(static_cast<uint16_t>(port));
  EXPECT_EQ(sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&dst), sizeof(dst)),
            static_cast<ssize_t>(data.size()));
  close(fd);
}

// Feed messages with hand-computed CSV text.
FeedMessage Trade() {
  using namespace fg::trade_rec;
  FeedMessage m(fg::kTickTrade, kSize);
  m.Text(kSecurityID, 8, "600000").I32(kUpdateTime, 93000123).I32(kUpdateMsec, 456);
  m.I32(kTradeIndex, 1001).I64(kPrice, 123450).I64(kTradeVolume, 5000).I64(kTurnOver, 6172500);
  m.I64(kTradeBuyNo, 880001).I64(kTradeSellNo, 990001).Text(kTradeBSFlag, 8, "B");
  m.I64(kBizIndex, 50000);
  return m;
}
const std::string kTradeText =
    "TD,600000,93000123,456,1001,1234500,5,617250,880001,990001,B,50000,T,";

FeedMessage Index() {
  using namespace fg::index_rec;
  FeedMessage m(fg::kIndexSnap, kSize);
  m.Text(kSecurityID, 8, "000300").I32(kUpdateTime, 100000000).I32(kUpdateMsec, 1);
  m.I64(kLast, 38123456).I64(kTradeVolume, 9999).I64(kTurnOver, 123);
  return m;
}
const std::string kIndexText = "IX,000300,100000000,1,381234560,9,12,";

FeedMessage Snap() {
  using namespace fg::snap_rec;
  FeedMessage m(fg::kFundSnap, kSize);
  m.Text(kSecurityID, 8, "510050").I32(kUpdateTime, 140000000).I32(kUpdateMsec, 2);
  m.I32(kLast, 2750).I64(kTradeNumber, 7).I64(kTradeVolume, 1000000).I64(kTurnOver, 2750000);
  m.I32(kDepth + 10 * kDepthSize + kDepthPrice, 2751);
  m.I64(kDepth + 10 * kDepthSize + kDepthVolume, 12000);
  m.I32(kDepth + kDepthPrice, 2749).I64(kDepth + kDepthVolume, 3000);
  return m;
}
const std::string kSnapText = "SP,510050,140000000,2,27500,7,1000,275000,27510,12,27490,3,";

// The datagrams of one capture run and the text feedtap must write for them.
struct Scenario {
  std::vector<std::vector<uint8_t>> datagrams;
  std::string expected;
};

Scenario MakeScenario() {
  Scenario s;
  s.datagrams.push_back(Join({Trade(), Index()}));
  s.datagrams.push_back(Join({FeedMessage(3346, fg::snap_rec::kSize), Snap()}));
  std::vector<uint8_t> withTail = Trade().Bytes();
  withTail.insert(withTail.end(), {9, 9, 9, 9, 9});
  s.datagrams.push_back(withTail);
  // After the malformed datagram capture must go on.
  s.datagrams.push_back(Join({Index()}));
  s.expected = kTradeText + kIndexText + kSnapText + kTradeText + kIndexText;
  return s;
}

std::string Config(const std::string& addr, int port, int promisc, const std::string& extra = "") {
  return "[general]\nMCADDR = " + addr + "\nMCPORT = " + std::to_string(port) +
         "\nLOCALIP = 127.0.0.1\nCSVOUT = 1\nmax_recv_buff_size = 65536\nPROMISC = " +
         std::to_string(promisc) + "\n" + extra;
}

// Runs feedtap until it is ready, lets `send` feed it, waits for the CSV
// text, stops it with SIGTERM and checks the exit and the file.
template <typename Send>
void CaptureRun(const TempDir& dir, const std::string& ready, const std::string& expected,
                Send send, std::string* log) {
  const time_t before = time(nullptr);
  const pid_t pid = Spawn(dir.path(), FEEDTAP_BIN, {});
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(AwaitFile(dir / "stdout.txt", [&](const std::string& t) {
    return Contains(t, ready);
  })) << ReadFile(dir / "stdout.txt");
  send();
  const std::string name = OnlyDataFile(dir.path());
  EXPECT_TRUE(AwaitFile(dir / ("data/" + name), [&](const std::string& t) {
    return t.size() >= expected.size();
  })) << ReadFile(dir / ("data/" + name));
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  const int status = WaitExit(pid);
  const time_t after = time(nullptr);
  *log = ReadFile(dir / "stdout.txt");
  ASSERT_TRUE(status >= 0 && WIFEXITED(status)) << *log;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(name == MinuteName(before) || name == MinuteName(after)) << name;
  EXPECT_EQ(ReadFile(dir / ("data/" + name)), expected);
  EXPECT_TRUE(Contains(*log, "create file: ./data/" + name + ".\n")) << *log;
  EXPECT_TRUE(Contains(*log, "Stopping on signal 15")) << *log;
}

// The closing count of a capture of MakeScenario(): messages, not datagrams
// (one Shenzhen snapshot is walked and not written).
const char kScenarioCount[] =
    "feedtap: 4 datagrams received, 5 records written, 1 messages skipped\n";

TEST(FeedtapProcess, MulticastCaptureStoppedBySigterm) {
  TempDir dir;
  WriteFile(dir / "config.ini", Config("239.9.9.9", 31100, 0));
  const Scenario s = MakeScenario();
  std::string log;
  CaptureRun(
      dir, "Start running udp rcv task...", s.expected,
      [&] {
        // Another port and another group must not be seen.
        SendUdp("239.9.9.9", 31101, Trade().Bytes());
        SendUdp("239.9.9.8", 31100, Trade().Bytes());
        for (const auto& d : s.datagrams) SendUdp("239.9.9.9", 31100, d);
      },
      &log);
  EXPECT_TRUE(Contains(log,
                       "Init Multicast Receive: LocalIp 127.0.0.1, groupIp 239.9.9.9, "
                       "groupPort 31100\n"))
      << log;
  EXPECT_TRUE(Contains(log, "InitRcvMulticast success.\n")) << log;
  EXPECT_TRUE(Contains(log, "Warnning::5 Bytes not handled...\n")) << log;
  EXPECT_TRUE(Contains(log, "Main thread loop\n")) << log;
  EXPECT_TRUE(Contains(log, "Stop running udp rcv task...\n")) << log;
  EXPECT_TRUE(Contains(log, kScenarioCount)) << log;
}

TEST(FeedtapProcess, PromiscuousCaptureOnLoopbackSeesEachDatagramOnce) {
  TempDir dir;
  WriteFile(dir / "config.ini", Config("127.0.0.1", 31200, 1, "CSVNEWLINE = 1\n"));
  // A bound socket absorbs the datagrams, so no port-unreachable replies.
  const int sink = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = inet_addr("127.0.0.1");
  at.sin_port = htons(31200);
  ASSERT_EQ(bind(sink, reinterpret_cast<sockaddr*>(&at), sizeof(at)), 0);

  Scenario s = MakeScenario();
  // A datagram whose frame is larger than a full-sized Ethernet frame (1514
  // bytes), as loopback and jumbo frames are: it must not be cut and lost.
  s.datagrams.push_back(Join({Snap(), Snap(), Snap(), Snap(), Snap(), Snap(), Snap(), Snap()}));
  std::string expected = kTradeText + "\n" + kIndexText + "\n" + kSnapText + "\n" + kTradeText +
                         "\n" + kIndexText + "\n";
  for (int i = 0; i < 8; ++i) expected += kSnapText + "\n";
  std::string log;
  CaptureRun(
      dir, "SetNicPromiscuosMode() Success!", expected,
      [&] {
        SendUdp("127.0.0.1", 31201, Trade().Bytes());  // other port: filtered out
        SendUdp("239.9.9.9", 31200, Trade().Bytes());  // other address: filtered out
        for (const auto& d : s.datagrams) SendUdp("127.0.0.1", 31200, d);
      },
      &log);
  close(sink);
  EXPECT_TRUE(Contains(log, "RunPromiscRcvLoop()\n")) << log;
  const std::string summary = "[UDP]127.0.0.1:";
  size_t count = 0;
  for (size_t p = log.find(summary); p != std::string::npos; p = log.find(summary, p + 1)) ++count;
  EXPECT_EQ(count, s.datagrams.size()) << log;
  EXPECT_TRUE(Contains(log, "->127.0.0.1:31200(" + std::to_string(8 + 104 + 104) + ")\n")) << log;
  EXPECT_TRUE(Contains(log, "->127.0.0.1:31200(" + std::to_string(8 + 8 * 440) + ")\n")) << log;
  EXPECT_TRUE(Contains(log, "Warnning::5 Bytes not handled...\n")) << log;
  EXPECT_TRUE(Contains(log, "~RunPromiscRcvLoop()\n")) << log;
}

TEST(FeedtapProcess, GeneratorFeedsTheTool) {
  TempDir dir;
  WriteFile(dir / "config.ini", Config("239.9.9.7", 31300, 0, "CSVNEWLINE = 1\n"));
  // Round 0 and round 1 of the generator, three messages per datagram.
  const std::string td0 = "TD,600000,93000000,0,1000,1234500,5,617250,880001,990001,B,50000,T,";
  const std::string od1 = "OD,600001,93100000,1,3,2001,1234600,3001,777000123,A,B,50002,";
  std::string log;
  const pid_t pid = Spawn(dir.path(), FEEDTAP_BIN, {});
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(AwaitFile(dir / "stdout.txt", [](const std::string& t) {
    return Contains(t, "Start running udp rcv task...");
  }));
  TempDir genDir;
  const pid_t gen =
      Spawn(genDir.path(), FEEDTAP_GEN_BIN,
            {"--group", "239.9.9.7", "--port", "31300", "--rounds", "2", "--per-datagram", "3"});
  const int genStatus = WaitExit(gen);
  EXPECT_TRUE(genStatus >= 0 && WIFEXITED(genStatus) && WEXITSTATUS(genStatus) == 0)
      << ReadFile(genDir / "stdout.txt");
  EXPECT_TRUE(Contains(ReadFile(genDir / "stdout.txt"), "sent 36 messages in 12 datagrams"));
  const std::string file = dir / ("data/" + OnlyDataFile(dir.path()));
  EXPECT_TRUE(AwaitFile(file, [&](const std::string& t) { return Contains(t, od1); }))
      << ReadFile(file);
  kill(pid, SIGTERM);
  const int status = WaitExit(pid);
  EXPECT_TRUE(status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const std::string text = ReadFile(file);
  std::vector<std::string> tags;
  for (size_t p = 0; p < text.size();) {
    const size_t nl = text.find('\n', p);
    if (nl == std::string::npos) break;
    tags.push_back(text.substr(p, 2));
    if (tags.size() == 6) {
      EXPECT_EQ(text.substr(p, nl - p), td0);
    }
    p = nl + 1;
  }
  const std::vector<std::string> round = {"IX", "SP", "SP", "SP", "OP", "TD", "OD"};
  std::vector<std::string> want = round;
  want.insert(want.end(), round.begin(), round.end());
  EXPECT_EQ(tags, want) << text;
  EXPECT_TRUE(Contains(text, od1 + "\n"));

  // The file form holds the same payloads back to back: 2756 bytes a round.
  const pid_t toFile = Spawn(genDir.path(), FEEDTAP_GEN_BIN,
                             {"--rounds", "3", "--file", "feed.bin", "--trailing-bytes", "3"});
  const int fileStatus = WaitExit(toFile);
  EXPECT_TRUE(fileStatus >= 0 && WIFEXITED(fileStatus) && WEXITSTATUS(fileStatus) == 0);
  const std::string bin = ReadFile(genDir / "feed.bin");
  ASSERT_EQ(bin.size(), 3u * 2756u + 3u);
  int records = 0;
  testing::internal::CaptureStdout();
  feedtap_test::Decode(std::vector<uint8_t>(bin.begin(), bin.end()), &records);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Warnning::3 Bytes not handled...\n");
  EXPECT_EQ(records, 21);
}

TEST(FeedtapProcess, ConfigurationErrorsEndWithFailure) {
  struct Case {
    const char* name;
    const char* config;  // null: no file at all
    const char* message;
  };
  const Case cases[] = {
      {"missing file", nullptr,
       "read config.ini error. Cannot open ./config.ini: No such file or directory\n"},
      {"key before section", "MCADDR=239.1.1.1\n[general]\nMCPORT=1\n",
       "read config.ini error. ./config.ini: a key line comes before the first [section]\n"},
      {"no general", "[other]\nMCPORT=1\nCSVOUT=0\nPROMISC=0\n",
       "Err:Cannot find section [general]... in ./config.ini\n"},
      {"empty file", "",
       "Err:Cannot find section [general]... in ./config.ini (it holds no section)\n"},
      {"comments only", "# nothing yet\n\n",
       "Err:Cannot find section [general]... in ./config.ini (it holds no section)\n"},
      {"no MCPORT", "[general]\nCSVOUT=0\nPROMISC=0\n", "MCPORT"},
      {"MCPORT not a number", "[general]\nMCPORT=x3000\nCSVOUT=0\nPROMISC=0\n", "MCPORT"},
      {"MCPORT trailing text", "[general]\nMCPORT=3000x\nCSVOUT=0\nPROMISC=0\n",
       "Err:key MCPORT is not a number: 3000x\n"},
      {"no CSVOUT", "[general]\nMCPORT=3000\nPROMISC=0\n", "CSVOUT"},
      {"CSVOUT trailing text", "[general]\nMCPORT=3000\nCSVOUT=1.5\nPROMISC=0\n", "CSVOUT"},
      {"PROMISC not a number", "[general]\nMCPORT=3000\nCSVOUT=0\nPROMISC=on\n", "PROMISC"},
      {"no PROMISC", "[general]\nMCPORT=3000\nCSVOUT=0\n", "PROMISC"},
      {"MCPORT out of range", "[general]\nMCPORT=70000\nCSVOUT=0\nPROMISC=0\n", "MCPORT"},
      {"read size not a number",
       "[general]\nMCPORT=3000\nCSVOUT=0\nPROMISC=0\nmax_recv_buff_size=64k\n",
       "Err:key max_recv_buff_size is not a number: 64k\n"},
      {"read size negative", "[general]\nMCPORT=3000\nCSVOUT=0\nPROMISC=0\nmax_recv_buff_size=-1\n",
       "max_recv_buff_size"},
      {"line feed flag not a number",
       "[general]\nMCPORT=3000\nCSVOUT=0\nPROMISC=0\nCSVNEWLINE=yes\n", "CSVNEWLINE"},
      {"bad filter address", "[general]\nMCADDR=239.1.1\nMCPORT=1\nCSVOUT=0\nPROMISC=1\n",
       "MCADDR"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    if (c.config != nullptr) WriteFile(dir / "config.ini", c.config);
    const pid_t pid = Spawn(dir.path(), FEEDTAP_BIN, {});
    const int status = WaitExit(pid);
    const std::string out = ReadFile(dir / "stdout.txt");
    ASSERT_TRUE(status >= 0 && WIFEXITED(status)) << c.name;
    EXPECT_EQ(WEXITSTATUS(status), 2) << c.name << ": " << out;
    EXPECT_TRUE(Contains(out, c.message)) << c.name << ": " << out;
  }

  // Leading blanks and a sign are fine; --config reads another file, and
  // names it when it cannot; CSVOUT 0 writes no file.
  TempDir dir;
  const pid_t missing = Spawn(dir.path(), FEEDTAP_BIN, {"--config", "missing.ini"});
  const int missingStatus = WaitExit(missing);
  EXPECT_TRUE(missingStatus >= 0 && WIFEXITED(missingStatus) && WEXITSTATUS(missingStatus) == 2);
  EXPECT_TRUE(Contains(ReadFile(dir / "stdout.txt"),
                       "read config.ini error. Cannot open missing.ini: No such file or directory"))
      << ReadFile(dir / "stdout.txt");
  WriteFile(dir / "other.ini",
            "[general]\nMCADDR=239.9.9.6\nMCPORT=  +31400\nLOCALIP=127.0.0.1\nCSVOUT=0 \n"
            "PROMISC=0\n");
  const pid_t pid = Spawn(dir.path(), FEEDTAP_BIN, {"--config", "other.ini"});
  ASSERT_TRUE(AwaitFile(dir / "stdout.txt", [](const std::string& t) {
    return Contains(t, "Start running udp rcv task...");
  }));
  kill(pid, SIGINT);
  const int status = WaitExit(pid);
  const std::string out = ReadFile(dir / "stdout.txt");
  EXPECT_TRUE(status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 130) << out;
  EXPECT_TRUE(Contains(out,
                       "feedtap: 0 datagrams received, 0 records written, 0 messages "
                       "skipped\n"))
      << out;
  EXPECT_TRUE(Contains(out, "groupPort 31400\n")) << out;
  EXPECT_EQ(OnlyDataFile(dir.path()), "");

  // --help succeeds; an unknown argument is a usage error.
  const pid_t help = Spawn(dir.path(), FEEDTAP_BIN, {"--help"});
  const int helpStatus = WaitExit(help);
  EXPECT_TRUE(helpStatus >= 0 && WIFEXITED(helpStatus) && WEXITSTATUS(helpStatus) == 0);
  EXPECT_TRUE(Contains(ReadFile(dir / "stdout.txt"), "Usage: feedtap"));
  const pid_t wrong = Spawn(dir.path(), FEEDTAP_BIN, {"--bogus"});
  const int wrongStatus = WaitExit(wrong);
  EXPECT_TRUE(wrongStatus >= 0 && WIFEXITED(wrongStatus) && WEXITSTATUS(wrongStatus) == 2);
}

TEST(FeedtapProcess, CaptureThatCannotStartEndsWithFailure) {
  struct Case {
    const char* name;
    std::string config;
    const char* message;
  };
  const Case cases[] = {
      // No interface holds this address in the test's namespace.
      {"join on a foreign interface",
       "[general]\nMCADDR=239.9.9.4\nMCPORT=31600\nLOCALIP=10.9.9.9\nCSVOUT=1\nPROMISC=0\n",
       "feedtap: cannot receive group 239.9.9.4 port 31600 on interface 10.9.9.9; exiting\n"},
      {"no group in multicast mode",
       "[general]\nMCPORT=31600\nLOCALIP=127.0.0.1\nCSVOUT=1\nPROMISC=0\n",
       "ERR:group address is not an IPv4 address: ''\n"},
      {"promiscuous on a foreign interface",
       "[general]\nMCPORT=31600\nLOCALIP=10.9.9.9\nCSVOUT=1\nPROMISC=1\n",
       "Failed to SetNicPromiscuosMode!\n"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    WriteFile(dir / "config.ini", c.config);
    const pid_t pid = Spawn(dir.path(), FEEDTAP_BIN, {});
    const int status = WaitExit(pid);
    const std::string out = ReadFile(dir / "stdout.txt");
    ASSERT_TRUE(status >= 0 && WIFEXITED(status)) << c.name << ": " << out;
    EXPECT_EQ(WEXITSTATUS(status), 1) << c.name << ": " << out;
    EXPECT_TRUE(Contains(out, c.message)) << c.name << ": " << out;
    EXPECT_FALSE(Contains(out, "Main thread loop")) << c.name << ": " << out;
    // Nothing was captured, so no empty file is left behind.
    EXPECT_EQ(OnlyDataFile(dir.path()), "") << c.name;
  }
}

TEST(FeedtapProcess, CsvOnStandardOutputIsAloneThereAndReadsWholeDatagrams) {
  TempDir dir;
  // No max_recv_buff_size: whole datagrams are read, and the size is said.
  WriteFile(dir / "config.ini",
            "[general]\nMCADDR=239.9.9.3\nMCPORT=31700\nLOCALIP=127.0.0.1\nCSVOUT=0\nPROMISC=0\n");
  const pid_t pid = Spawn(dir.path(), FEEDTAP_BIN, {}, "stderr.txt");
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(AwaitFile(dir / "stderr.txt", [](const std::string& t) {
    return Contains(t, "Start running udp rcv task...");
  })) << ReadFile(dir / "stderr.txt");
  const Scenario s = MakeScenario();
  for (const auto& d : s.datagrams) SendUdp("239.9.9.3", 31700, d);
  // Written out while the tool keeps running, once the feed pauses.
  EXPECT_TRUE(AwaitFile(dir / "stdout.txt", [&](const std::string& t) {
    return t.size() >= s.expected.size();
  })) << ReadFile(dir / "stdout.txt");
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  const int status = WaitExit(pid);
  const std::string err = ReadFile(dir / "stderr.txt");
  EXPECT_TRUE(status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << err;
  EXPECT_EQ(ReadFile(dir / "stdout.txt"), s.expected);
  EXPECT_TRUE(Contains(err, "max_recv_buff_size: 65536 bytes (default)\n")) << err;
  EXPECT_TRUE(Contains(err, "InitRcvMulticast success.\n")) << err;
  EXPECT_TRUE(Contains(err, "Warnning::5 Bytes not handled...\n")) << err;
  EXPECT_TRUE(Contains(err, "Stopping on signal 15\n")) << err;

  // 0 means the same as a missing key.
  TempDir dir2;
  WriteFile(dir2 / "config.ini",
            "[general]\nMCADDR=239.9.9.3\nMCPORT=31700\nLOCALIP=127.0.0.1\nCSVOUT=0\nPROMISC=0\n"
            "max_recv_buff_size = 0\n");
  const pid_t again = Spawn(dir2.path(), FEEDTAP_BIN, {}, "stderr.txt");
  ASSERT_TRUE(AwaitFile(dir2 / "stderr.txt", [](const std::string& t) {
    return Contains(t, "Start running udp rcv task...");
  }));
  SendUdp("239.9.9.3", 31700, Trade().Bytes());
  EXPECT_TRUE(AwaitFile(dir2 / "stdout.txt", [](const std::string& t) { return t == kTradeText; }))
      << ReadFile(dir2 / "stdout.txt");
  kill(again, SIGINT);
  const int againStatus = WaitExit(again);
  EXPECT_TRUE(againStatus >= 0 && WIFEXITED(againStatus) && WEXITSTATUS(againStatus) == 130);
  EXPECT_TRUE(Contains(ReadFile(dir2 / "stderr.txt"),
                       "feedtap: 1 datagrams received, 1 records written, 0 messages skipped\n"))
      << ReadFile(dir2 / "stderr.txt");
  EXPECT_TRUE(Contains(ReadFile(dir2 / "stderr.txt"), "max_recv_buff_size: 65536 bytes (default)"));
}

TEST(FeedtapProcess, RestartWithinTheMinuteKeepsTheEarlierRecords) {
  TempDir dir;
  WriteFile(dir / "config.ini", Config("239.9.9.2", 31800, 0));
  // The file of this minute and of the next hold an earlier run's records,
  // so the check holds whichever minute the tool starts in.
  ASSERT_EQ(mkdir((dir / "data").c_str(), 0775), 0);
  const time_t now = time(nullptr);
  for (time_t at : {now, now + 60}) WriteFile(dir / ("data/" + MinuteName(at)), kIndexText);
  const pid_t pid = Spawn(dir.path(), FEEDTAP_BIN, {});
  ASSERT_TRUE(AwaitFile(dir / "stdout.txt", [](const std::string& t) {
    return Contains(t, "Start running udp rcv task...");
  }));
  const std::string log = ReadFile(dir / "stdout.txt");
  const size_t at = log.find("create file: ./data/");
  ASSERT_NE(at, std::string::npos) << log;
  const std::string name = log.substr(at + 20, log.find(".\n", at) - at - 20);
  SendUdp("239.9.9.2", 31800, Trade().Bytes());
  EXPECT_TRUE(AwaitFile(dir / ("data/" + name), [](const std::string& t) {
    return t.size() >= kIndexText.size() + kTradeText.size();
  }));
  kill(pid, SIGTERM);
  const int status = WaitExit(pid);
  EXPECT_TRUE(status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(ReadFile(dir / ("data/" + name)), kIndexText + kTradeText) << name;
}

}  // namespace
