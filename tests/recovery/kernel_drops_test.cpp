// The kernel's count of datagrams dropped for want of room, as a batched
// receive reads it from a socket with SO_RXQ_OVFL (loopback unicast inside
// the test's private network namespace).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "net/datagram_batch.h"

namespace zavo {
namespace {

TEST(KernelDrops, ABatchReadsTheSocketsDropCount) {
  const int rx = ::socket(AF_INET, SOCK_DGRAM, 0);
  const int tx = ::socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(rx, 0);
  ASSERT_GE(tx, 0);
  const int small = 4096;  // the kernel's floor: a few datagrams fit
  ASSERT_EQ(::setsockopt(rx, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small)), 0);
  const int one = 1;
  ASSERT_EQ(::setsockopt(rx, SOL_SOCKET, SO_RXQ_OVFL, &one, sizeof(one)), 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(rx, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  socklen_t len = sizeof(addr);
  ASSERT_EQ(::getsockname(rx, reinterpret_cast<sockaddr*>(&addr), &len), 0);

  DatagramBatch plain;
  DatagramBatch counting;
  counting.EnableDropCount();
  const std::vector<char> payload(1000, 'x');
  auto send = [&](int n) {
    for (int i = 0; i < n; ++i) {
      (void)::sendto(tx, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&addr),
                     sizeof(addr));
    }
  };
  send(1);
  ASSERT_EQ(counting.Receive(rx, true), 1);
  EXPECT_EQ(counting.kernel_drops(), 0u);
  send(200);  // far more than the buffer holds
  int got = 0;
  for (int round = 0; round < 100; ++round) {
    const int n = plain.Receive(rx);
    if (n <= 0) break;
    got += n;
  }
  ASSERT_GT(got, 0);
  ASSERT_LT(got, 200);
  EXPECT_EQ(plain.kernel_drops(), 0u);  // not asked for
  send(1);
  ASSERT_EQ(counting.Receive(rx, true), 1);
  EXPECT_EQ(counting.kernel_drops(), static_cast<uint32_t>(200 - got));
  ::close(rx);
  ::close(tx);
}

}  // namespace
}  // namespace zavo
