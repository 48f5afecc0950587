#include "net/udp_multicast_receiver.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "net/udp_addr.h"
#include "util/helpers.h"
#include "util/logger.h"

namespace zavo {

namespace {
// Read at every join, so a process may change it between sessions.
bool share_feed_requested() {
  const char* v = std::getenv("ZAVO_SHARE_FEED");
  return v != nullptr && std::strcmp(v, "1") == 0;
}
}  // namespace

UdpMulticaseReceiver2::UdpMulticaseReceiver2()
    : recv_buffer_(kRecvBufferSize), idle_mode_(ChooseIdleMode(-1)) {}

UdpMulticaseReceiver2::~UdpMulticaseReceiver2() {
  Close();
}

void UdpMulticaseReceiver2::close_fds() {
  {
    std::lock_guard<std::mutex> lock(reader_mutex_);
    if (fd_ >= 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  std::lock_guard<std::mutex> lock(wake_mutex_);
  if (wake_fd_ >= 0) {
    ::close(wake_fd_);
    wake_fd_ = -1;
  }
}

void UdpMulticaseReceiver2::wake_read_thread() {
  std::lock_guard<std::mutex> lock(wake_mutex_);
  const uint64_t one = 1;
  if (wake_fd_ >= 0) (void)!::write(wake_fd_, &one, sizeof(one));
}

int UdpMulticaseReceiver2::JoinMulticase(const char* group, unsigned int port,
                                         const char* local_ip) {
  if (joined() || fd_ >= 0) Close();

  sockaddr_in group_addr;
  in_addr iface;
  if (!udp_make_addr(group, port, &group_addr) || !udp_parse_ipv4(local_ip, &iface)) return -1;

  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return -1;
  int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
    ::close(fd);
    return -1;
  }
  int rcvbuf = kSocketRecvBuffer;
  (void)::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
  // Opt-in sharing: with ZAVO_SHARE_FEED=1 every receiver that asks for it
  // (a recorder, other sessions) binds the same group and port and each
  // gets its own copy of every datagram. Left off, a second receiver of the
  // group on this host fails to bind, which is what callers rely on.
  if (share_feed_requested()) {
    const int one = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0) {
      ::close(fd);
      return -1;
    }
  }
  {
    std::lock_guard<std::mutex> lock(reader_mutex_);
    fd_ = fd;
  }
  group_addr_ = group_addr;

  // Bound to the group itself, not the wildcard, so that only datagrams for
  // this group and port arrive. Without ZAVO_SHARE_FEED no address reuse: a
  // second receiver of the same group and port on this host fails to bind.
  ip_mreq mreq{};
  mreq.imr_multiaddr = group_addr_.sin_addr;
  mreq.imr_interface = iface;
  if (::bind(fd_, reinterpret_cast<const sockaddr*>(&group_addr_), sizeof(group_addr_)) != 0 ||
      ::setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof(mreq)) != 0) {
    close_fds();
    return -1;
  }
  int wake = -1;
  {
    std::lock_guard<std::mutex> lock(wake_mutex_);
    wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    wake = wake_fd_;
  }
  if (wake < 0) {
    close_fds();
    return -1;
  }

  ClearAddress();
  FillAddressFromSocket(fd_);

  const IdleMode mode = ChooseIdleMode(cpu_id_);
  idle_mode_.store(mode, std::memory_order_relaxed);
  ZAVO_LOG("%p[%s] join %s:%u on %s, read thread idle strategy %s", (void*)this, ClassName(), group,
           port, local_ip, IdleModeName(mode));

  stop_.store(false, std::memory_order_seq_cst);
  {
    std::lock_guard<std::mutex> lock(close_mutex_);
    thread_.reset(new std::thread(&UdpMulticaseReceiver2::read_loop, this));
  }
  watchable_fd_.store(fd_, std::memory_order_release);
  return 0;
}

void UdpMulticaseReceiver2::read_loop() {
  // Before the first OnData: a Close from inside it must know its thread.
  read_thread_id_.store(std::this_thread::get_id(), std::memory_order_release);
  std::printf("## UdpMulticaseReceiver Start!\n");
  if (cpu_id_ != -1) {
    (void)bind_2_cpu(cpu_id_);
    std::printf("## UdpMulticaseReceiver BindTo %d!\n", cpu_id_);
  }
  std::fflush(stdout);

  IdleStrategy idle(idle_mode());
  char* buf = recv_buffer_.base();
  const size_t cap = recv_buffer_.capacity();
  pollfd fds[2];
  fds[0].fd = fd_;
  fds[0].events = POLLIN;
  fds[1].fd = wake_fd_;
  fds[1].events = POLLIN;
  auto block = [this, &fds] {
    fds[0].revents = fds[1].revents = 0;
    // No timeout: a datagram, Close or the end of a watch (through the
    // eventfd) wakes it. While another thread watches the socket, only the
    // eventfd: one thread woken per datagram, not two.
    parked_.store(true, std::memory_order_seq_cst);
    if (watched_fd_.load(std::memory_order_seq_cst) == fd_) {
      (void)::poll(&fds[1], 1, -1);
    } else {
      parked_.store(false, std::memory_order_relaxed);
      (void)::poll(fds, 2, -1);
    }
    parked_.store(false, std::memory_order_relaxed);
    if (fds[1].revents & POLLIN) {
      // Close sets the stop flag before it signals, so nothing is lost.
      uint64_t count = 0;
      (void)!::read(wake_fd_, &count, sizeof(count));
    }
  };

  std::unique_lock<std::mutex> reader(reader_mutex_, std::defer_lock);
  while (!stop_.load(std::memory_order_seq_cst)) {
    if (direct_reads_) reader.lock();
    const ssize_t n = receive(buf, cap);
    if (n > 0) OnData(buf, static_cast<size_t>(n));
    if (direct_reads_) reader.unlock();
    // An empty datagram counts as traffic and keeps the polling window
    // open; nothing waiting or an error: idle, then poll again.
    if (n >= 0) {
      idle.Reset();
      continue;
    }
    idle.Idle(block);
  }

  // The socket goes with the thread: after a Close from inside OnData
  // nobody may join it for a while, and the group should be left now.
  reader.lock();
  ::close(fd_);
  fd_ = -1;
  reader.unlock();
  std::printf("## UdpMulticaseReceiver End!\n");
  std::fflush(stdout);
}

ssize_t UdpMulticaseReceiver2::receive(char* buf, size_t cap) {
  sockaddr_in from;
  socklen_t from_len = sizeof(from);
  return ::recvfrom(fd_, buf, cap, 0, reinterpret_cast<sockaddr*>(&from), &from_len);
}

void UdpMulticaseReceiver2::EndWatch() {
  watched_fd_.store(-1, std::memory_order_seq_cst);
  // Pairs with the read thread's park: either it sees the watch ended and
  // keeps the socket in its poll, or this sees it parked and wakes it.
  if (parked_.load(std::memory_order_seq_cst)) wake_read_thread();
}

void UdpMulticaseReceiver2::Stop() {
  // No new watch on a socket about to close.
  watchable_fd_.store(-1, std::memory_order_release);
  stop_.store(true, std::memory_order_seq_cst);
  // Wake a read thread blocked in poll(); in spin mode it sees the flag.
  wake_read_thread();
}

void UdpMulticaseReceiver2::Close() {
  Stop();
  if (IsReadThread()) return;
  std::lock_guard<std::mutex> lock(close_mutex_);
  if (thread_ != nullptr) {
    if (thread_->joinable()) thread_->join();
    thread_.reset();
    read_thread_id_.store(std::thread::id(), std::memory_order_release);
  }
  close_fds();
}

void UdpMulticaseReceiver2::Release(UdpMulticaseReceiver2* receiver) {
  receiver->Close();
  delete receiver;
}

}  // namespace zavo
