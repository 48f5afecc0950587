#pragma once
// The struct-mode feed processing: the hand-off pipe from the receiver's
// read thread, the packet-processing thread, its decoding workspace, the
// ring of recycled datagram copies and the direct-read hand-over.
//
// Lifecycle of the processing thread (one atomic owner: the pipe's closed
// flag, set once by Stop):
//
//   Idle --Start--> Running --Stop--> Stopping --Join--> Stopped
//
// While Running the thread moves between:
//   Busy     a datagram copy was dequeued; the sink runs with it.
//   Polling  the pipe is empty: the idle strategy spins, yields or backs
//            off (its mode follows the receiver's).
//   Waiting  (back-off only) consumer_waiting_ is set, then the thread
//            blocks on wake_fd_ (a hand-over or Stop) and on the feed
//            socket (BeginWatch), bounded by a timeout should a wake-up
//            ever be missed. The read thread, seeing consumer_waiting_
//            after its Enqueue, signals wake_fd_.
//   Reading  woken by the socket: the thread reads the datagram itself
//            (TryReadDirect) unless the read thread took it already, so
//            one wake-up lies in a datagram's path instead of two; then
//            EndWatch hands the socket back to the read thread.
// Stop closes the pipe and signals wake_fd_: every state sees it within
// one step. Copies still queued at Join are freed unprocessed.
#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <thread>

#include "api/decode_scratch.h"
#include "net/data_pipe.h"
#include "proto/struct_packet.h"

namespace zavo {

class ByteBuffer;
class UdpMulticaseReceiver2;

class FeedProcessor {
 public:
  // What the processing thread does with one datagram.
  using Sink = std::function<void(const char* data, size_t size)>;

  // `source` is the receiver whose read thread calls Enqueue; its socket is
  // watched and read directly while the pipe is empty.
  explicit FeedProcessor(UdpMulticaseReceiver2* source);
  // Stops and joins the thread if the owner did not. The read thread must
  // have ended: the spare copies are freed here.
  ~FeedProcessor();
  FeedProcessor(const FeedProcessor&) = delete;
  FeedProcessor& operator=(const FeedProcessor&) = delete;

  // Starts the processing thread with `sink`. Once.
  void Start(Sink sink);
  // Read thread: copies the datagram and hands it over.
  void Enqueue(const char* data, size_t size);
  // Any thread, also the processing thread itself: asks the thread to end
  // after its current datagram. Does not wait.
  void Stop();
  // Waits for the thread to end and frees the copies still queued. Not on
  // the processing thread.
  void Join();

  // The processing thread's workspace. Only for the processing thread, or
  // for an owner that feeds no datagrams through the pipe (benchmarks).
  DecodeScratch& scratch() { return scratch_; }
  StructPacket& packet() { return packet_; }

 private:
  void run();
  ByteBuffer* take_buffer(size_t size);
  void return_buffer(ByteBuffer* buffer);
  bool wait_for_feed();
  bool read_feed_directly();
  void wake();

  // Room for any IPv4 UDP datagram (at most 65,507 bytes of payload).
  static constexpr size_t kDirectBufferSize = 65536;

  UdpMulticaseReceiver2* source_;
  Sink sink_;
  std::unique_ptr<MpmcPipe> pipe_;
  // Datagram copies on their way back from the processing thread (pushes)
  // to the read thread (pops), so a steady feed allocates nothing.
  PointerRing<1024> spare_;
  std::unique_ptr<char[]> direct_buffer_;  // processing thread only
  int wake_fd_ = -1;                       // eventfd: handed over, or stopping
  std::atomic<bool> consumer_waiting_{false};
  DecodeScratch scratch_{};  // processing thread only
  StructPacket packet_;      // processing thread only
  std::thread thread_;
};

}  // namespace zavo
