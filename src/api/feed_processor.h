#pragma once
// The struct-mode feed processing: the processing thread that decodes and
// calls the handler, the hand-off queue from the receiver's read thread,
// the ring of recycled datagram copies, and the bound on what is queued.
//
// Backoff (the receiver's consumer reads are on): the processing thread
// reads the socket itself, in batches, and processes each datagram where
// it lies. The read thread stands by (SocketHandover) and takes over only
// when a handler call runs long or the socket's queue grows; it then
// queues copies here. The processing thread finishes the batch in hand,
// processes the queue, and, once it is empty, takes the socket back.
//
//   Reading (blocks in the receive while the socket is empty)
//   Reading --taken over--> Draining --queue empty--> Reclaiming --> Reading
//
// Spin: the read thread owns the socket and queues every datagram; the
// processing thread polls the queue without pause.
//
// The queue has one producer (the read thread) and one consumer (the
// processing thread) in every mode, so it is a lock-free SpscPipe; the
// bytes it holds are counted by two single-writer counters, so the
// consumer's side of a datagram is loads and plain stores only.
//
// Stop sets the stop flag and signals wake_fd_: every state sees it within
// one step. Copies still queued at Join are freed unprocessed.
//
// The queue is bounded (kDefaultMaxQueuedBytes, ZAVO_MAX_QUEUED_BYTES):
// past the bound a datagram is dropped as the kernel drops what overflows
// its buffer, so a handler that blocks cannot take all the process's
// memory with it. Drops are counted, and logged once per burst with the
// count (throttled, should bursts follow each other closely); the caller
// sees the gap in SeqNum and may ask for a rebuild.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

#include "net/data_pipe.h"
#include "net/datagram_batch.h"
#include "net/socket_handover.h"
#include "net/spsc_pipe.h"
#include "proto/struct_packet.h"
#include "util/log_throttle.h"

namespace zavo {

class ByteBuffer;
class UdpMulticaseReceiver2;

class FeedProcessor {
 public:
  // What the processing thread does with one datagram.
  using Sink = std::function<void(const char* data, size_t size)>;

  // Default bound on the bytes held by queued datagram copies.
  static constexpr uint64_t kDefaultMaxQueuedBytes = 256ull << 20;
  // Full batches in a row (a backlog of at least this many times
  // DatagramBatch::kMaxBatch) after which the read thread is asked to help.
  static constexpr int kHelpAfterFullBatches = 8;

  // `source` is the receiver whose read thread calls Enqueue; in backoff
  // its socket is read here while the handler keeps up. Turns the source's
  // consumer reads on.
  explicit FeedProcessor(UdpMulticaseReceiver2* source);
  // Stops and joins the thread if the owner did not. The read thread must
  // have ended: the spare copies are freed here.
  ~FeedProcessor();
  FeedProcessor(const FeedProcessor&) = delete;
  FeedProcessor& operator=(const FeedProcessor&) = delete;

  // Starts the processing thread with `sink`. Once.
  void Start(Sink sink);
  // Read thread: copies the datagram and hands it over, or drops it when
  // the queue holds its bound.
  void Enqueue(const char* data, size_t size);
  // Bound on queued bytes, read from ZAVO_MAX_QUEUED_BYTES at construction
  // (a positive number of bytes; anything else leaves the default, logged).
  uint64_t max_queued_bytes() const { return max_queued_bytes_; }
  void set_max_queued_bytes(uint64_t bytes) { max_queued_bytes_ = bytes; }
  // Datagrams dropped at the bound since the start. Any thread.
  uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }
  // Bytes held by queued copies now. Any thread.
  uint64_t queued_bytes() const {
    // Released first: a copy is charged before it can be released.
    const uint64_t released = released_bytes_.load(std::memory_order_acquire);
    return charged_bytes_.load(std::memory_order_acquire) - released;
  }
  // The most bytes queued copies held at once. Any thread.
  uint64_t peak_queued_bytes() const { return peak_queued_bytes_.load(std::memory_order_relaxed); }
  // Times the processing thread took the socket back from the read thread
  // (each follows one take-over). Any thread.
  uint64_t takeovers() const { return takeovers_.load(std::memory_order_relaxed); }

  // Work besides the feed for the processing thread (what other threads
  // hand it): set before Start; PostSideWork (any thread) has it run there
  // soon, between two datagrams.
  void SetSideWork(std::function<void()> work) { side_work_ = std::move(work); }
  void PostSideWork();
  // Processing thread: while on, the thread waits for the feed where
  // PostSideWork can wake it at once, rather than blocked in the receive
  // (a system call more per wake-up).
  void SetPromptWake(bool on) { prompt_wake_ = on; }

  // Any thread, also the processing thread itself: asks the thread to end
  // after its current datagram. Does not wait.
  void Stop();
  // Waits for the thread to end and frees the copies still queued. Not on
  // the processing thread.
  void Join();

 private:
  void run();
  // Backoff: one step of the processing thread. False when it found
  // nothing to do: no socket, or the receive ended without a datagram.
  bool consume_step(DatagramBatch& batch);
  // Processes every queued copy. The number processed.
  size_t drain_queue();
  void process(const char* data, size_t size);
  // Processes one queued copy and recycles it.
  void process_copy(ByteBuffer* copy);
  void wait_for_feed(int fd);
  ByteBuffer* take_buffer(size_t size);
  void return_buffer(ByteBuffer* buffer);
  void wake();
  // Logs the drops of the burst that ended, unless the throttle holds the
  // line back for the next (`last`: never).
  void note_drops(bool last = false);
  bool stopping() const { return stopping_.load(std::memory_order_acquire); }
  // Producer: `bytes` more are queued (unsigned arithmetic: adding the
  // negation takes a charge back).
  void charge(uint64_t bytes) {
    charged_bytes_.store(charged_bytes_.load(std::memory_order_relaxed) + bytes,
                         std::memory_order_release);
  }
  // Consumer: `bytes` fewer are queued.
  void release(uint64_t bytes) {
    released_bytes_.store(released_bytes_.load(std::memory_order_relaxed) + bytes,
                          std::memory_order_release);
  }

  UdpMulticaseReceiver2* source_;
  SocketHandover& socket_;
  Sink sink_;
  SpscPipe pipe_;
  std::atomic<bool> stopping_{false};
  // Datagram copies on their way back from the processing thread (pushes)
  // to the read thread (pops), so a steady feed allocates nothing.
  PointerRing<1024> spare_;
  int wake_fd_ = -1;  // eventfd: the socket came or went, help is over, or stopping
  uint64_t max_queued_bytes_ = kDefaultMaxQueuedBytes;
  // Bytes of copies ever queued (written by the producer only) and ever
  // taken out (by the consumer only): their difference is what is queued.
  alignas(64) std::atomic<uint64_t> charged_bytes_{0};
  alignas(64) std::atomic<uint64_t> released_bytes_{0};
  std::atomic<uint64_t> dropped_{0};
  std::atomic<uint64_t> peak_queued_bytes_{0};  // written by the read thread
  std::atomic<uint64_t> takeovers_{0};          // written by the processing thread
  std::function<void()> side_work_;
  std::atomic<bool> side_work_posted_{false};
  bool prompt_wake_ = false;  // processing thread
  // Drops since the last accepted copy: the read thread's, and the
  // processing thread's while it takes the socket back.
  uint64_t burst_drops_ = 0;
  LogThrottle drops_log_;  // with burst_drops_
  int full_batches_ = 0;   // processing thread
  std::thread thread_;
};

}  // namespace zavo
