// feedtap throughput, inside a private network namespace: datagrams per
// second that the tool turns into CSV lines without losing any, against a
// floor measured in the same run: a bare thread that receives the same
// datagrams and writes their bytes unchanged to a file.
//
// The rate climbs in steps; at each step a fresh feedtap process (and a
// fresh floor thread) gets the same number of datagrams, each carrying one
// trade (one CSV line). The highest step without loss is the figure.
//
// usage: bench_feedtap [--quick] [--seconds S] [--rates 20000,50000,...]
//                      [--feedtap PATH]   (another build of the tool, to compare)
//                      [--promisc]        (unicast feed, the tool captures the interface)
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "feed_builder.h"
#include "support/bench_stats.h"
#include "support/netns.h"

namespace {

using namespace zavo::bench;

constexpr const char* kGroup = "239.255.93.1";
// --promisc: the feed goes to this address instead of the group, and the
// tool captures the interface; the floor is an ordinary socket bound to it.
bool g_promisc = false;

const char* feed_address() {
  return g_promisc ? "127.0.0.1" : kGroup;
}
constexpr int kRecvBuffer = 4 << 20;

std::string read_file(const std::string& path) {
  std::string out;
  FILE* fp = std::fopen(path.c_str(), "rb");
  if (fp == nullptr) return out;
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof(buf), fp)) > 0) out.append(buf, n);
  std::fclose(fp);
  return out;
}

std::string make_temp_dir() {
  char tmpl[] = "/tmp/bench_feedtap_XXXXXX";
  const char* p = mkdtemp(tmpl);
  return p != nullptr ? p : "";
}

void remove_dir(const std::string& dir) {
  if (dir.rfind("/tmp/bench_feedtap_", 0) != 0) return;
  const int rc = std::system(("rm -rf '" + dir + "'").c_str());
  (void)rc;
}

std::vector<uint8_t> trade_datagram() {
  using namespace feedgen::trade_rec;
  feedgen::FeedMessage m(feedgen::kTickTrade, kSize, 1);
  m.Text(kTradingDay, 8, "20240102").I32(kTradeIndex, 1001).I32(kTradeChannel, 6);
  m.Text(kSecurityID, 8, "600000").I32(kUpdateTime, 93000).I32(kUpdateMsec, 120);
  m.I64(kPrice, 123450).I64(kTradeVolume, 5000).I64(kTurnOver, 6172500);
  m.I64(kTradeBuyNo, 880001).I64(kTradeSellNo, 990001);
  m.Text(kTradeBSFlag, 1, "B").I64(kBizIndex, 50000);
  return m.Bytes();
}

// Sends `count` copies of `payload` to the feed's address and port at
// `rate` per second.
void publish(int port, unsigned rate, uint64_t count, const std::vector<uint8_t>& payload) {
  prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  in_addr iface{};
  iface.s_addr = inet_addr("127.0.0.1");
  unsigned char ttl = 0;
  setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof(iface));
  setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl));
  int sndbuf = kRecvBuffer;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof(sndbuf));
  sockaddr_in dst{};
  dst.sin_family = AF_INET;
  dst.sin_addr.s_addr = inet_addr(feed_address());
  dst.sin_port = htons(static_cast<uint16_t>(port));
  const int64_t interval = 1000000000 / static_cast<int64_t>(rate);
  const int64_t start = mono_ns() + 1000000;
  for (uint64_t i = 0; i < count; ++i) {
    const int64_t due = start + static_cast<int64_t>(i) * interval;
    if (mono_ns() < due) {
      timespec ts{static_cast<time_t>(due / 1000000000), static_cast<long>(due % 1000000000)};
      clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
    }
    (void)sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&dst),
                 sizeof(dst));
  }
  close(fd);
}

// The floor: receive and write the bytes unchanged. Returns datagrams kept.
uint64_t run_floor(int port, unsigned rate, uint64_t count, const std::vector<uint8_t>& payload,
                   const std::string& dir, double* cpu) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  int rcvbuf = kRecvBuffer;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = inet_addr(feed_address());
  ip_mreq mreq{};
  mreq.imr_multiaddr.s_addr = inet_addr(kGroup);
  mreq.imr_interface.s_addr = inet_addr("127.0.0.1");
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      (!g_promisc && setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof(mreq)) != 0)) {
    close(fd);
    return 0;
  }
  timeval tv{0, 200000};  // the last datagram is followed by silence
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  FILE* out = std::fopen((dir + "/floor.bin").c_str(), "wb");
  uint64_t kept = 0;
  std::thread rx([&] {
    char buf[65536];
    for (uint64_t i = 0; i < count; ++i) {
      const ssize_t n = recv(fd, buf, sizeof(buf), 0);
      if (n <= 0) break;
      std::fwrite(buf, 1, static_cast<size_t>(n), out);
      ++kept;
    }
    rusage ru{};
    getrusage(RUSAGE_THREAD, &ru);
    *cpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  });
  publish(port, rate, count, payload);
  rx.join();
  std::fclose(out);
  close(fd);
  return kept;
}

const char* g_feedtapBin = FEEDTAP_BIN;

pid_t spawn_feedtap(const std::string& dir) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  if (chdir(dir.c_str()) != 0) _exit(126);
  const int fd = open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) _exit(126);
  dup2(fd, 1);
  dup2(fd, 2);
  execl(g_feedtapBin, g_feedtapBin, static_cast<char*>(nullptr));
  _exit(127);
}

size_t count_lines(const std::string& dir) {
  size_t lines = 0;
  if (DIR* d = opendir((dir + "/data").c_str())) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      const std::string text = read_file(dir + "/data/" + e->d_name);
      for (char c : text) lines += c == '\n';
    }
    closedir(d);
  }
  return lines;
}

// feedtap under the same load. Returns datagrams written as CSV lines, or
// -1 when the tool did not start.
// CPU seconds (user and system) the process has used so far.
double cpu_seconds(pid_t pid) {
  const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  const size_t paren = stat.rfind(')');
  if (paren == std::string::npos) return 0;
  // Fields after the name: state is the 3rd field, utime the 14th, stime the 15th.
  unsigned long utime = 0, stime = 0;
  if (std::sscanf(stat.c_str() + paren + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu",
                  &utime, &stime) != 2) {
    return 0;
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long run_feedtap(int port, unsigned rate, uint64_t count, const std::vector<uint8_t>& payload,
                 const std::string& dir, double* cpu) {
  FILE* cfg = std::fopen((dir + "/config.ini").c_str(), "w");
  if (cfg == nullptr) return -1;
  std::fprintf(cfg,
               "[general]\nMCADDR = %s\nMCPORT = %d\nLOCALIP = 127.0.0.1\nCSVOUT = 1\n"
               "max_recv_buff_size = 65536\nPROMISC = %d\nCSVNEWLINE = 1\n",
               feed_address(), port, g_promisc ? 1 : 0);
  std::fclose(cfg);
  // In promiscuous mode a bound socket takes the datagrams (unread), so the
  // host answers none of them with a port-unreachable message.
  int sink = -1;
  if (g_promisc) {
    sink = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = inet_addr(feed_address());
    at.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(sink, reinterpret_cast<sockaddr*>(&at), sizeof(at)) != 0) {
      close(sink);
      return -1;
    }
  }
  const char* readyText = g_promisc ? "RunPromiscRcvLoop()" : "Start running udp rcv task...";
  const pid_t pid = spawn_feedtap(dir);
  if (pid < 0) return -1;
  bool ready = false;
  for (int i = 0; i < 1000 && !ready; ++i) {
    ready = read_file(dir + "/stdout.txt").find(readyText) != std::string::npos;
    if (!ready) usleep(5000);
  }
  if (ready) {
    publish(port, rate, count, payload);
    // Wait (bounded) until the lines stop coming.
    size_t last = 0;
    for (int i = 0; i < 40; ++i) {
      usleep(50000);
      const size_t now = count_lines(dir);
      if (now >= count || (now == last && i > 2)) break;
      last = now;
    }
  }
  *cpu = cpu_seconds(pid);
  kill(pid, SIGTERM);
  int status = 0;
  for (int i = 0; i < 500 && waitpid(pid, &status, WNOHANG) == 0; ++i) usleep(10000);
  if (waitpid(pid, &status, WNOHANG) == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  if (sink >= 0) close(sink);
  return ready ? static_cast<long>(count_lines(dir)) : -1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string why;
  if (!zavo::test::enter_private_netns(&why)) {
    std::fprintf(stderr, "bench_feedtap: cannot make a private network namespace: %s\n",
                 why.c_str());
    return 1;
  }
  double seconds = 1.0;
  std::vector<unsigned> rates = {10000, 20000, 50000, 100000, 200000, 400000};
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      seconds = 0.25;
    } else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
      if (seconds < 0.05 || seconds > 30) seconds = 1.0;
    } else if (std::strcmp(argv[i], "--promisc") == 0) {
      g_promisc = true;
    } else if (std::strcmp(argv[i], "--feedtap") == 0 && i + 1 < argc) {
      g_feedtapBin = argv[++i];
    } else if (std::strcmp(argv[i], "--rates") == 0 && i + 1 < argc) {
      rates.clear();
      for (const char* p = argv[++i]; *p != '\0';) {
        const unsigned long v = std::strtoul(p, const_cast<char**>(&p), 10);
        if (v >= 100 && v <= 2000000) rates.push_back(static_cast<unsigned>(v));
        if (*p == ',')
          ++p;
        else if (*p != '\0')
          break;
      }
      if (rates.empty()) return 2;
    } else {
      std::fprintf(stderr,
                   "usage: %s [--quick] [--seconds S] [--rates R1,R2,...] [--feedtap PATH] "
                   "[--promisc]\n",
                   argv[0]);
      return 2;
    }
  }
  const std::vector<uint8_t> payload = trade_datagram();
  std::printf("feedtap throughput: one trade per datagram (%zu bytes), %.2f s per step\n",
              payload.size(), seconds);
  std::printf("tool: %s, %s\n", g_feedtapBin,
              g_promisc ? "promiscuous capture of unicast datagrams" : "multicast membership");
  std::printf("%10s %10s %12s %12s %10s %12s\n", "rate/s", "sent", "floor lost", "feedtap lost",
              "floor cpu", "feedtap cpu");
  unsigned best_floor = 0, best_tap = 0;
  bool floor_ok = true, tap_ok = true;
  int port = 42000;
  for (unsigned rate : rates) {
    const uint64_t count = static_cast<uint64_t>(rate * seconds);
    const std::string dir = make_temp_dir();
    if (dir.empty()) return 1;
    double floorCpu = 0;
    const uint64_t kept = run_floor(++port, rate, count, payload, dir, &floorCpu);
    double cpu = 0;
    const long lines = run_feedtap(++port, rate, count, payload, dir, &cpu);
    remove_dir(dir);
    if (lines < 0) {
      std::fprintf(stderr, "feedtap did not start\n");
      return 1;
    }
    const uint64_t floor_lost = count - std::min<uint64_t>(count, kept);
    const uint64_t tap_lost = count - std::min<uint64_t>(count, static_cast<uint64_t>(lines));
    std::printf("%10u %10llu %12llu %12llu %9.2fs %11.2fs\n", rate,
                static_cast<unsigned long long>(count), static_cast<unsigned long long>(floor_lost),
                static_cast<unsigned long long>(tap_lost), floorCpu, cpu);
    // The figure is the last step of an unbroken run without loss.
    floor_ok = floor_ok && floor_lost == 0;
    tap_ok = tap_ok && tap_lost == 0;
    if (floor_ok) best_floor = rate;
    if (tap_ok) best_tap = rate;
  }
  std::printf("highest lossless rate (steps up to %u/s):\n", rates.back());
  std::printf("  floor (receive, write bytes) %u datagrams/s\n", best_floor);
  std::printf("  feedtap (decode, write CSV)  %u datagrams/s\n", best_tap);
  std::printf("  ratio feedtap / floor        %.2f\n",
              ratio(static_cast<double>(best_tap), static_cast<double>(best_floor)));
  return 0;
}
