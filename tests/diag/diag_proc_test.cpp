#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "util/diagnostics.h"

namespace zavo {
namespace {

// Closes the descriptor when the test ends, whichever way it ends.
struct Fd {
  int fd;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

int bound_port(int fd) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return -1;
  return ntohs(addr.sin_port);
}

sockaddr_in loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

TEST(NetstatReader, FindsEstablishedTcpConnectionOfALoopbackListener) {
  Fd listener(socket(AF_INET, SOCK_STREAM, 0));
  ASSERT_GE(listener.fd, 0);
  sockaddr_in addr = loopback(0);
  ASSERT_EQ(bind(listener.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(listener.fd, 4), 0);
  const int port = bound_port(listener.fd);
  ASSERT_GT(port, 0);

  // Only established or closed lines count: the listening line alone is no match.
  sys_netstat st{};
  EXPECT_FALSE(get_netstat_tcp_bylocal(&st, "127.0.0.1", port));
  EXPECT_FALSE(get_netstat_tcp_byremote(&st, "127.0.0.1", port));

  Fd client(socket(AF_INET, SOCK_STREAM, 0));
  ASSERT_GE(client.fd, 0);
  addr = loopback(port);
  ASSERT_EQ(connect(client.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  Fd server(accept(listener.fd, nullptr, nullptr));
  ASSERT_GE(server.fd, 0);

  // 100 bytes the server side does not read sit in its receive queue.
  char payload[100];
  std::memset(payload, 'x', sizeof payload);
  ASSERT_EQ(send(client.fd, payload, sizeof payload, 0), 100);
  pollfd pfd{server.fd, POLLIN, 0};
  ASSERT_EQ(poll(&pfd, 1, 10000), 1);

  st = sys_netstat{};
  ASSERT_TRUE(get_netstat_tcp_bylocal(&st, "127.0.0.1", port));
  EXPECT_EQ(st.rx_queue, 100u);
  EXPECT_EQ(st.retransmits, 0u);
  EXPECT_GT(st.snd_cwnd, 0u);  // TCP-only columns are read on real lines
  EXPECT_GT(st.rto, 0u);

  // The client's line carries the listener's address as its remote end.
  st = sys_netstat{};
  ASSERT_TRUE(get_netstat_tcp_byremote(&st, "127.0.0.1", port));
  EXPECT_EQ(st.rx_queue, 0u);
  EXPECT_GT(st.snd_cwnd, 0u);
  const int client_port = bound_port(client.fd);
  EXPECT_TRUE(get_netstat_tcp_bylocal(&st, "127.0.0.1", client_port));
}

TEST(NetstatReader, FindsABoundUdpSocketAndItsQueue) {
  Fd sock(socket(AF_INET, SOCK_DGRAM, 0));
  ASSERT_GE(sock.fd, 0);
  sockaddr_in addr = loopback(0);
  ASSERT_EQ(bind(sock.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  const int port = bound_port(sock.fd);

  sys_netstat st{};
  ASSERT_TRUE(get_netstat_udp_bylocal(&st, "127.0.0.1", port));
  EXPECT_EQ(st.rx_queue, 0u);
  EXPECT_EQ(st.snd_cwnd, 0u);  // UDP lines have no TCP columns

  addr = loopback(port);
  ASSERT_EQ(sendto(sock.fd, "ping", 4, 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 4);
  pollfd pfd{sock.fd, POLLIN, 0};
  ASSERT_EQ(poll(&pfd, 1, 10000), 1);
  ASSERT_TRUE(get_netstat_udp_bylocal(&st, "127.0.0.1", port));
  EXPECT_GT(st.rx_queue, 0u);

  EXPECT_FALSE(get_netstat_udp_bylocal(&st, "127.0.0.1", port == 1 ? 2 : 1));
}

TEST(NetstatReader, ParsesColumnsOfAGivenTable) {
  char path[] = "/tmp/diag_netstat_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const char* table =
      "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
      "timeout inode\n"
      // listening: skipped although the address matches
      "   0: 0100007F:0050 00000000:0000 0A 00000000:00000000 00:00000000 00000000 0 0 1 1 "
      "0000000000000000 100 0 0 10 0\n"
      // established, TCP columns present; hexadecimal queues and retransmits
      "   1: 0100007F:0050 0200007F:1F90 01 000001A0:0000FFFF 01:00000010 0000000B 0 0 2 1 "
      "0000000000000000 204 40 1 7 -1          \n"
      // a later match is not taken
      "   2: 0100007F:0050 0300007F:1F90 01 00000001:00000001 00:00000000 00000000 0 0 3 1 "
      "0000000000000000 1 1 1 1 1\n"
      // short UDP-like line with tabs
      "\t3:\t0101A8C0:0035\t00000000:0000\t07\t00000000:00000340\t00:00000000\t00000002\t0\t0"
      "\t4\t2\t0000000000000000\t0\n";
  ASSERT_EQ(write(fd, table, std::strlen(table)), static_cast<ssize_t>(std::strlen(table)));
  close(fd);

  sys_netstat st{};
  ASSERT_TRUE(get_netstat_bypos(path, &st, "0100007F:0050", 1));
  EXPECT_EQ(st.tx_queue, 0x1A0u);
  EXPECT_EQ(st.rx_queue, 0xFFFFu);
  EXPECT_EQ(st.retransmits, 0xBu);
  EXPECT_EQ(st.rto, 204u);
  EXPECT_EQ(st.ato, 40u);
  EXPECT_EQ(st.snd_cwnd, 7u);

  ASSERT_TRUE(get_netstat_bypos(path, &st, "0300007F:1F90", 2));
  EXPECT_EQ(st.tx_queue, 1u);
  EXPECT_EQ(st.snd_cwnd, 1u);

  st.snd_cwnd = 99;
  ASSERT_TRUE(get_netstat_bypos(path, &st, "0101A8C0:0035", 1));
  EXPECT_EQ(st.rx_queue, 0x340u);
  EXPECT_EQ(st.retransmits, 2u);
  EXPECT_EQ(st.snd_cwnd, 0u);

  EXPECT_FALSE(get_netstat_bypos(path, &st, "0100007F:0050", 2));
  EXPECT_FALSE(get_netstat_bypos(path, &st, "0100007F:0050", 40));  // no such column
  EXPECT_FALSE(get_netstat_bypos(path, nullptr, "0100007F:0050", 1));
  unlink(path);
  EXPECT_FALSE(get_netstat_bypos(path, &st, "0100007F:0050", 1));
}

TEST(ProcessMemory, ReportsSizeAndResidentSetOfThisProcess) {
  const std::string info = process_mem_info();
  // "VmSize=<digits>kB  VmRSS=<digits>kB  "
  unsigned long size = 0, rss = 0;
  char tail[8] = {0};
  ASSERT_EQ(std::sscanf(info.c_str(), "VmSize=%lukB  VmRSS=%lukB%7c", &size, &rss, tail), 3)
      << info;
  EXPECT_STREQ(tail, "  ") << info;
  EXPECT_EQ(info, "VmSize=" + std::to_string(size) + "kB  VmRSS=" + std::to_string(rss) + "kB  ");
  EXPECT_GE(size, rss);

  const uint32_t before = get_process_vmrss();
  ASSERT_GT(before, 0u);
  // Touch 32 MB: the resident set must grow by most of it.
  std::vector<char> block(32 << 20);
  for (size_t i = 0; i < block.size(); i += 4096) block[i] = static_cast<char>(i);
  const uint32_t after = get_process_vmrss();
  EXPECT_GE(after, before + 24 * 1024) << before << " -> " << after;
  EXPECT_EQ(block[4096], static_cast<char>(4096));
}

TEST(ProcessMemory, AForkedChildReadsItsOwnFigures) {
  ASSERT_FALSE(process_mem_info().empty());  // the parent has read its file
  const uint32_t parent_rss = get_process_vmrss();
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    std::vector<char> block(64 << 20);
    // Written through a volatile pointer: a block that is only written and
    // never read may otherwise be left unallocated by the optimiser (clang
    // at -O3 does), and the child would not grow at all.
    volatile char* touch = block.data();
    for (size_t i = 0; i < block.size(); i += 4096) touch[i] = 1;
    const uint32_t child_rss = get_process_vmrss();
    _exit(child_rss >= parent_rss + 48 * 1024 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "child saw the parent's resident set";
}

}  // namespace
}  // namespace zavo
