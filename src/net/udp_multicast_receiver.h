#pragma once
// Multicast receiver with its own read thread.
//
// One IPv4 UDP socket bound to the group address and port and joined to the
// group on a local interface; one thread that reads it and hands every
// datagram of at least one byte, in arrival order, to OnData. The owner (an
// API object) derives from this class and implements OnData/OnError.
//
// The read thread idles according to an IdleStrategy: when it is pinned to
// a CPU (cpu_id >= 0) it polls the socket without pause; otherwise it polls
// for a short while after the last datagram, then blocks in poll() until
// the socket is readable. Close wakes it in either mode through an
// eventfd, so it never waits for a timeout. An owner may let its consumer
// thread watch and read the socket while the read thread is idle (see
// "Direct reads" below).
#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <thread>

#include <sys/types.h>

#include "net/byte_buffer.h"
#include "net/idle_strategy.h"
#include "net/net_base.h"

namespace zavo {

class FeedProcessor;

class UdpMulticaseReceiver2 : public NetBase {
 public:
  // Size of the one user-space buffer every datagram is read into; larger
  // than any UDP datagram.
  static constexpr size_t kRecvBufferSize = 0x80000;
  // Kernel receive buffer asked for; the kernel may grant less.
  static constexpr int kSocketRecvBuffer = 0x400000;

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
  // already joined is closed first. 0 on success; -1 on failure (text that
  // is not a dotted-quad IPv4 address, socket, bind or membership failure),
  // leaving no socket and no thread behind.
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
  int cpu_id() const { return cpu_id_; }

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

 protected:
  // Direct reads let another thread of the owner (its consumer) take the
  // next datagram itself while the read thread is idle, instead of waiting
  // to be handed a copy: one thread wake-up on the datagram's path instead
  // of two. Turn them on before joining. The read thread then holds a lock
  // from each receive until its OnData returns.
  void enable_direct_reads() { direct_reads_ = true; }

  // A consumer that is about to block on the socket itself calls BeginWatch
  // first, polls the descriptor it returns, and calls EndWatch as soon as
  // it wakes up, before it handles what woke it. In between, a read thread
  // that runs out of work blocks without the socket, so the next datagram
  // wakes one thread rather than both; EndWatch hands the socket back to it
  // (waking it if it is blocked), so that it drains the socket while the
  // consumer is busy. BeginWatch returns -1 when not joined: there is
  // nothing to watch, and no EndWatch is needed. A watch that outlives the
  // socket (Close ran meanwhile) counts for nothing.
  int BeginWatch() {
    const int fd = watchable_fd_.load(std::memory_order_acquire);
    if (fd >= 0) watched_fd_.store(fd, std::memory_order_seq_cst);
    return fd;
  }
  void EndWatch();

  // Reads one datagram into `buf` on the calling thread, unless the read
  // thread is busy with one (then it returns 0 at once, without waiting).
  // `drained()` runs under the read thread's lock and must say whether
  // everything OnData has handed over so far has been consumed: only then
  // is a datagram read here sure not to overtake an earlier one. Returns the
  // datagram's size, or 0 when nothing was read (busy, not drained, not
  // joined, nothing waiting, an empty datagram, an error).
  template <typename Drained>
  size_t TryReadDirect(char* buf, size_t cap, Drained&& drained) {
    std::unique_lock<std::mutex> lock(reader_mutex_, std::try_to_lock);
    if (!lock.owns_lock() || fd_ < 0 || !drained()) return 0;
    const ssize_t n = receive(buf, cap);
    return n > 0 ? static_cast<size_t>(n) : 0;
  }

 private:
  // The struct session's consumer watches and reads the socket directly.
  friend class FeedProcessor;

  ssize_t receive(char* buf, size_t cap);
  void read_loop();
  void close_fds();

  void wake_read_thread();

  std::atomic<bool> stop_{false};
  // Guards thread_ and the join: two closing threads never both join.
  mutable std::mutex close_mutex_;
  std::unique_ptr<std::thread> thread_;
  std::atomic<std::thread::id> read_thread_id_{};
  // Guards wake_fd_ against being closed (and its number reused) under a
  // write from Stop or EndWatch.
  std::mutex wake_mutex_;
  // Held by the read thread from a receive until OnData returns, when
  // direct reads are on, and wherever fd_ changes while a thread may run.
  std::mutex reader_mutex_;
  bool direct_reads_ = false;
  std::atomic<int> watchable_fd_{-1};  // the socket while joined, for BeginWatch
  std::atomic<int> watched_fd_{-1};    // a consumer is blocked on this socket
  std::atomic<bool> parked_{false};    // the read thread is blocked without it
  int fd_ = -1;                        // the socket; -1 for none (0 is a valid descriptor)
  int wake_fd_ = -1;                   // eventfd that Close signals to end a blocked poll()
  int cpu_id_ = -1;
  sockaddr_in group_addr_{};
  ByteBuffer recv_buffer_;
  std::atomic<IdleMode> idle_mode_;
};

}  // namespace zavo
