// Idle cost: CPU time used by an open struct session over a stretch of
// silence (no market data; the server's heartbeats go to a group the
// session does not join), per idle strategy, as a share of one core. The
// floor, measured in the same run, is a bare thread blocked in recvfrom on
// the same kind of socket for the same time.
//
// The simulator that answers the login runs in a child process, so that
// this process's CPU time is the receiver's alone.
//
// usage: bench_idle [--quick] [--seconds S]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "support/bench_session.h"
#include "support/bench_setting.h"
#include "support/bench_stats.h"
#include "support/netns.h"

namespace {

using namespace zavo;
using namespace zavo::bench;

constexpr const char* kGroup = "239.255.92.1";

void on_data(void*, const ZAVO_MSG*) {}
void on_system(void*, const ZAVO_MSG*) {}

// Runs the login server until the parent ends it; reports its port on `fd`.
[[noreturn]] void run_server(int fd) {
  std::unique_ptr<sim::SimServer> sim = StartLoginServer();
  const int port = sim ? sim->ListenPort() : -1;
  (void)!write(fd, &port, sizeof(port));
  close(fd);
  // Bounded: the parent ends this process long before.
  for (int i = 0; i < 600 && sim; ++i) sleep(1);
  _exit(0);
}

struct Cost {
  double cpu_s = 0;
  double wall_s = 0;
  double share() const { return wall_s > 0 ? cpu_s / wall_s : 0; }
};

template <typename Fn>
Cost measure(double seconds, Fn&& idle_while) {
  const int64_t cpu0 = process_cpu_ns();
  const int64_t wall0 = mono_ns();
  idle_while(seconds);
  Cost c;
  c.cpu_s = static_cast<double>(process_cpu_ns() - cpu0) / 1e9;
  c.wall_s = static_cast<double>(mono_ns() - wall0) / 1e9;
  return c;
}

void sleep_for(double seconds) {
  usleep(static_cast<useconds_t>(seconds * 1e6));
}

Cost floor_cost(double seconds) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(41001);
  addr.sin_addr.s_addr = inet_addr(kGroup);
  ip_mreq mreq{};
  mreq.imr_multiaddr.s_addr = inet_addr(kGroup);
  mreq.imr_interface.s_addr = inet_addr("127.0.0.1");
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof(mreq));
  timeval tv{0, 100000};  // wakes to see the stop flag
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  std::atomic<bool> stop{false};
  std::thread t([&] {
    char buf[2048];
    while (!stop.load()) (void)recv(fd, buf, sizeof(buf), 0);
  });
  const Cost c = measure(seconds, sleep_for);
  stop.store(true);
  t.join();
  close(fd);
  return c;
}

}  // namespace

int main(int argc, char** argv) {
  std::string why;
  if (!zavo::test::enter_private_netns(&why)) {
    std::fprintf(stderr, "bench_idle: cannot make a private network namespace: %s\n", why.c_str());
    return 1;
  }
  double seconds = 5.0;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      seconds = 1.0;
    } else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
      if (seconds < 0.1 || seconds > 60) seconds = 5.0;
    } else {
      std::fprintf(stderr, "usage: %s [--quick] [--seconds S]\n", argv[0]);
      return 2;
    }
  }

  // The server process first, while this one has no thread yet.
  int fds[2];
  if (pipe(fds) != 0) return 1;
  const pid_t server = fork();
  if (server == 0) {
    close(fds[0]);
    run_server(fds[1]);
  }
  close(fds[1]);
  int port = -1;
  if (read(fds[0], &port, sizeof(port)) != sizeof(port) || port <= 0) {
    std::fprintf(stderr, "login server did not start\n");
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    return 1;
  }
  close(fds[0]);

  std::printf("idle cost over %.1f s of silence, CPU time of this process\n", seconds);
  const Cost floor = floor_cost(seconds);
  struct Line {
    const char* name;
    Cost cost;
  };
  Line lines[] = {{"backoff", {}}, {"spin", {}}};
  int status = 0;
  for (Line& l : lines) {
    setenv("ZAVO_IDLE_STRATEGY", l.name, 1);
    UdpStructApiImp* api = new UdpStructApiImp();
    ZAVO_OpenSetting s = BenchSetting(3, kGroup, 41002, port, on_data, on_system);
    s.SubscribeFlags = 0;  // snapshots only
    if (api->Open(s) != ZAVO_SUCCESS) {
      std::fprintf(stderr, "session open failed\n");
      CloseSession(api);
      status = 1;
      break;
    }
    // Let the open settle (code tables arrive), then measure silence.
    usleep(300000);
    l.cost = measure(seconds, sleep_for);
    CloseSession(api);
  }
  kill(server, SIGTERM);
  waitpid(server, nullptr, 0);
  if (status != 0) return status;

  std::printf("%-10s %9s %9s %12s\n", "receiver", "cpu s", "wall s", "% of a core");
  std::printf("%-10s %9.4f %9.3f %11.3f%%\n", "floor", floor.cpu_s, floor.wall_s,
              100 * floor.share());
  for (const Line& l : lines) {
    std::printf("%-10s %9.4f %9.3f %11.3f%%\n", l.name, l.cost.cpu_s, l.cost.wall_s,
                100 * l.cost.share());
  }
  // Ratios last. The floor is close to zero, so the share of a core is the
  // figure that carries meaning; the difference to the floor is printed too.
  std::printf("idle cost (target: backoff under 2%% of one core):\n");
  for (const Line& l : lines) {
    std::printf("  %-8s %7.3f%% of one core, %7.3f%% above the floor, %.1fx the floor\n", l.name,
                100 * l.cost.share(), 100 * (l.cost.share() - floor.share()),
                ratio(l.cost.cpu_s, floor.cpu_s));
  }
  return 0;
}
