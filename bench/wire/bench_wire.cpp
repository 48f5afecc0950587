// Wire to callback, inside a private network namespace: a publisher sends
// struct packets of one security snapshot each, stamped with the send time,
// at a fixed rate; receivers, one at a time, compute the delay from the
// stamp to the moment their code sees the record:
//   (a) floor:   a bare thread polling a non-blocking socket with recvfrom
//   (a') the same thread blocking in recvfrom, where the scheduler lets it
//        share the publisher's core; (a'') the same pinned to another core
//        than the publisher: the price of waking a thread on an idle core,
//        which any receiver that blocks pays in a real deployment (the
//        datagram arrives on some other core)
//   (b) backoff: a struct session of this library, backoff strategy
//   (c) spin:    the same in the spin strategy
//   (d) libuv:   a libuv UDP receiver on an event loop
// For each: p50, p99, p99.9 and max delay, datagrams lost and CPU seconds
// used (the process's CPU time minus the publisher's), then the ratios
// against the floor. Rounds alternate the receivers so that machine noise
// hits all of them alike.
//
// The send instant travels in DelayTrackSec/DelayTrackNsec (from which the
// library computes LocalDelay); the public record does not carry those two,
// so the same instant also travels, in nanoseconds, in AfterTurnover, which
// the session's data handler reads. AfterMatchItems carries the datagram's
// number: the first ones warm the path up and are not counted.
//
// usage: bench_wire [--quick] [--seconds S] [--rounds N] [--rates 10000,100000]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <uv.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "net/udp_multicast_sender.h"
#include "util/helpers.h"
#include "proto/struct_packet.h"
#include "proto/sys_field.h"
#include "support/bench_session.h"
#include "support/bench_stats.h"
#include "support/netns.h"

namespace {

using namespace zavo;
using namespace zavo::bench;

constexpr const char* kGroup = "239.255.91.1";
constexpr int kWarmup = 200;

// Offsets in the datagram: packet header, field header, then the record.
constexpr size_t kRecord = StructPacket::kHeaderSize + StructPacket::kFieldHeaderSize;
constexpr size_t kOffTurnover = kRecord + 525;
constexpr size_t kOffNumber = kRecord + 533;
constexpr size_t kOffStampSec = kRecord + 541;
constexpr size_t kOffStampNsec = kRecord + 549;

// ---------------------------------------------------------------- recording

// Delays of one receiver run; written by the receiving thread only.
struct Recorder {
  std::vector<int64_t> delays;  // ns, measured datagrams only
  std::atomic<uint64_t> received{0};
  uint64_t capacity = 0;

  void reset(uint64_t expected) {
    delays.clear();
    delays.reserve(expected);
    capacity = expected;
    received.store(0);
  }
  void add(int64_t number, int64_t stamp_ns) {
    const int64_t now = wall_ns();
    if (number < kWarmup) return;
    if (delays.size() < capacity) delays.push_back(now - stamp_ns);
    received.fetch_add(1, std::memory_order_release);
  }
};
Recorder g_rec;

// Reads the number and the stamp from a datagram as any receiver would.
inline void record_datagram(const char* p, size_t n) {
  if (n < kOffStampNsec + 8 || LoadBigEndian<unsigned short>(p) != StructPacket::kMagic) return;
  const int64_t sec = LoadBigEndian<long>(p + kOffStampSec);
  const int64_t nsec = LoadBigEndian<long>(p + kOffStampNsec);
  g_rec.add(LoadBigEndian<long>(p + kOffNumber), sec * 1000000000 + nsec);
}

// ---------------------------------------------------------------- publisher

std::vector<char> make_packet() {
  SecuritySnapShotField f;
  f.Code.Set("600000");
  f.ExchangeID = 1;
  f.TimeStamp = 20240102093000000UL;
  f.Status = 2;
  f.PreClosePx = 102300;
  f.OpenPx = 102500;
  f.HighPx = 103800;
  f.LowPx = 101900;
  f.MatchPx = 103100;
  for (unsigned i = 0; i < 10; ++i) {
    f.AskPrice[i] = 103200 + 100 * i;
    f.AskVol[i] = 1000 + 300 * i;
    f.BidPrice[i] = 103100 - 100 * i;
    f.BidVol[i] = 1200 + 200 * i;
  }
  f.NumTrades = 15321;
  f.TotalVolumeTrade = 48213900;
  f.TotalValueTrade = 4967738100;
  StructPacket p = StructPacket::ForRecord<SecuritySnapShotField>();
  p.AddField(f);
  p.PacketTime = 20240102093000000UL;
  p.Serialize();
  const Slice bytes = p.Bytes();
  std::vector<char> out(bytes.data, bytes.data + bytes.size);
  // The offsets above must name the members they claim to.
  StoreBigEndian<long>(&out[kOffTurnover], 11);
  StoreBigEndian<long>(&out[kOffNumber], 22);
  StoreBigEndian<long>(&out[kOffStampSec], 33);
  StoreBigEndian<long>(&out[kOffStampNsec], 44);
  SecuritySnapShotField check;
  if (out.size() != kRecord + SecuritySnapShotField::Size() ||
      !check.Decode(&out[kRecord], SecuritySnapShotField::Size()) || check.AfterTurnover != 11 ||
      check.AfterMatchItems != 22 || check.DelayTrackSec != 33 || check.DelayTrackNsec != 44) {
    std::fprintf(stderr, "datagram layout is not what the benchmark expects\n");
    std::exit(1);
  }
  return out;
}

struct PublishResult {
  uint64_t sent = 0;  // measured datagrams sent (warm-up excluded)
  int64_t cpu_ns = 0;
};

// Sends kWarmup + rate * seconds datagrams at `rate` per second to `port`.
// Sleeps to each send time (timer slack 1 ns) and sends late ones at once,
// so the average rate holds even when a wake-up comes late.
PublishResult publish(int port, unsigned rate, double seconds) {
  PublishResult r;
  prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
  UdpMulticastSender2 sender;
  if (sender.Open(kGroup, static_cast<unsigned>(port), "127.0.0.1") != 0) {
    std::fprintf(stderr, "publisher: cannot open the sender\n");
    return r;
  }
  std::vector<char> packet = make_packet();
  const uint64_t total = kWarmup + static_cast<uint64_t>(rate * seconds);
  const int64_t interval = 1000000000 / static_cast<int64_t>(rate);
  const int64_t cpu0 = thread_cpu_ns();
  const int64_t start = mono_ns() + 1000000;
  for (uint64_t i = 0; i < total; ++i) {
    const int64_t due = start + static_cast<int64_t>(i) * interval;
    if (mono_ns() < due) {
      timespec ts{static_cast<time_t>(due / 1000000000), static_cast<long>(due % 1000000000)};
      clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
    }
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    StoreBigEndian<long>(&packet[kOffNumber], static_cast<long>(i));
    StoreBigEndian<long>(&packet[kOffStampSec], now.tv_sec);
    StoreBigEndian<long>(&packet[kOffStampNsec], now.tv_nsec);
    StoreBigEndian<long>(&packet[kOffTurnover],
                         static_cast<long>(now.tv_sec) * 1000000000 + now.tv_nsec);
    if (!sender.Write(Slice(packet.data(), packet.size()))) continue;
    if (i >= kWarmup) ++r.sent;
  }
  r.cpu_ns = thread_cpu_ns() - cpu0;
  return r;
}

// ---------------------------------------------------------------- receivers

// A receiver started on its own thread(s); stop() ends it.
class Receiver {
 public:
  virtual ~Receiver() = default;
  virtual bool start(int port) = 0;
  virtual void stop() = 0;
  // Core the publisher runs on for this receiver; -1 for no pinning.
  virtual int publisher_cpu() const { return -1; }
};

int open_group_socket(int port, bool nonblocking) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return -1;
  if (nonblocking) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL, 0) | O_NONBLOCK);
  int rcvbuf = 0x400000;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = inet_addr(kGroup);
  ip_mreq mreq{};
  mreq.imr_multiaddr.s_addr = inet_addr(kGroup);
  mreq.imr_interface.s_addr = inet_addr("127.0.0.1");
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof(mreq)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// (a) The floor: one thread, one socket, recvfrom in a tight loop on a
// non-blocking socket. (a') The same thread blocking in recvfrom: on a
// machine with more runnable threads than cores it is the fairer floor for
// a receiver that blocks when idle (the scheduler favours a waking thread
// over one that used its share spinning).
class FloorReceiver : public Receiver {
 public:
  explicit FloorReceiver(bool spin, int cpu = -1) : spin_(spin), cpu_(cpu) {}
  int publisher_cpu() const override { return cpu_ < 0 ? -1 : 0; }
  bool start(int port) override {
    fd_ = open_group_socket(port, spin_);
    if (fd_ < 0) return false;
    if (!spin_) {
      // Wakes up now and then to see the stop flag.
      timeval tv{0, 20000};
      setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    }
    stop_.store(false);
    thread_ = std::thread([this] {
      if (cpu_ >= 0) (void)bind_2_cpu(cpu_);
      char buf[2048];
      while (!stop_.load(std::memory_order_relaxed)) {
        sockaddr_in from;
        socklen_t len = sizeof(from);
        const ssize_t n =
            recvfrom(fd_, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n > 0) record_datagram(buf, static_cast<size_t>(n));
      }
    });
    return true;
  }
  void stop() override {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  bool spin_;
  int cpu_;
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// (b), (c) A struct session; its data handler reads the stamp.
void on_session_data(void*, const ZAVO_MSG* msg) {
  if (msg->MsgType != ZAVO_MSG_SECURITY_SNAPSHOT) return;
  const ZAVO_SecuritySnapShot* s = static_cast<const ZAVO_SecuritySnapShot*>(msg->MsgData);
  g_rec.add(s->AfterMatchItems, s->AfterTurnover);
}
void on_session_system(void*, const ZAVO_MSG*) {}

class SessionReceiver : public Receiver {
 public:
  SessionReceiver(const sim::SimServer& sim, const char* strategy)
      : sim_(sim), strategy_(strategy) {}
  bool start(int port) override {
    api_ = OpenSession(sim_, kGroup, port, strategy_, on_session_data, on_session_system, 7);
    return api_ != nullptr;
  }
  void stop() override {
    CloseSession(api_);
    api_ = nullptr;
  }

 private:
  const sim::SimServer& sim_;
  const char* strategy_;
  UdpStructApiImp* api_ = nullptr;
};

// (d) What a user would write without the library: libuv on a loop thread.
class LibuvReceiver : public Receiver {
 public:
  bool start(int port) override {
    std::atomic<int> ready{0};
    thread_ = std::thread([this, port, &ready] {
      uv_loop_init(&loop_);
      uv_udp_init(&loop_, &udp_);
      uv_async_init(&loop_, &stop_async_, [](uv_async_t* a) {
        LibuvReceiver* self = static_cast<LibuvReceiver*>(a->data);
        uv_udp_recv_stop(&self->udp_);
        uv_close(reinterpret_cast<uv_handle_t*>(&self->udp_), nullptr);
        uv_close(reinterpret_cast<uv_handle_t*>(&self->stop_async_), nullptr);
      });
      stop_async_.data = this;
      sockaddr_in addr;
      uv_ip4_addr(kGroup, port, &addr);
      int rc = uv_udp_bind(&udp_, reinterpret_cast<const sockaddr*>(&addr), 0);
      if (rc == 0) rc = uv_udp_set_membership(&udp_, kGroup, "127.0.0.1", UV_JOIN_GROUP);
      if (rc == 0) {
        int rcvbuf = 0x400000;
        uv_recv_buffer_size(reinterpret_cast<uv_handle_t*>(&udp_), &rcvbuf);
        rc = uv_udp_recv_start(
            &udp_,
            [](uv_handle_t*, size_t, uv_buf_t* buf) {
              static char storage[65536];
              *buf = uv_buf_init(storage, sizeof(storage));
            },
            [](uv_udp_t*, ssize_t n, const uv_buf_t* buf, const sockaddr*, unsigned) {
              if (n > 0) record_datagram(buf->base, static_cast<size_t>(n));
            });
      }
      ready.store(rc == 0 ? 1 : -1);
      if (rc != 0) {
        uv_close(reinterpret_cast<uv_handle_t*>(&udp_), nullptr);
        uv_close(reinterpret_cast<uv_handle_t*>(&stop_async_), nullptr);
      }
      uv_run(&loop_, UV_RUN_DEFAULT);
      uv_loop_close(&loop_);
    });
    for (int i = 0; i < 5000 && ready.load() == 0; ++i) usleep(1000);
    if (ready.load() != 1) {
      stop();
      return false;
    }
    started_ = true;
    return true;
  }
  void stop() override {
    if (started_) uv_async_send(&stop_async_);
    started_ = false;
    if (thread_.joinable()) thread_.join();
  }

 private:
  uv_loop_t loop_;
  uv_udp_t udp_;
  uv_async_t stop_async_;
  bool started_ = false;
  std::thread thread_;
};

// ---------------------------------------------------------------- driver

struct Totals {
  std::vector<int64_t> delays;
  uint64_t sent = 0;
  uint64_t received = 0;
  double cpu_s = 0;
  double wall_s = 0;
};

bool run_one(Receiver& receiver, int port, unsigned rate, double seconds, Totals* t) {
  if (!receiver.start(port)) return false;
  g_rec.reset(static_cast<uint64_t>(rate * seconds) + 16);
  const int64_t cpu0 = process_cpu_ns();
  const int64_t wall0 = mono_ns();
  PublishResult pub;
  const int publisher_cpu = receiver.publisher_cpu();
  std::thread publisher([&] {
    if (publisher_cpu >= 0) (void)bind_2_cpu(publisher_cpu);
    pub = publish(port, rate, seconds);
  });
  publisher.join();
  // Let the receiver drain what is still in flight (bounded).
  const int64_t drain_until = mono_ns() + 300 * 1000000LL;
  while (g_rec.received.load(std::memory_order_acquire) < pub.sent && mono_ns() < drain_until) {
    usleep(1000);
  }
  const int64_t cpu = process_cpu_ns() - cpu0 - pub.cpu_ns;
  const int64_t wall = mono_ns() - wall0;
  receiver.stop();
  t->delays.insert(t->delays.end(), g_rec.delays.begin(), g_rec.delays.end());
  t->sent += pub.sent;
  t->received += g_rec.received.load();
  t->cpu_s += static_cast<double>(cpu) / 1e9;
  t->wall_s += static_cast<double>(wall) / 1e9;
  return true;
}

struct Figures {
  double p50 = 0, p99 = 0, p999 = 0, max = 0;  // microseconds
};

Figures figures_of(std::vector<int64_t>& d) {
  Figures f;
  if (d.empty()) return f;
  f.p50 = quantile(d, 0.5) / 1e3;
  f.p99 = quantile(d, 0.99) / 1e3;
  f.p999 = quantile(d, 0.999) / 1e3;
  f.max = static_cast<double>(d.back()) / 1e3;
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread: multicast only ever runs in a private namespace.
  std::string why;
  if (!zavo::test::enter_private_netns(&why)) {
    std::fprintf(stderr, "bench_wire: cannot make a private network namespace: %s\n", why.c_str());
    return 1;
  }
  double seconds = 1.0;
  int rounds = 3;
  std::vector<unsigned> rates = {10000, 100000};
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      seconds = 0.5;
      rounds = 1;
    } else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
      if (seconds < 0.05 || seconds > 60) seconds = 1.0;
    } else if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
      if (rounds < 1 || rounds > 50) rounds = 3;
    } else if (std::strcmp(argv[i], "--rates") == 0 && i + 1 < argc) {
      rates.clear();
      for (const char* p = argv[++i]; *p != '\0';) {
        const unsigned long v = std::strtoul(p, const_cast<char**>(&p), 10);
        if (v >= 100 && v <= 1000000) rates.push_back(static_cast<unsigned>(v));
        if (*p == ',')
          ++p;
        else if (*p != '\0')
          break;
      }
      if (rates.empty()) rates = {10000, 100000};
    } else {
      std::fprintf(stderr, "usage: %s [--quick] [--seconds S] [--rounds N] [--rates R1,R2]\n",
                   argv[0]);
      return 2;
    }
  }

  std::unique_ptr<sim::SimServer> sim = StartLoginServer();
  if (!sim) return 1;
  FloorReceiver floor_rx(true);
  FloorReceiver floor_block_rx(false);
  // Another core than the publisher's (core 0), when there is one.
  FloorReceiver floor_other_rx(false, std::thread::hardware_concurrency() > 1 ? 1 : -1);
  SessionReceiver backoff_rx(*sim, "backoff");
  SessionReceiver spin_rx(*sim, "spin");
  LibuvReceiver libuv_rx;
  struct Entry {
    const char* name;
    Receiver* rx;
  };
  const Entry entries[] = {{"(a) floor recvfrom", &floor_rx},
                           {"(a') floor blocking", &floor_block_rx},
                           {"(a'') floor other core", &floor_other_rx},
                           {"(b) session backoff", &backoff_rx},
                           {"(c) session spin", &spin_rx},
                           {"(d) libuv loop", &libuv_rx}};
  constexpr size_t kEntries = sizeof(entries) / sizeof(entries[0]);
  constexpr size_t kFloors = 3;

  std::printf("wire to callback: %zu rates, %d rounds x %.2f s per receiver and rate\n",
              rates.size(), rounds, seconds);
  std::vector<std::string> ratio_lines;
  int port = 40000;
  for (unsigned rate : rates) {
    std::vector<Totals> totals(kEntries);
    for (int r = 0; r < rounds; ++r) {
      for (size_t e = 0; e < kEntries; ++e) {
        if (!run_one(*entries[e].rx, ++port, rate, seconds, &totals[e])) {
          std::fprintf(stderr, "%s: receiver did not start\n", entries[e].name);
          return 1;
        }
      }
    }
    std::printf("\nrate %u/s\n%-22s %9s %9s %9s %9s %8s %8s %7s\n", rate, "receiver", "p50 us",
                "p99 us", "p99.9 us", "max us", "lost", "cpu s", "cpu %");
    std::vector<Figures> f(kEntries);
    for (size_t e = 0; e < kEntries; ++e) {
      f[e] = figures_of(totals[e].delays);
      const uint64_t lost = totals[e].sent - std::min(totals[e].sent, totals[e].received);
      std::printf("%-22s %9.1f %9.1f %9.1f %9.1f %8llu %8.3f %6.1f%%\n", entries[e].name, f[e].p50,
                  f[e].p99, f[e].p999, f[e].max, static_cast<unsigned long long>(lost),
                  totals[e].cpu_s, 100.0 * totals[e].cpu_s / totals[e].wall_s);
    }
    // Against the polling floor (a), then each blocking floor.
    static const char* const kFloorTags[kFloors] = {"(a)", "(a')", "(a'')"};
    for (size_t base = 0; base < kFloors; ++base) {
      for (size_t e = kFloors; e < kEntries; ++e) {
        char line[256];
        std::snprintf(line, sizeof(line),
                      "rate %6u/s %-20s / %-5s p50 %6.2fx  p99 %6.2fx  p99.9 %6.2fx", rate,
                      entries[e].name, kFloorTags[base], ratio(f[e].p50, f[base].p50),
                      ratio(f[e].p99, f[base].p99), ratio(f[e].p999, f[base].p999));
        ratio_lines.push_back(line);
      }
    }
  }
  sim->Stop();
  std::printf(
      "\nratios against the floor (targets at 10000/s: backoff p50 <= 1.3x, p99 <= 2x; "
      "spin p50 <= 1.2x, p99 <= 1.5x; no loss at 100000/s):\n");
  for (const std::string& l : ratio_lines) std::printf("%s\n", l.c_str());
  return 0;
}
