#include "net/udp_multicast_receiver.h"

#include <arpa/inet.h>
#include <errno.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "net/event_wait.h"
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

UdpMulticaseReceiver2::UdpMulticaseReceiver2() : idle_mode_(ChooseIdleMode(-1)) {}

UdpMulticaseReceiver2::~UdpMulticaseReceiver2() {
  Close();
}

void UdpMulticaseReceiver2::close_socket() {
  const int fd = socket_.Detach();
  if (fd >= 0) {
    ::close(fd);
    // A consumer waiting on it goes back to waiting for the next socket.
    SignalEvent(consumer_wake_fd_);
  }
}

void UdpMulticaseReceiver2::close_fds() {
  close_socket();
  std::lock_guard<std::mutex> lock(wake_mutex_);
  if (wake_fd_ >= 0) {
    ::close(wake_fd_);
    wake_fd_ = -1;
  }
}

void UdpMulticaseReceiver2::wake_read_thread() {
  std::lock_guard<std::mutex> lock(wake_mutex_);
  SignalEvent(wake_fd_);
}

int UdpMulticaseReceiver2::JoinMulticase(const char* group, unsigned int port,
                                         const char* local_ip) {
  if (joined() || socket_.fd() >= 0) Close();

  sockaddr_in group_addr;
  in_addr iface;
  if (!udp_make_addr(group, port, &group_addr) || !udp_parse_ipv4(local_ip, &iface)) {
    return -EINVAL;
  }

  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return -errno;
  // A blocking socket: a consumer that reads it waits in the receive
  // itself, one system call per wake-up. Every other read passes
  // MSG_DONTWAIT. The timeout only bounds a wait should the shutdown that
  // ends it (SocketHandover::Detach) ever be missed.
  const timeval limit{1, 0};
  (void)::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  // A privileged process gets the buffer whatever net.core.rmem_max says:
  // it is what absorbs a burst while the handler is busy.
  if (count_kernel_drops_) {
    const int one = 1;
    (void)::setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &one, sizeof(one));
    batch_.EnableDropCount();
  }
  int rcvbuf = kSocketRecvBuffer;
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof(rcvbuf)) != 0) {
    (void)::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
  }
  // Opt-in sharing: with ZAVO_SHARE_FEED=1 every receiver that asks for it
  // (a recorder, other sessions) binds the same group and port and each
  // gets its own copy of every datagram. Left off, a second receiver of the
  // group on this host fails to bind, which is what callers rely on.
  if (share_feed_requested()) {
    const int one = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0) {
      const int err = errno;
      ::close(fd);
      return -err;
    }
  }
  group_addr_ = group_addr;

  // Bound to the group itself, not the wildcard, so that only datagrams for
  // this group and port arrive. Without ZAVO_SHARE_FEED no address reuse: a
  // second receiver of the same group and port on this host fails to bind.
  ip_mreq mreq{};
  mreq.imr_multiaddr = group_addr_.sin_addr;
  mreq.imr_interface = iface;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&group_addr_), sizeof(group_addr_)) != 0 ||
      ::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof(mreq)) != 0) {
    const int err = errno;
    ::close(fd);
    return -err;
  }
  int wake = -1;
  {
    std::lock_guard<std::mutex> lock(wake_mutex_);
    wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    wake = wake_fd_;
  }
  if (wake < 0) {
    const int err = errno;
    ::close(fd);
    return -err;
  }

  ClearAddress();
  FillAddressFromSocket(fd);

  const IdleMode mode = ChooseIdleMode(cpu_id_);
  idle_mode_.store(mode, std::memory_order_relaxed);
  const bool standby = consumer_wake_fd_ >= 0 && mode == IdleMode::kBackoff;
  ZAVO_LOG("%p[%s] join %s:%u on %s, read thread idle strategy %s%s", (void*)this, ClassName(),
           group, port, local_ip, IdleModeName(mode),
           standby ? ", standing by while the consumer reads" : "");

  stop_.store(false, std::memory_order_seq_cst);
  standby_.store(standby, std::memory_order_release);
  socket_.Attach(fd, standby ? SocketHandover::Owner::kConsumer : SocketHandover::Owner::kReader);
  {
    std::lock_guard<std::mutex> lock(close_mutex_);
    thread_.reset(new std::thread(&UdpMulticaseReceiver2::read_loop, this));
  }
  // A consumer waiting without a socket now has one.
  SignalEvent(consumer_wake_fd_);
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
  if (standby_.load(std::memory_order_acquire)) {
    standby_loop();
  } else {
    own_socket_loop();
  }
  // The socket goes with the thread: after a Close from inside OnData
  // nobody may join it for a while, and the group should be left now.
  close_socket();
  std::printf("## UdpMulticaseReceiver End!\n");
  std::fflush(stdout);
}

int UdpMulticaseReceiver2::read_batch(int fd) {
  const int n = batch_.Receive(fd);
  if (n > 0 && batch_.counts_drops()) note_kernel_drops(batch_.kernel_drops());
  for (int i = 0; i < n; ++i) {
    // An empty datagram counts as traffic but carries nothing to hand on.
    if (batch_.size(i) > 0) OnData(batch_.data(i), batch_.size(i));
  }
  return n;
}

void UdpMulticaseReceiver2::wait_readable(int fd, int64_t timeout_ns) {
  // Close sets the stop flag before it signals, so nothing is lost.
  WaitEventOrReadable(wake_fd_, fd, timeout_ns);
}

void UdpMulticaseReceiver2::own_socket_loop() {
  IdleStrategy idle(idle_mode());
  const int fd = socket_.fd();
  while (!stop_.load(std::memory_order_seq_cst)) {
    // Nothing waiting or an error: idle, then poll again.
    if (read_batch(fd) > 0) {
      idle.Reset();
      continue;
    }
    idle.Idle([this, fd] { wait_readable(fd, -1); });
  }
}

bool UdpMulticaseReceiver2::watch_consumer() {
  uint64_t seen = socket_.progress();
  int quiet = 0;
  int64_t period = kWatchdogPeriodNs;
  while (!stop_.load(std::memory_order_seq_cst)) {
    int64_t timeout = period;
    if (quiet >= kQuietPeriods) {
      // Parked: the consumer wakes it when it works again. The long limit
      // only bounds the wait should a wake-up ever be missed.
      socket_.AnnouncePark();
      if (socket_.progress() == seen) timeout = 1000LL * 1000 * 1000;
    }
    wait_readable(-1, timeout);
    socket_.Unpark();
    if (socket_.TakeHelpRequest() && socket_.TakeOver()) return true;
    const uint64_t now = socket_.progress();
    // Still in the datagram it was in a whole period ago: stuck in a
    // handler, or descheduled in the middle of one.
    if (now == seen && SocketHandover::InDatagram(now) && socket_.TakeOver()) return true;
    quiet = now == seen ? quiet + 1 : 0;
    // Found in a datagram: look again soon, to tell a long one; found
    // between datagrams: the handler keeps up, look less often.
    period = SocketHandover::InDatagram(now)
                 ? kWatchdogPeriodNs
                 : (period * 2 > kWatchdogMaxPeriodNs ? kWatchdogMaxPeriodNs : period * 2);
    seen = now;
  }
  return false;
}

void UdpMulticaseReceiver2::standby_loop() {
  while (!stop_.load(std::memory_order_seq_cst)) {
    const SocketHandover::Owner owner = socket_.owner();
    if (owner == SocketHandover::Owner::kConsumer) {
      if (!watch_consumer()) break;
      LogThrottled(&takeover_log_, "%p[%s] read thread drains the feed while the consumer is busy",
                   (void*)this, ClassName());
      continue;
    }
    // The consumer is taking the socket back, or is still in a receive that
    // began before the take-over (it then takes the socket back as soon as
    // it finds the queue empty): either way it wakes this thread.
    if (owner == SocketHandover::Owner::kReturning || !socket_.ConsumerOutOfReceive()) {
      wait_readable(-1, kWatchdogPeriodNs);
      continue;
    }
    const int fd = socket_.ReaderBeginRead();
    if (fd < 0) continue;  // taken back
    const int n = read_batch(fd);
    socket_.ReaderEndRead();
    // Drained: wait for more, or for the consumer taking the socket back.
    if (n <= 0) wait_readable(fd, -1);
  }
}

void UdpMulticaseReceiver2::Stop() {
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
