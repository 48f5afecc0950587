// Multicast receiver: join, delivery, close and re-join, failures, output
// lines and the backoff idle strategy. Runs in a private network namespace.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <cerrno>

#include <dirent.h>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "udp_test_support.h"

namespace zavo {
namespace test {

int thread_count() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') ++n;
    }
    closedir(d);
  }
  return n;
}

namespace {

constexpr const char* kGroup = "239.1.2.3";

class ReceiverTest : public ::testing::Test {
 protected:
  void SetUp() override { unsetenv("ZAVO_IDLE_STRATEGY"); }
};

TEST_F(ReceiverTest, JoinDeliverCloseAndRejoin) {
  CollectingReceiver rx;
  ASSERT_EQ(rx.JoinMulticase(kGroup, 30001, kLocalIf), 0);
  EXPECT_TRUE(rx.joined());
  EXPECT_EQ(rx.idle_mode(), IdleMode::kBackoff);
  // The socket is bound to the group itself; an unconnected socket has no peer.
  EXPECT_EQ(rx.local_ip(), kGroup);
  EXPECT_EQ(rx.local_port(), 30001);
  EXPECT_EQ(rx.peer_ip(), "");
  EXPECT_EQ(rx.peer_port(), 0);

  // An empty datagram between two others is not delivered.
  ASSERT_TRUE(raw_send(kGroup, 30001, "first"));
  ASSERT_TRUE(raw_send(kGroup, 30001, ""));
  ASSERT_TRUE(raw_send(kGroup, 30001, std::string(9000, 'x')));
  ASSERT_TRUE(raw_send(kGroup, 30001, "last"));
  ASSERT_TRUE(rx.WaitFor(3));
  // Another port of the same group is not for this socket.
  ASSERT_TRUE(raw_send(kGroup, 30002, "other port"));
  ASSERT_TRUE(raw_send(kGroup, 30001, "after"));
  ASSERT_TRUE(rx.WaitFor(4));
  EXPECT_EQ(rx.Got(), (std::vector<std::string>{"first", std::string(9000, 'x'), "last", "after"}));

  rx.Close();
  EXPECT_FALSE(rx.joined());
  rx.Close();  // second Close returns at once

  // Join again on the same port; then join again without closing, which
  // replaces the socket and the thread.
  ASSERT_EQ(rx.JoinMulticase(kGroup, 30001, kLocalIf), 0);
  ASSERT_TRUE(raw_send(kGroup, 30001, "again"));
  ASSERT_TRUE(rx.WaitFor(5));
  ASSERT_EQ(rx.JoinMulticase("239.1.2.4", 30003, kLocalIf), 0);
  EXPECT_EQ(rx.local_ip(), "239.1.2.4");
  EXPECT_EQ(rx.local_port(), 30003);
  ASSERT_TRUE(raw_send("239.1.2.4", 30003, "moved"));
  ASSERT_TRUE(rx.WaitFor(6));
  EXPECT_EQ(rx.Got().back(), "moved");
  EXPECT_EQ(rx.Got()[4], "again");
  rx.Close();
}

TEST_F(ReceiverTest, FailedJoinsLeaveNoThreadAndCloseIsIdempotent) {
  const int threads_before = thread_count();
  CollectingReceiver rx;
  rx.Close();  // before any join
  rx.Close();
  // A well-formed address that no interface here has: membership fails,
  // and the system's reason comes back.
  const int rc = rx.JoinMulticase(kGroup, 30010, "10.77.0.1");
  EXPECT_TRUE(rc == -EADDRNOTAVAIL || rc == -ENODEV) << rc;
  // Texts that are not addresses must not turn into 255.255.255.255.
  EXPECT_EQ(rx.JoinMulticase(kGroup, 30010, "not-an-ip"), -EINVAL);
  EXPECT_EQ(rx.JoinMulticase(kGroup, 30010, nullptr), -EINVAL);
  EXPECT_EQ(rx.JoinMulticase("239.1", 30010, kLocalIf), -EINVAL);
  EXPECT_EQ(rx.JoinMulticase("", 30010, kLocalIf), -EINVAL);
  EXPECT_EQ(rx.JoinMulticase(kGroup, 70000, kLocalIf), -EINVAL);
  EXPECT_FALSE(rx.joined());
  EXPECT_EQ(thread_count(), threads_before);

  // A second receiver of the same group and port cannot bind (no reuse).
  CollectingReceiver first;
  ASSERT_EQ(first.JoinMulticase(kGroup, 30011, kLocalIf), 0);
  EXPECT_EQ(rx.JoinMulticase(kGroup, 30011, kLocalIf), -EADDRINUSE);
  EXPECT_FALSE(rx.joined());
  // The failures left the receiver usable.
  first.Close();
  ASSERT_EQ(rx.JoinMulticase(kGroup, 30011, kLocalIf), 0);
  ASSERT_TRUE(raw_send(kGroup, 30011, "ok"));
  ASSERT_TRUE(rx.WaitFor(1));
  UdpMulticaseReceiver2::Release(new CollectingReceiver());  // never joined
  rx.Close();
  EXPECT_EQ(thread_count(), threads_before);
}

TEST_F(ReceiverTest, OutputLinesAndCpuBinding) {
  {
    CollectingReceiver rx;
    testing::internal::CaptureStdout();
    ASSERT_EQ(rx.JoinMulticase(kGroup, 30020, kLocalIf), 0);
    rx.Close();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("## UdpMulticaseReceiver Start!\n"), std::string::npos) << out;
    EXPECT_NE(out.find("## UdpMulticaseReceiver End!\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("BindTo"), std::string::npos) << out;
  }
  {
    // Pinned: spin mode. CPU 3 may not exist here; the line is printed anyway.
    CollectingReceiver rx;
    EXPECT_EQ(rx.idle_mode(), IdleMode::kBackoff);
    rx.set_cpu_id(3);
    EXPECT_EQ(rx.idle_mode(), IdleMode::kSpin);  // known before joining
    testing::internal::CaptureStdout();
    ASSERT_EQ(rx.JoinMulticase(kGroup, 30021, kLocalIf), 0);
    EXPECT_EQ(rx.idle_mode(), IdleMode::kSpin);
    ASSERT_TRUE(raw_send(kGroup, 30021, "spun"));
    ASSERT_TRUE(rx.WaitFor(1));
    rx.Close();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("## UdpMulticaseReceiver BindTo 3!\n"), std::string::npos) << out;
    EXPECT_NE(out.find("## UdpMulticaseReceiver End!\n"), std::string::npos) << out;
  }
  {
    // The environment overrides the pinning's choice.
    setenv("ZAVO_IDLE_STRATEGY", "backoff", 1);
    CollectingReceiver rx;
    rx.set_cpu_id(0);
    testing::internal::CaptureStdout();
    ASSERT_EQ(rx.JoinMulticase(kGroup, 30022, kLocalIf), 0);
    EXPECT_EQ(rx.idle_mode(), IdleMode::kBackoff);
    rx.Close();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("## UdpMulticaseReceiver BindTo 0!\n"), std::string::npos) << out;
    unsetenv("ZAVO_IDLE_STRATEGY");
  }
}

double process_cpu_seconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

TEST_F(ReceiverTest, BackoffSilentReceiverIdlesAndStillDelivers) {
  CollectingReceiver rx;
  ASSERT_EQ(rx.JoinMulticase(kGroup, 30030, kLocalIf), 0);
  ASSERT_EQ(rx.idle_mode(), IdleMode::kBackoff);
  // Time is the subject: one second of silence. The main thread sleeps, so
  // the process's CPU time is the read thread's.
  const double cpu0 = process_cpu_seconds();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const double used = process_cpu_seconds() - cpu0;
  EXPECT_LT(used, 0.1) << "a silent receiver in backoff mode kept the CPU busy";

  // The first datagram after the silence wakes the blocked thread.
  ASSERT_TRUE(raw_send(kGroup, 30030, "after silence"));
  ASSERT_TRUE(rx.WaitFor(1, std::chrono::seconds(2)));
  EXPECT_EQ(rx.Got()[0], "after silence");

  // Close wakes a blocked read thread at once instead of waiting for data.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const auto t0 = std::chrono::steady_clock::now();
  rx.Close();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
}

}  // namespace
}  // namespace test
}  // namespace zavo
