// feedtap and feedtap_gen run as processes, inside the suite's private
// network namespace, on its loopback interface.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "feedtap_test_util.h"

using feedgen::FeedMessage;
using feedtap_test::Join;
using feedtap_test::ReadFile;
using feedtap_test::TempDir;
using feedtap_test::WriteFile;
namespace fg = feedgen;

namespace {

using Clock = std::chrono::steady_clock;

// Starts `bin` with `args` in `dir`, standard output and error going to
// dir/stdout.txt.
pid_t Spawn(const std::string& dir, const std::string& bin, std::vector<std::string> args) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  if (chdir(dir.c_str()) != 0) _exit(126);
  const int fd = open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) _exit(126);
  dup2(fd, 1);
  dup2(fd, 2);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(bin.c_str()));
  for (auto& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  execv(bin.c_str(), argv.data());
  _exit(127);
}

// Waits (bounded) for the process to end; returns its wait status or -1.
int WaitExit(pid_t pid, int seconds = 10) {
  const auto deadline = Clock::now() + std::chrono::seconds(seconds);
  int status = 0;
  while (Clock::now() < deadline) {
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return status;
    if (r < 0) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

// Waits (bounded) until `pred` holds for the text of `path`.
template <typename Pred>
bool AwaitFile(const std::string& path, Pred pred, int seconds = 10) {
  const auto deadline = Clock::now() + std::chrono::seconds(seconds);
  while (Clock::now() < deadline) {
    if (pred(ReadFile(path))) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return pred(ReadFile(path));
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The one CSV file under dir/data, or "" if there is not exactly one.
std::string OnlyDataFile(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir((dir + "/data").c_str())) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    }
    closedir(d);
  }
  return names.size() == 1 ? names[0] : "";
}

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

  const Scenario s = MakeScenario();
  const std::string expected = kTradeText + "\n" + kIndexText + "\n" + kSnapText + "\n" +
                               kTradeText + "\n" + kIndexText + "\n";
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
      {"missing file", nullptr, "read config.ini error.\n"},
      {"key before section", "MCADDR=239.1.1.1\n[general]\nMCPORT=1\n", "read config.ini error.\n"},
      {"no general", "[other]\nMCPORT=1\nCSVOUT=0\nPROMISC=0\n",
       "Err:Cannot find section [general]...\n"},
      {"no MCPORT", "[general]\nCSVOUT=0\nPROMISC=0\n", "MCPORT"},
      {"MCPORT not a number", "[general]\nMCPORT=x3000\nCSVOUT=0\nPROMISC=0\n", "MCPORT"},
      {"no CSVOUT", "[general]\nMCPORT=3000\nPROMISC=0\n", "CSVOUT"},
      {"PROMISC not a number", "[general]\nMCPORT=3000\nCSVOUT=0\nPROMISC=on\n", "PROMISC"},
      {"no PROMISC", "[general]\nMCPORT=3000\nCSVOUT=0\n", "PROMISC"},
      {"MCPORT out of range", "[general]\nMCPORT=70000\nCSVOUT=0\nPROMISC=0\n", "MCPORT"},
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
    EXPECT_EQ(WEXITSTATUS(status), 1) << c.name << ": " << out;
    EXPECT_TRUE(Contains(out, c.message)) << c.name << ": " << out;
  }

  // Leading blanks and a sign are fine, trailing text is ignored; --config
  // reads another file; CSVOUT 0 writes no file.
  TempDir dir;
  WriteFile(dir / "other.ini",
            "[general]\nMCADDR=239.9.9.6\nMCPORT=  +31400xyz\nLOCALIP=127.0.0.1\nCSVOUT=0 \n"
            "PROMISC=0\n");
  const pid_t pid = Spawn(dir.path(), FEEDTAP_BIN, {"--config", "other.ini"});
  ASSERT_TRUE(AwaitFile(dir / "stdout.txt", [](const std::string& t) {
    return Contains(t, "Start running udp rcv task...");
  }));
  kill(pid, SIGINT);
  const int status = WaitExit(pid);
  const std::string out = ReadFile(dir / "stdout.txt");
  EXPECT_TRUE(status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
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

}  // namespace
