// The event-loop multicast receiver (the Windows build's feed receiver,
// portable over libuv and so tested here too): delivery on the loop thread,
// join failures, feed sharing, stopping from OnData and closing after the
// loop has ended. Runs in a private network namespace.
#include <gtest/gtest.h>
#include <uv.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/ev_loop.h"
#include "net/udp_loop_receiver.h"
#include "udp_test_support.h"

namespace zavo {
namespace test {
namespace {

constexpr const char* kGroup = "239.1.2.9";

class LoopReceiver : public UdpMulticaseReceiver {
 public:
  explicit LoopReceiver(EvLoop* loop, bool stop_in_handler = false)
      : loop_(loop), stop_in_handler_(stop_in_handler) {}

  void OnError(int code) override { errors_.fetch_add(1), last_error_ = code; }
  void OnData(const char* data, size_t len) override {
    {
      std::lock_guard<std::mutex> guard(mu_);
      got_.emplace_back(data, len);
      if (!loop_->IsInsideLoop()) ++off_loop_;
      cv_.notify_all();
    }
    if (stop_in_handler_) Stop();
  }

  bool WaitFor(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, timeout, [&] { return got_.size() >= n; });
  }
  std::vector<std::string> Got() {
    std::lock_guard<std::mutex> guard(mu_);
    return got_;
  }
  int off_loop() {
    std::lock_guard<std::mutex> guard(mu_);
    return off_loop_;
  }
  // Joins on the loop thread, as the sessions do.
  int Join(unsigned port, const char* group = kGroup, const char* iface = kLocalIf) {
    std::promise<int> rc;
    loop_->CallInLoop([&] { rc.set_value(JoinMulticase(group, port, iface)); });
    return rc.get_future().get();
  }

 private:
  EvLoop* loop_;
  bool stop_in_handler_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> got_;
  int off_loop_ = 0;
  std::atomic<int> errors_{0};
  int last_error_ = 0;
};

// Runs an empty task on the loop and waits for it: whatever the loop had
// to deliver before it has been delivered.
void loop_barrier(EvLoop* loop) {
  std::promise<void> done;
  loop->CallInLoop([&] { done.set_value(); });
  done.get_future().wait();
}

class LoopReceiverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("ZAVO_SHARE_FEED");
    loop_.Start();
  }
  void TearDown() override {
    loop_.Stop();
    loop_.Join();
  }
  EvLoop loop_;
};

TEST_F(LoopReceiverTest, DeliversEachDatagramOnTheLoopThreadUntilClosed) {
  LoopReceiver rx(&loop_);
  ASSERT_EQ(rx.Join(30011), 0);
  EXPECT_TRUE(rx.joined());
  // Bound to the wildcard address and the group's port.
  EXPECT_EQ(rx.local_ip(), "0.0.0.0");
  EXPECT_EQ(rx.local_port(), 30011);
  EXPECT_EQ(rx.idle_mode(), IdleMode::kBackoff);

  // Datagram boundaries are kept; an empty datagram is not delivered.
  ASSERT_TRUE(raw_send(kGroup, 30011, "first"));
  ASSERT_TRUE(raw_send(kGroup, 30011, ""));
  ASSERT_TRUE(raw_send(kGroup, 30011, std::string(9000, 'x')));
  ASSERT_TRUE(raw_send(kGroup, 30011, "last"));
  ASSERT_TRUE(rx.WaitFor(3));
  EXPECT_EQ(rx.Got(), (std::vector<std::string>{"first", std::string(9000, 'x'), "last"}));
  EXPECT_EQ(rx.off_loop(), 0);

  // Closed from this thread: nothing arrives afterwards, a second close and
  // a stop are no-ops, and a new join works on the same port.
  rx.Close();
  EXPECT_FALSE(rx.joined());
  ASSERT_TRUE(raw_send(kGroup, 30011, "after close"));
  loop_barrier(&loop_);
  rx.Close();
  rx.Stop();
  EXPECT_EQ(rx.Got().size(), 3u);
  ASSERT_EQ(rx.Join(30011), 0);
  ASSERT_TRUE(raw_send(kGroup, 30011, "again"));
  ASSERT_TRUE(rx.WaitFor(4));
  EXPECT_EQ(rx.Got().back(), "again");
  rx.Close();
}

TEST_F(LoopReceiverTest, FailedJoinsLeaveNothingOpenAndSharingIsAskedFor) {
  LoopReceiver rx(&loop_);
  // Off the loop thread there is no loop to live on.
  EXPECT_EQ(rx.JoinMulticase(kGroup, 30012, kLocalIf), UV_EINVAL);
  EXPECT_EQ(rx.Join(30012, "239.1"), UV_EINVAL);
  EXPECT_EQ(rx.Join(70000), UV_EINVAL);
  // No interface of this namespace has that address: the membership fails.
  EXPECT_LT(rx.Join(30012, kGroup, "10.255.255.1"), 0);
  EXPECT_FALSE(rx.joined());

  // A second socket on the port is refused unless both ask to share.
  LoopReceiver second(&loop_);
  ASSERT_EQ(rx.Join(30012), 0);
  EXPECT_LT(second.Join(30012), 0);
  EXPECT_FALSE(second.joined());
  rx.Close();
  setenv("ZAVO_SHARE_FEED", "1", 1);
  ASSERT_EQ(rx.Join(30012), 0);
  ASSERT_EQ(second.Join(30012), 0);
  ASSERT_TRUE(raw_send(kGroup, 30012, "both"));
  EXPECT_TRUE(rx.WaitFor(1));
  EXPECT_TRUE(second.WaitFor(1));
  unsetenv("ZAVO_SHARE_FEED");
  rx.Close();
  second.Close();
}

TEST(LoopReceiverEnd, StopFromOnDataAndCloseAfterTheLoopEnded) {
  auto* loop = new EvLoop();
  loop->Start();
  LoopReceiver stopper(loop, true);
  LoopReceiver kept(loop);
  ASSERT_EQ(stopper.Join(30013), 0);
  ASSERT_EQ(kept.Join(30014), 0);
  ASSERT_TRUE(raw_send(kGroup, 30013, "one"));
  ASSERT_TRUE(stopper.WaitFor(1));
  ASSERT_TRUE(raw_send(kGroup, 30013, "two"));
  loop_barrier(loop);
  EXPECT_EQ(stopper.Got().size(), 1u);
  EXPECT_FALSE(stopper.joined());

  // The loop ends with `kept` still open; its close then runs here, and
  // the handle's memory goes with the loop's last close callbacks (the
  // leak checker watches).
  loop->Stop();
  loop->Join();
  EXPECT_TRUE(kept.joined());
  kept.Close();
  EXPECT_FALSE(kept.joined());
  delete loop;
}

}  // namespace
}  // namespace test
}  // namespace zavo
