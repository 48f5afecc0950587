// Direct reads: a consumer thread that takes datagrams from the socket
// itself while the read thread is idle, and hands the socket back when it
// is busy. Runs in a private network namespace.
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <cstdlib>
#include <deque>
#include <string>
#include <thread>

#include "udp_test_support.h"

namespace zavo {
namespace test {
namespace {

constexpr const char* kGroup = "239.1.2.9";

// The read thread's OnData queues copies, as the struct session's pipe
// does; the consumer takes them, or reads the socket itself when the
// queue is empty.
class SharedReader : public UdpMulticaseReceiver2 {
 public:
  SharedReader() { enable_direct_reads(); }
  ~SharedReader() override { Close(); }

  void OnError(int) override {}
  void OnData(const char* data, size_t len) override {
    std::lock_guard<std::mutex> guard(mu_);
    queue_.emplace_back(data, len);
  }

  bool QueueEmpty() {
    std::lock_guard<std::mutex> guard(mu_);
    return queue_.empty();
  }
  bool PopQueued(std::string* out) {
    std::lock_guard<std::mutex> guard(mu_);
    if (queue_.empty()) return false;
    *out = std::move(queue_.front());
    queue_.pop_front();
    return true;
  }
  size_t ReadDirect(char* buf, size_t cap) {
    return TryReadDirect(buf, cap, [this] { return QueueEmpty(); });
  }

  using UdpMulticaseReceiver2::BeginWatch;
  using UdpMulticaseReceiver2::EndWatch;

 private:
  std::mutex mu_;
  std::deque<std::string> queue_;
};

std::string Numbered(int i) {
  return "datagram " + std::to_string(i);
}

class DirectReadTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("ZAVO_IDLE_STRATEGY", "backoff", 1); }
  void TearDown() override { unsetenv("ZAVO_IDLE_STRATEGY"); }
};

// Bursts separated by silences make both paths carry datagrams: the first
// of a burst usually wakes the watching consumer, the rest go through the
// read thread. Whatever path each took, the consumer sees every datagram
// once, in the order sent.
TEST_F(DirectReadTest, BothPathsTogetherKeepOrderAndLoseNothing) {
  SharedReader rx;
  ASSERT_EQ(rx.JoinMulticase(kGroup, 31001, kLocalIf), 0);

  constexpr int kBursts = 100;
  constexpr int kPerBurst = 20;
  constexpr int kTotal = kBursts * kPerBurst;
  std::vector<std::string> seen;
  int direct = 0;
  int handed = 0;
  std::thread consumer([&] {
    std::vector<char> buf(65536);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (static_cast<int>(seen.size()) < kTotal && std::chrono::steady_clock::now() < deadline) {
      std::string item;
      if (rx.PopQueued(&item)) {
        seen.push_back(std::move(item));
        ++handed;
        continue;
      }
      const int fd = rx.BeginWatch();
      ASSERT_GE(fd, 0);
      pollfd p{fd, POLLIN, 0};
      const int ready = ::poll(&p, 1, 5);
      const size_t n = ready > 0 ? rx.ReadDirect(buf.data(), buf.size()) : 0;
      rx.EndWatch();
      if (n > 0) {
        seen.emplace_back(buf.data(), n);
        ++direct;
      }
    }
  });

  for (int b = 0; b < kBursts; ++b) {
    for (int i = 0; i < kPerBurst; ++i) ASSERT_TRUE(raw_send(kGroup, 31001, Numbered(b * kPerBurst + i)));
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  consumer.join();
  rx.Close();

  ASSERT_EQ(seen.size(), static_cast<size_t>(kTotal));
  for (int i = 0; i < kTotal; ++i) ASSERT_EQ(seen[i], Numbered(i)) << "at " << i;
  EXPECT_GT(direct, 0);
  EXPECT_GT(handed, 0);
  EXPECT_EQ(direct + handed, kTotal);
}

// While a consumer watches the socket, an idle read thread leaves it alone;
// when the watch ends, the read thread takes over without waiting for more
// traffic, and a consumer that is behind on the queue reads nothing itself.
TEST_F(DirectReadTest, TheReadThreadStepsAsideOnlyWhileWatched) {
  SharedReader rx;
  std::vector<char> buf(65536);
  // Not joined: nothing to read.
  EXPECT_EQ(rx.ReadDirect(buf.data(), buf.size()), 0u);

  // Not joined: nothing to watch.
  EXPECT_EQ(rx.BeginWatch(), -1);
  ASSERT_EQ(rx.JoinMulticase(kGroup, 31002, kLocalIf), 0);
  ASSERT_GE(rx.BeginWatch(), 0);
  // A read thread still waiting on the socket takes this one and then
  // parks; one that had parked already leaves it in the socket.
  ASSERT_TRUE(raw_send(kGroup, 31002, "one"));
  for (int i = 0; i < 20 && rx.QueueEmpty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const bool took_one = !rx.QueueEmpty();
  // Parked either way: this one stays in the socket.
  ASSERT_TRUE(raw_send(kGroup, 31002, "two"));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::vector<std::string> got;
  std::string item;
  while (rx.PopQueued(&item)) got.push_back(item);
  EXPECT_EQ(got, took_one ? std::vector<std::string>{"one"} : std::vector<std::string>{})
      << "the read thread read while watched";

  // The watch ends: the read thread drains the socket without more traffic.
  rx.EndWatch();
  for (int i = 0; i < 500 && got.size() < 2; ++i) {
    if (rx.PopQueued(&item))
      got.push_back(item);
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(got, (std::vector<std::string>{"one", "two"}));

  // Something still queued: a direct read would overtake it.
  ASSERT_GE(rx.BeginWatch(), 0);
  ASSERT_TRUE(raw_send(kGroup, 31002, "queued"));
  rx.EndWatch();
  for (int i = 0; i < 500 && rx.QueueEmpty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_FALSE(rx.QueueEmpty());
  ASSERT_TRUE(raw_send(kGroup, 31002, "behind"));
  EXPECT_EQ(rx.ReadDirect(buf.data(), buf.size()), 0u);
  rx.Close();
  EXPECT_EQ(rx.ReadDirect(buf.data(), buf.size()), 0u);
  EXPECT_EQ(rx.BeginWatch(), -1);
}

}  // namespace
}  // namespace test
}  // namespace zavo
