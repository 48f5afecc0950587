#pragma once
// Multicast receiver on the event loop (the Windows build's feed receiver).
//
// One libuv UDP handle on the owner's EvLoop, bound to the wildcard address
// and the group's port and joined to the group on the chosen interface. Each
// datagram of at least one byte is handed to OnData on the loop thread, one
// datagram per call, in arrival order: there is no read thread, no busy
// polling, no CPU binding. Datagram boundaries are kept (a datagram is a
// packet of the feed; nothing is carried over from one to the next).
//
// The handle lives in a heap block together with the receive buffer; the
// block is freed only in the handle's close callback, which never touches
// the receiver, so the receiver may be destroyed while a close is pending.
//
// The interface matches what a session needs from the Linux read-thread
// receiver (UdpMulticaseReceiver2), so the two are interchangeable behind
// FeedReceiver (net/feed_receiver.h).
#include <cstddef>
#include <mutex>

#include "net/idle_strategy.h"
#include "net/net_base.h"

namespace zavo {

class EvLoop;

class UdpMulticaseReceiver : public NetBase {
 public:
  // Room for any IPv4 UDP datagram (at most 65,507 bytes of payload).
  static constexpr size_t kRecvBufferSize = 0x10000;
  // Kernel receive buffer asked for; the system may grant less.
  static constexpr int kSocketRecvBuffer = 0x80000;

  UdpMulticaseReceiver() = default;
  // Owners Close (or Release) first; as a last resort the handle is closed
  // here.
  ~UdpMulticaseReceiver() override;

  // Error notification with a negative libuv error code (a failed receive).
  virtual void OnError(int code) = 0;
  // Called on the loop thread with each datagram; `data` is valid only
  // during the call.
  virtual void OnData(const char* data, size_t len) = 0;

  // On an EvLoop's thread, whose loop the handle then lives on (the
  // sessions join from their control connection's callbacks): opens the
  // handle, binds it to 0.0.0.0:port, joins `group` on the interface
  // `local_ip` and starts receiving. A joined receiver is closed first. 0 on
  // success; a negative libuv code on failure, leaving nothing open.
  int JoinMulticase(const char* group, unsigned int port, const char* local_ip);

  // Stops receiving and closes the handle on the loop thread; does not
  // wait. Any thread, OnData included, any number of times.
  void Stop();
  // Stop, then, from outside the loop thread, wait until the handle has
  // been closed on it (no OnData runs after Close returns). On the loop
  // thread it closes at once.
  void Close();
  // Close, then destroy through the virtual destructor.
  static void Release(UdpMulticaseReceiver* receiver);

  // Kept for the sessions' sake: the loop thread is never bound to a CPU
  // and never polls; it blocks in the event loop until a datagram arrives,
  // which the shared vocabulary calls backoff.
  void set_cpu_id(int) {}
  IdleMode idle_mode() const { return IdleMode::kBackoff; }

  // True between a successful JoinMulticase and Close.
  bool joined() const;

  const char* ClassName() const { return "UdpMulticaseReceiver"; }

 protected:
  // No direct reads here: datagrams already arrive on the loop thread.
  void enable_direct_reads() {}

 private:
  struct Handle;
  // Loop thread (or idle loop): stops and closes the handle, if any.
  void close_on_loop();
  void fill_address();

  EvLoop* loop_ = nullptr;
  // Guards handle_ between the loop thread and joined().
  mutable std::mutex mutex_;
  Handle* handle_ = nullptr;
};

}  // namespace zavo
