#pragma once
// Multicast receiver with its own read thread.
//
// One IPv4 UDP socket bound to the group address and port and joined to the
// group on a local interface; one thread that reads it in batches
// (DatagramBatch) and hands every datagram of at least one byte, in arrival
// order, to OnData. The owner (an API object) derives from this class and
// implements OnData/OnError.
//
// The read thread idles according to an IdleStrategy: when it is pinned to
// a CPU (cpu_id >= 0) it polls the socket without pause; otherwise it polls
// for a short while after the last datagram, then blocks in poll() until
// the socket is readable. Close wakes it in either mode through an
// eventfd, so it never waits for a timeout.
//
// Consumer reads (backoff only, see SocketHandover): an owner whose own
// consumer thread reads the socket while it keeps up turns them on before
// joining. The read thread then stands by, blocked, and takes the socket
// over only when its watchdog finds the consumer stuck in one datagram, or
// when the consumer asks for help; it drains the socket through OnData
// until the consumer takes the socket back.
#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include <sys/types.h>

#include "net/datagram_batch.h"
#include "net/idle_strategy.h"
#include "net/net_base.h"
#include "net/socket_handover.h"
#include "util/log_throttle.h"

namespace zavo {

class UdpMulticaseReceiver2 : public NetBase {
 public:
  // Kernel receive buffer asked for; the kernel may grant less (its
  // net.core.rmem_max), unless the process may force it.
  static constexpr int kSocketRecvBuffer = 0x400000;
  // The standing-by read thread looks at the consumer's progress every
  // kWatchdogPeriodNs while it finds it in a datagram, and up to
  // kWatchdogMaxPeriodNs apart while it keeps finding it between datagrams
  // (a quick handler). Each look is a timer wake-up, which costs about 20 us
  // of CPU on a virtual machine whose idle cores halt, and can delay the
  // next datagram by as much, so the looks are kept coarse: the kernel's
  // receive buffer holds tens of milliseconds of a busy feed, more than
  // the watchdog needs to step in.
  static constexpr int64_t kWatchdogPeriodNs = 1000 * 1000;
  static constexpr int64_t kWatchdogMaxPeriodNs = 8 * kWatchdogPeriodNs;
  // Without progress for this many looks the feed is quiet: the read
  // thread parks without a timer until the consumer works again.
  static constexpr int kQuietPeriods = 8;

  UdpMulticaseReceiver2();
  // Owners call Close (or Release) before destruction: the derived part is
  // gone by the time this runs, so a read thread still running here could
  // call into a destroyed object. As a last resort it is stopped here.
  ~UdpMulticaseReceiver2() override;

  // Error notification with a negative system error code. The read loop
  // treats receive errors as an empty socket and does not raise it.
  virtual void OnError(int code) = 0;
  // Called on the read thread for each datagram of at least one byte. `data`
  // points into the receive buffer and is valid only during the call.
  virtual void OnData(const char* data, size_t len) = 0;

  // Opens the socket, binds it to group:port, joins the group on the
  // interface `local_ip` and starts the read thread. A receiver that is
  // already joined is closed first. 0 on success; on failure the negative
  // errno of the step that failed (-EINVAL for text that is not a
  // dotted-quad IPv4 address or a port above 65535; -EADDRINUSE when another
  // socket of this host has the group and port; -EADDRNOTAVAIL or -ENODEV
  // for an interface address the host does not have), leaving no socket
  // and no thread behind.
  int JoinMulticase(const char* group, unsigned int port, const char* local_ip);

  // Asks the read thread to end after its current OnData call and wakes it;
  // does not wait. Any thread, OnData included, any number of times.
  void Stop();
  // Stop, then wait for the read thread to end and close the socket. Safe
  // from any number of threads at once; the first joins, the others wait
  // for it. Called on the read thread itself (from OnData) it only stops:
  // the thread cannot wait for its own end, and whoever calls Close next
  // from another thread joins it. Returns at once when not joined.
  void Close();

  // Close, then destroy through the virtual destructor. The receiver owns a
  // thread and a plain socket, no loop handles, so this is not the loop
  // objects' release: it joins the read thread and must not be called from
  // it (API objects call it from Release, after Join).
  static void Release(UdpMulticaseReceiver2* receiver);

  // CPU the read thread binds itself to; -1 for none. Set before joining.
  void set_cpu_id(int cpu) {
    cpu_id_ = cpu;
    idle_mode_.store(ChooseIdleMode(cpu), std::memory_order_relaxed);
  }

  // The idle strategy of the read thread, following the CPU index and
  // ZAVO_IDLE_STRATEGY (decided again by set_cpu_id and JoinMulticase). A
  // processing thread that consumes what OnData hands off uses the same mode
  // for its own waiting (IdleStrategy::set_mode when it changes). Readable
  // from any thread.
  IdleMode idle_mode() const { return idle_mode_.load(std::memory_order_relaxed); }

  // True between a successful JoinMulticase and Close.
  bool joined() const {
    std::lock_guard<std::mutex> lock(close_mutex_);
    return thread_ != nullptr;
  }
  // The calling thread is this receiver's read thread.
  bool IsReadThread() const {
    return read_thread_id_.load(std::memory_order_acquire) == std::this_thread::get_id();
  }

  const char* ClassName() const { return "UdpMulticaseReceiver2"; }

  // ---- the consumer side ----
  // A consumer of OnData's hand-off may read the socket itself while the
  // feed is busy (the socket hand-over, socket_handover.h). Any object can
  // be that consumer: these calls are all it needs, and the receiver knows
  // nothing of it but the eventfd it was given.

  // Turns consumer reads on; before joining. `consumer_wake_fd` (an
  // eventfd of the consumer's) is signalled when the socket comes or goes,
  // so a consumer waiting for it notices.
  void enable_consumer_reads(int consumer_wake_fd) { consumer_wake_fd_ = consumer_wake_fd; }
  // The socket and who reads it.
  SocketHandover& handover() { return socket_; }
  // The read thread stands by while the consumer reads (backoff with
  // consumer reads on): decided at each join.
  bool consumer_reads() const { return standby_.load(std::memory_order_acquire); }
  // Wakes the read thread (standing by, parked or blocked on the socket).
  void wake_read_thread();

  // ---- kernel receive-queue drops (SO_RXQ_OVFL) ----
  // Before joining: the socket reports the datagrams the kernel dropped
  // for want of room, with each datagram; whoever reads it passes the
  // count on through note_kernel_drops.
  void set_count_kernel_drops(bool on) { count_kernel_drops_ = on; }
  bool counts_kernel_drops() const { return count_kernel_drops_; }
  // The reading thread's newest count (it only grows). Plain stores: the
  // two readers take turns, and a count one of them saw late is replaced
  // by the next.
  void note_kernel_drops(uint32_t count) {
    if (count > kernel_drops_.load(std::memory_order_relaxed)) {
      kernel_drops_.store(count, std::memory_order_relaxed);
    }
  }
  const std::atomic<uint64_t>* kernel_drops() const { return &kernel_drops_; }

 private:
  void read_loop();
  // The read thread's two ways of working: it owns the socket (spin mode,
  // or no consumer reads), or it stands by and drains on demand.
  void own_socket_loop();
  void standby_loop();
  // Reads one batch through `fd` and hands it to OnData. Datagrams read.
  int read_batch(int fd);
  // Blocks until the socket (if `fd` >= 0) or the eventfd is readable, or
  // `timeout_ns` passed (< 0: no limit).
  void wait_readable(int fd, int64_t timeout_ns);
  // The standing-by watchdog: true once the socket is the read thread's.
  bool watch_consumer();
  // Detaches and closes the socket, and tells the consumer.
  void close_socket();
  void close_fds();

  std::atomic<bool> stop_{false};
  // Guards thread_ and the join: two closing threads never both join.
  mutable std::mutex close_mutex_;
  std::unique_ptr<std::thread> thread_;
  std::atomic<std::thread::id> read_thread_id_{};
  // Guards wake_fd_ against being closed (and its number reused) under a
  // write from Stop or a consumer.
  std::mutex wake_mutex_;
  SocketHandover socket_;
  std::atomic<bool> standby_{false};
  int consumer_wake_fd_ = -1;  // owned by the consumer; -1: no consumer reads
  int wake_fd_ = -1;           // eventfd that Close signals to end a blocked poll()
  int cpu_id_ = -1;
  sockaddr_in group_addr_{};
  DatagramBatch batch_;  // read thread only
  bool count_kernel_drops_ = false;
  std::atomic<uint64_t> kernel_drops_{0};
  // A handler that is often slow makes the read thread step in often.
  LogThrottle takeover_log_{LogThrottle::kDefaultIntervalMs, 5};  // read thread
  std::atomic<IdleMode> idle_mode_;
};

}  // namespace zavo
