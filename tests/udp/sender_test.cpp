// Multicast senders reaching a receiver, their defaults, failures and the
// send-request counter. Runs in a private network namespace.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "net/ev_loop.h"
#include "net/udp_multicast_sender.h"
#include "udp_test_support.h"

namespace zavo {
namespace test {
namespace {

constexpr const char* kGroup = "239.2.3.4";

// Runs `fn` on the loop thread and waits for it.
template <typename Fn>
auto in_loop(EvLoop& loop, Fn fn) -> decltype(fn()) {
  std::packaged_task<decltype(fn())()> task(fn);
  auto result = task.get_future();
  loop.CallInLoop([&task] { task(); });
  EXPECT_EQ(result.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  return result.get();
}

int multicast_ttl(int fd) {
  unsigned char ttl = 99;
  socklen_t len = sizeof(ttl);
  if (getsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, &len) != 0) return -1;
  return ttl;
}

TEST(UdpMulticastSender2, ReachesReceiverWithHostLocalDefaults) {
  CollectingReceiver rx;
  ASSERT_EQ(rx.JoinMulticase(kGroup, 31001, kLocalIf), 0);

  UdpMulticastSender2 tx;
  EXPECT_FALSE(tx.is_open());
  EXPECT_FALSE(tx.Write(Slice("early", 5)));
  // Null interface: 127.0.0.1 and a time-to-live of 0.
  ASSERT_EQ(tx.Open(kGroup, 31001, nullptr), 0);
  EXPECT_EQ(tx.local_ip(), "127.0.0.1");
  EXPECT_NE(tx.local_port(), 0);
  EXPECT_EQ(multicast_ttl(tx.fd()), 0);
  const int fd = tx.fd();
  EXPECT_EQ(tx.Open(kGroup, 31001, kLocalIf), -1);
  EXPECT_EQ(tx.fd(), fd);

  EXPECT_TRUE(tx.Write(Slice("one", 3)));
  EXPECT_FALSE(tx.Write(Slice("", 0)));  // carries no byte, nor is delivered
  EXPECT_TRUE(tx.Write(Slice("two", 3)));
  ASSERT_TRUE(rx.WaitFor(2));
  EXPECT_EQ(rx.Got(), (std::vector<std::string>{"one", "two"}));
  rx.Close();

  UdpMulticastSender2 bad;
  EXPECT_EQ(bad.Open("239.2.3", 31001, kLocalIf), -EINVAL);
  EXPECT_EQ(bad.Open(kGroup, 31001, "127.0.0.300"), -EINVAL);
  EXPECT_LT(bad.Open(kGroup, 31001, "10.77.0.1"), 0);  // no such interface here
  EXPECT_FALSE(bad.is_open());
  UdpMulticastSender2 ttl;
  ttl.set_ttl(3);
  ASSERT_EQ(ttl.Open(kGroup, 31001, kLocalIf), 0);
  EXPECT_EQ(multicast_ttl(ttl.fd()), 3);
}

TEST(UdpMulticaseSender, ReachesReceiverAndCountsSendRequests) {
  CollectingReceiver rx;
  ASSERT_EQ(rx.JoinMulticase(kGroup, 31002, kLocalIf), 0);

  EvLoop loop;
  loop.Start();
  UdpMulticaseSender* tx = in_loop(loop, [&] { return new UdpMulticaseSender(&loop); });
  UdpMulticaseSender* nodest = in_loop(loop, [&] { return new UdpMulticaseSender(&loop); });

  in_loop(loop, [&] {
    EXPECT_EQ(tx->SetMultiCastAddress("not an address", 31002), UV_EINVAL);
    EXPECT_EQ(tx->SetMultiCastAddress(kGroup, 31002), 0);
    EXPECT_EQ(tx->SetMultiCaseInterface(nullptr), 0);
    EXPECT_EQ(tx->local_ip(), "127.0.0.1");
    EXPECT_NE(tx->local_port(), 0);
    return 0;
  });

  const int64_t base = UdpMulticaseSender::GetCachedWriteReqCount();
  in_loop(loop, [&] {
    tx->Write(Slice("alpha", 5));
    ByteBuffer moved("beta", 4);
    tx->Write(std::move(moved));
    EXPECT_EQ(moved.ReadableBytes(), 0u);
    EXPECT_EQ(moved.capacity(), 0u);
    tx->Write(Slice("gamma", 5));
    // Started and not yet completed: completions run on a later iteration.
    EXPECT_EQ(UdpMulticaseSender::GetCachedWriteReqCount(), base + 3);
    // No destination: the start fails and leaves no request behind.
    nodest->Write(Slice("lost", 4));
    EXPECT_EQ(UdpMulticaseSender::GetCachedWriteReqCount(), base + 3);
    return 0;
  });
  ASSERT_TRUE(rx.WaitFor(3));
  EXPECT_EQ(rx.Got(), (std::vector<std::string>{"alpha", "beta", "gamma"}));
  // The completions have run by the time the next posted task runs.
  EXPECT_EQ(in_loop(loop, [] { return UdpMulticaseSender::GetCachedWriteReqCount(); }), base);

  // A sender without a configured interface uses the host-local default.
  UdpMulticaseSender* lazy = in_loop(loop, [&] {
    auto* s = new UdpMulticaseSender(&loop);
    s->SetMultiCastAddress(kGroup, 31002);
    s->Write(Slice("default if", 10));
    return s;
  });
  ASSERT_TRUE(rx.WaitFor(4));
  EXPECT_EQ(rx.Got().back(), "default if");
  EXPECT_EQ(in_loop(loop, [&] { return lazy->local_ip(); }), "127.0.0.1");

  UdpMulticaseSender::Release(tx);
  UdpMulticaseSender::Release(nodest);
  UdpMulticaseSender::Release(lazy);
  loop.Stop();
  loop.Join();
  EXPECT_EQ(UdpMulticaseSender::GetCachedWriteReqCount(), base);
  rx.Close();
}

}  // namespace
}  // namespace test
}  // namespace zavo
