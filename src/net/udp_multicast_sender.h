#pragma once
// Multicast senders, the sending counterparts of UdpMulticaseReceiver2:
//
//   UdpMulticaseSender   lives on an EvLoop and queues each datagram as an
//                        asynchronous libuv send request.
//   UdpMulticastSender2  a plain non-blocking socket that sends at once from
//                        the calling thread.
//
// Both default to the interface 127.0.0.1 and a multicast time-to-live of 0
// with loopback on: datagrams reach receivers on this host and never leave
// it. A publisher that really means to reach the network raises the TTL and
// names its interface explicitly.
#include <netinet/in.h>
#include <uv.h>

#include <atomic>
#include <cstdint>

#include "util/byte_buffer.h"
#include "net/net_base.h"
#include "util/slice.h"

namespace zavo {

class EvLoop;

// Interface used when none is given.
extern const char* const kUdpDefaultInterface;
// Multicast time-to-live used unless set otherwise: host-local delivery.
constexpr int kUdpDefaultTtl = 0;

// One datagram in flight on a UdpMulticaseSender.
struct udp_send_req {
  explicit udp_send_req(ByteBuffer&& bytes);
  udp_send_req(const udp_send_req&) = delete;
  udp_send_req& operator=(const udp_send_req&) = delete;
  virtual ~udp_send_req();

  // Completion on the loop thread: logs a failure, then destroys the request.
  static void uvcb_udp_send(uv_udp_send_t* req, int status);

  ByteBuffer buffer;
  uv_udp_send_t* req;  // owned; data points back to this request

  // Requests alive in the process: sends started and not yet completed.
  static std::atomic<int64_t> Count;
};

class UdpMulticaseSender : public NetBase {
 public:
  // Creates the UDP handle on the loop. On the loop thread or before the
  // loop runs.
  explicit UdpMulticaseSender(EvLoop* loop);

  // Destination group and port (host order). 0, or a negative libuv code
  // (UV_EINVAL for text that is not a dotted-quad address).
  int SetMultiCastAddress(const char* ip, unsigned int port);
  // Binds to the interface `ip` (null or "" for 127.0.0.1) and sends the
  // group's datagrams through it, with the current TTL and loopback on.
  // 0, or the first failing call's negative libuv code. Fills the local
  // endpoint on success.
  int SetMultiCaseInterface(const char* ip);
  // Multicast time-to-live (0..255) applied by SetMultiCaseInterface;
  // defaults to 0. Call before it.
  void set_ttl(int ttl) { ttl_ = ttl; }

  // Sends one datagram to the destination (copying, or taking over the
  // buffer, which is left empty). Loop thread only. Failures are logged and
  // the datagram is dropped. Without a destination nothing is sent; without
  // an interface the default one is set up first.
  void Write(const Slice& bytes);
  void Write(ByteBuffer&& bytes);

  // Sends started and not yet completed, over all senders.
  static int64_t GetCachedWriteReqCount();

  // Any thread, never blocks (the release rule in ev_loop.h): closes the
  // handle on the loop thread and destroys the sender in its close
  // callback. Do not use the sender afterwards.
  static void Release(UdpMulticaseSender* sender);

  EvLoop* loop() const { return loop_; }
  const char* ClassName() const { return "UdpMulticaseSender"; }

 private:
  ~UdpMulticaseSender() override;
  static void release_this(uv_handle_t* handle);
  void fill_address();

  EvLoop* loop_;
  uv_udp_t* handle_;
  sockaddr_in dest_{};
  bool has_dest_ = false;
  bool has_interface_ = false;
  int ttl_ = kUdpDefaultTtl;
};

class UdpMulticastSender2 : public NetBase {
 public:
  UdpMulticastSender2() = default;
  // Closes the socket if one is open.
  ~UdpMulticastSender2() override;

  // Opens a non-blocking socket bound to `local_ip` (null or "" for
  // 127.0.0.1, port chosen by the system) that sends to group:port through
  // that interface with the current TTL and loopback on. 0 on success; -1 if
  // already open (the first socket stays); otherwise a negative errno
  // (-EINVAL for text that is not a dotted-quad address), leaving it unopened.
  int Open(const char* group, unsigned int port, const char* local_ip);
  // Multicast time-to-live (0..255) applied by Open; defaults to 0.
  void set_ttl(int ttl) { ttl_ = ttl; }

  // Sends one datagram; true if the system took at least one byte. Never
  // waits: a full socket buffer drops the datagram and returns false.
  bool Write(const Slice& bytes);

  bool is_open() const { return fd_ >= 0; }
  int fd() const { return fd_; }

 private:
  int fd_ = -1;  // -1 while not open (0 is a valid descriptor)
  sockaddr_in dest_{};
  int ttl_ = kUdpDefaultTtl;
};

}  // namespace zavo
