// The struct feed's two threads in backoff: the processing thread reads the
// socket itself while its handler keeps up; the read thread takes the
// socket over when a handler call runs long, drains it into the bounded
// queue, and gives it back once the queue is empty. The handler here can be
// held on any datagram, so every hand-over happens at a known point.
// Runs in a private network namespace.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "api/feed_processor.h"
#include "net/udp_multicast_receiver.h"
#include "support/wait_until.h"
#include "util/logger.h"

namespace zavo {
namespace test {
namespace {

constexpr const char* kLocalIf = "127.0.0.1";
constexpr const char* kGroup = "239.1.7.3";
constexpr auto kWait = std::chrono::seconds(10);

using test::WaitUntil;

// Keeps what the library logs. Installed once and never destroyed: the
// library's threads may log at any time.
class LogLines : public Logger {
 public:
  static LogLines& Get() {
    static LogLines* lines = [] {
      LogLines* l = new LogLines();
      Logger::SetInstance(l);
      return l;
    }();
    return *lines;
  }
  std::vector<std::string> Matching(const std::string& text) {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<std::string> out;
    for (const std::string& l : lines_) {
      if (l.find(text) != std::string::npos) out.push_back(l);
    }
    return out;
  }

 protected:
  void make_log_entry(Level, const char* format, va_list args) override {
    char buf[1024];
    std::vsnprintf(buf, sizeof(buf), format, args);
    std::lock_guard<std::mutex> lock(mu_);
    lines_.emplace_back(buf);
  }

 private:
  LogLines() = default;
  std::mutex mu_;
  std::vector<std::string> lines_;
};

// Numbered datagrams to the group, from a socket of the test's own.
class Sender {
 public:
  explicit Sender(unsigned port) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    in_addr iface{};
    inet_pton(AF_INET, kLocalIf, &iface);
    setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof(iface));
    to_.sin_family = AF_INET;
    to_.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, kGroup, &to_.sin_addr);
  }
  ~Sender() { ::close(fd_); }
  // Datagrams [first, first + count), each carrying its number in 64 bytes.
  void Send(uint32_t first, uint32_t count) {
    char bytes[64] = {};
    for (uint32_t i = first; i < first + count; ++i) {
      std::memcpy(bytes, &i, sizeof(i));
      ASSERT_EQ(
          ::sendto(fd_, bytes, sizeof(bytes), 0, reinterpret_cast<sockaddr*>(&to_), sizeof(to_)),
          static_cast<ssize_t>(sizeof(bytes)));
    }
  }

 private:
  int fd_ = -1;
  sockaddr_in to_{};
};

// A receiver with the struct session's processing: the handler records the
// number of every datagram and can be held on chosen ones.
class HeldFeed : public UdpMulticaseReceiver2 {
 public:
  HeldFeed() : feed_(this) {
    feed_.Start([this](const char* data, size_t size) { handle(data, size); });
  }
  ~HeldFeed() override { Shut(); }

  void OnData(const char* data, size_t size) override { feed_.Enqueue(data, size); }
  void OnError(int) override {}

  // Stops both threads as a closing session does.
  void Shut() {
    Close();
    feed_.Stop();
    release_all();
    feed_.Join();
  }

  // Every handler call takes at least `pause`.
  void SlowEach(std::chrono::microseconds pause) { pause_ = pause; }
  // The handler stops at datagram `number` until Release.
  void HoldAt(uint32_t number) {
    std::lock_guard<std::mutex> lock(mu_);
    hold_at_.insert(number);
  }
  bool WaitHeld(uint32_t number) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, kWait, [&] { return held_ == number; });
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mu_);
    held_ = 0;
    cv_.notify_all();
  }
  bool WaitSeen(size_t n) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, kWait, [&] { return seen_.size() >= n; });
  }
  std::vector<uint32_t> Seen() {
    std::lock_guard<std::mutex> lock(mu_);
    return seen_;
  }

  SocketHandover::Owner owner() { return handover().owner(); }
  FeedProcessor& feed() { return feed_; }

 private:
  void handle(const char* data, size_t size) {
    uint32_t number = 0;
    if (size >= sizeof(number)) std::memcpy(&number, data, sizeof(number));
    if (pause_.count() > 0) {
      // Busy, as a handler doing real work is: no sleep, no yield.
      const auto until = std::chrono::steady_clock::now() + pause_;
      while (std::chrono::steady_clock::now() < until) {
      }
    }
    std::unique_lock<std::mutex> lock(mu_);
    seen_.push_back(number);
    cv_.notify_all();
    if (hold_at_.erase(number) != 0 && !released_all_) {
      held_ = number;
      cv_.notify_all();
      cv_.wait(lock, [&] { return held_ == 0 || released_all_; });
    }
  }
  void release_all() {
    std::lock_guard<std::mutex> lock(mu_);
    released_all_ = true;
    cv_.notify_all();
  }

  std::mutex mu_;
  std::condition_variable cv_;
  std::set<uint32_t> hold_at_;
  uint32_t held_ = 0;
  bool released_all_ = false;
  std::vector<uint32_t> seen_;
  std::chrono::microseconds pause_{0};  // set before joining
  FeedProcessor feed_;
};

void ExpectInOrder(const std::vector<uint32_t>& seen, uint32_t first, uint32_t last) {
  ASSERT_EQ(seen.size(), last - first + 1);
  for (uint32_t i = 0; i < seen.size(); ++i) {
    ASSERT_EQ(seen[i], first + i) << "at position " << i;
  }
}

class FeedHandover : public ::testing::Test {
 protected:
  void SetUp() override {
    LogLines::Get();
    setenv("ZAVO_IDLE_STRATEGY", "backoff", 1);
  }
  void TearDown() override { unsetenv("ZAVO_IDLE_STRATEGY"); }
};

// A handler held in the middle of bursts, five times: each time the read
// thread takes the socket over while it is held, queues what arrives, and
// the processing thread takes the socket back once it has worked through
// the queue. Every datagram arrives once, in the order sent, across all
// the hand-overs; between bursts the processing thread reads alone.
TEST_F(FeedHandover, HeldHandlerHandsTheSocketOverAndBackInOrder) {
  HeldFeed rx;
  ASSERT_EQ(rx.JoinMulticase(kGroup, 31101, kLocalIf), 0);
  EXPECT_EQ(rx.owner(), SocketHandover::Owner::kConsumer);
  Sender tx(31101);

  uint32_t next = 1;
  for (int round = 0; round < 5; ++round) {
    const uint32_t held = next + 10;
    rx.HoldAt(held);
    tx.Send(next, 20);  // the held one and nine behind it in the socket
    ASSERT_TRUE(rx.WaitHeld(held));
    // The watchdog finds the handler stuck and takes the socket.
    ASSERT_TRUE(WaitUntil([&] { return rx.owner() == SocketHandover::Owner::kReader; }))
        << "round " << round;
    tx.Send(next + 20, 200);
    // The read thread moves them into the queue while the handler is held.
    ASSERT_TRUE(WaitUntil([&] { return rx.feed().queued_bytes() >= 200 * 2048; }))
        << "queued " << rx.feed().queued_bytes();
    rx.Release();
    ASSERT_TRUE(rx.WaitSeen(next + 219));
    // Queue empty: the socket is the processing thread's again.
    ASSERT_TRUE(WaitUntil([&] { return rx.owner() == SocketHandover::Owner::kConsumer; }));
    EXPECT_EQ(rx.feed().queued_bytes(), 0u);
    next += 220;
  }
  tx.Send(next, 50);
  ASSERT_TRUE(rx.WaitSeen(next + 49));
  ExpectInOrder(rx.Seen(), 1, next + 49);
  EXPECT_EQ(rx.feed().dropped(), 0u);
}

// The queue holds its bound while the handler is held: what does not fit is
// dropped, counted and logged once for the burst, with the count; what was
// queued is delivered in order after the handler returns, and the feed
// goes on without loss afterwards.
TEST_F(FeedHandover, BoundedQueueDropsPastItsBoundAndSaysHowMany) {
  HeldFeed rx;
  // Room for 30 copies of a small datagram.
  const uint64_t bound = 30 * (2048 + 64);
  rx.feed().set_max_queued_bytes(bound);
  const size_t lines_before = LogLines::Get().Matching("dropped ").size();
  ASSERT_EQ(rx.JoinMulticase(kGroup, 31102, kLocalIf), 0);
  Sender tx(31102);

  rx.HoldAt(1);
  tx.Send(1, 1);
  ASSERT_TRUE(rx.WaitHeld(1));
  ASSERT_TRUE(WaitUntil([&] { return rx.owner() == SocketHandover::Owner::kReader; }));
  tx.Send(2, 199);
  ASSERT_TRUE(WaitUntil([&] { return rx.feed().dropped() + 30 >= 199; }));
  EXPECT_LE(rx.feed().queued_bytes(), bound);
  const uint64_t dropped = rx.feed().dropped();
  EXPECT_GE(dropped, 199u - 30u);
  rx.Release();
  const size_t kept = 200 - dropped;
  ASSERT_TRUE(rx.WaitSeen(kept));
  // The newest were dropped, as the kernel drops them: 1 and the first
  // that fitted, in order.
  ExpectInOrder(rx.Seen(), 1, static_cast<uint32_t>(kept));

  // The burst ends when the queue has been worked off and the socket is
  // the processing thread's again: one line, with its count.
  ASSERT_TRUE(WaitUntil([&] { return rx.owner() == SocketHandover::Owner::kConsumer; }));
  tx.Send(201, 100);
  ASSERT_TRUE(rx.WaitSeen(kept + 100));
  const std::vector<uint32_t> seen = rx.Seen();
  for (uint32_t i = 0; i < 100; ++i) ASSERT_EQ(seen[kept + i], 201 + i);
  const std::vector<std::string> lines = LogLines::Get().Matching("dropped ");
  ASSERT_EQ(lines.size(), lines_before + 1);
  const std::string& line = lines.back();
  EXPECT_NE(line.find("dropped " + std::to_string(dropped) + " datagrams"), std::string::npos)
      << line;
  EXPECT_NE(line.find(std::to_string(bound)), std::string::npos) << line;
}

// Closing while the read thread drains for a held handler: Close returns,
// the held handler is let go, the threads end and the queued copies are
// freed (the sanitizer builds check that nothing leaks or is used after).
TEST_F(FeedHandover, CloseDuringAHandOverEndsCleanly) {
  for (int round = 0; round < 3; ++round) {
    auto rx = std::make_unique<HeldFeed>();
    ASSERT_EQ(rx->JoinMulticase(kGroup, 31103, kLocalIf), 0);
    Sender tx(31103);
    rx->HoldAt(5);
    tx.Send(1, 10);
    ASSERT_TRUE(rx->WaitHeld(5));
    ASSERT_TRUE(WaitUntil([&] { return rx->owner() == SocketHandover::Owner::kReader; }));
    tx.Send(11, 50);
    ASSERT_TRUE(WaitUntil([&] { return rx->feed().queued_bytes() > 0; }));
    std::thread closer([&] { rx->Close(); });
    closer.join();  // the read thread ends though the handler is held
    EXPECT_FALSE(rx->joined());
    rx->Shut();
    const std::vector<uint32_t> seen = rx->Seen();
    ASSERT_GE(seen.size(), 5u);
    for (uint32_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i], i + 1);
    rx.reset();
  }
}

// A handler that is slow on every datagram but never stuck in one: the
// socket's queue grows, the processing thread asks for help, and the read
// thread moves the backlog into the queue. Nothing is lost or reordered.
TEST_F(FeedHandover, GrowingBacklogBringsTheReadThreadIn) {
  HeldFeed rx;
  rx.SlowEach(std::chrono::microseconds(100));
  ASSERT_EQ(rx.JoinMulticase(kGroup, 31106, kLocalIf), 0);
  const size_t takeovers = LogLines::Get().Matching("drains the feed").size();
  Sender tx(31106);
  tx.Send(1, 3000);
  ASSERT_TRUE(rx.WaitSeen(3000));
  ExpectInOrder(rx.Seen(), 1, 3000);
  EXPECT_GT(LogLines::Get().Matching("drains the feed").size(), takeovers);
  EXPECT_EQ(rx.feed().dropped(), 0u);
  ASSERT_TRUE(WaitUntil([&] { return rx.owner() == SocketHandover::Owner::kConsumer; }));
}

// The bound comes from ZAVO_MAX_QUEUED_BYTES when the session is made; a
// value that is not a positive number of bytes is said in the log and the
// default kept.
TEST_F(FeedHandover, QueueBoundFromTheEnvironment) {
  setenv("ZAVO_MAX_QUEUED_BYTES", "1048576", 1);
  EXPECT_EQ(HeldFeed().feed().max_queued_bytes(), 1048576u);
  for (const char* bad : {"0", "-5", "12k", ""}) {
    setenv("ZAVO_MAX_QUEUED_BYTES", bad, 1);
    const size_t said = LogLines::Get().Matching("ZAVO_MAX_QUEUED_BYTES=").size();
    EXPECT_EQ(HeldFeed().feed().max_queued_bytes(), FeedProcessor::kDefaultMaxQueuedBytes) << bad;
    EXPECT_EQ(LogLines::Get().Matching("ZAVO_MAX_QUEUED_BYTES=").size(), said + (*bad ? 1 : 0))
        << bad;
  }
  unsetenv("ZAVO_MAX_QUEUED_BYTES");
  EXPECT_EQ(HeldFeed().feed().max_queued_bytes(), 256ull << 20);
}

// Spin mode keeps two threads: the read thread owns the socket and queues
// every datagram, the processing thread polls the queue.
TEST_F(FeedHandover, SpinModeQueuesThroughTheReadThread) {
  setenv("ZAVO_IDLE_STRATEGY", "spin", 1);
  HeldFeed rx;
  ASSERT_EQ(rx.JoinMulticase(kGroup, 31105, kLocalIf), 0);
  EXPECT_EQ(rx.owner(), SocketHandover::Owner::kReader);
  Sender tx(31105);
  tx.Send(1, 500);
  ASSERT_TRUE(rx.WaitSeen(500));
  ExpectInOrder(rx.Seen(), 1, 500);
  EXPECT_EQ(rx.owner(), SocketHandover::Owner::kReader);
}

}  // namespace
}  // namespace test
}  // namespace zavo
