#include "net/udp_loop_receiver.h"

#include <uv.h>

#include <cstdlib>
#include <cstring>
#include <future>
#include <new>

#include "net/ev_loop.h"

namespace zavo {

struct UdpMulticaseReceiver::Handle {
  uv_udp_t udp;
  // Cleared (on the loop thread) before the close starts: a datagram
  // completing during the close is dropped, not delivered to a receiver
  // that may be gone.
  UdpMulticaseReceiver* owner;
  char buffer[kRecvBufferSize];

  static void uvcb_alloc(uv_handle_t* h, size_t, uv_buf_t* buf) {
    Handle* self = static_cast<Handle*>(h->data);
    *buf = uv_buf_init(self->buffer, sizeof self->buffer);
  }

  static void uvcb_recv(uv_udp_t* h, ssize_t nread, const uv_buf_t* buf, const sockaddr*,
                        unsigned) {
    Handle* self = static_cast<Handle*>(h->data);
    if (self->owner == nullptr) return;
    // nread 0: nothing was read, or an empty datagram; neither is delivered.
    if (nread > 0) {
      self->owner->OnData(buf->base, static_cast<size_t>(nread));
    } else if (nread < 0) {
      self->owner->OnError(static_cast<int>(nread));
    }
  }

  static void uvcb_close(uv_handle_t* h) { delete static_cast<Handle*>(h->data); }
};

namespace {
// Read at every join, so a process may change it between sessions.
bool share_feed_requested() {
  const char* v = std::getenv("ZAVO_SHARE_FEED");
  return v != nullptr && std::strcmp(v, "1") == 0;
}

bool is_ipv4(const char* text) {
  unsigned char bytes[4];
  return text != nullptr && uv_inet_pton(AF_INET, text, bytes) == 0;
}
}  // namespace

UdpMulticaseReceiver::~UdpMulticaseReceiver() {
  Close();
}

bool UdpMulticaseReceiver::joined() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return handle_ != nullptr;
}

int UdpMulticaseReceiver::JoinMulticase(const char* group, unsigned int port,
                                        const char* local_ip) {
  EvLoop* loop = EvLoop::Current();
  if (loop == nullptr) return UV_EINVAL;
  close_on_loop();
  if (port > 65535 || !is_ipv4(group) || !is_ipv4(local_ip)) return UV_EINVAL;
  sockaddr_in any;
  int rc = uv_ip4_addr("0.0.0.0", static_cast<int>(port), &any);
  if (rc != 0) return rc;

  Handle* block = new (std::nothrow) Handle;
  if (block == nullptr) return UV_ENOMEM;
  block->owner = nullptr;
  rc = uv_udp_init_ex(loop->uv_loop(), &block->udp, AF_INET);
  if (rc != 0) {
    delete block;
    return rc;
  }
  block->udp.data = block;
  // A datagram socket on Windows cannot be bound to a multicast address:
  // it takes the wildcard address and the group's port, and the group
  // membership selects the feed.
  rc = uv_udp_bind(&block->udp, reinterpret_cast<const sockaddr*>(&any),
                   share_feed_requested() ? UV_UDP_REUSEADDR : 0);
  if (rc == 0) {
    int size = kSocketRecvBuffer;
    (void)uv_recv_buffer_size(reinterpret_cast<uv_handle_t*>(&block->udp), &size);
    rc = uv_udp_set_membership(&block->udp, group, local_ip, UV_JOIN_GROUP);
  }
  if (rc == 0) {
    block->owner = this;
    rc = uv_udp_recv_start(&block->udp, Handle::uvcb_alloc, Handle::uvcb_recv);
  }
  if (rc != 0) {
    block->owner = nullptr;
    uv_close(reinterpret_cast<uv_handle_t*>(&block->udp), Handle::uvcb_close);
    return rc;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    loop_ = loop;
    handle_ = block;
  }
  fill_address();
  return 0;
}

void UdpMulticaseReceiver::fill_address() {
  ClearAddress();
  sockaddr_storage name;
  int len = sizeof name;
  if (uv_udp_getsockname(&handle_->udp, reinterpret_cast<sockaddr*>(&name), &len) == 0 &&
      name.ss_family == AF_INET) {
    const sockaddr_in& in = reinterpret_cast<const sockaddr_in&>(name);
    local_ip_ = AddrText(in);
    local_port_ = ntohs(in.sin_port);
  }
}

void UdpMulticaseReceiver::close_on_loop() {
  Handle* block;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    block = handle_;
    handle_ = nullptr;
  }
  if (block == nullptr) return;
  block->owner = nullptr;
  uv_handle_t* h = reinterpret_cast<uv_handle_t*>(&block->udp);
  if (uv_is_closing(h)) {
    // The loop ended first and its last walk closed the handle without a
    // callback; that close has completed, so the block is free to go.
    delete block;
    return;
  }
  uv_udp_recv_stop(&block->udp);
  uv_close(h, Handle::uvcb_close);
}

void UdpMulticaseReceiver::Stop() {
  EvLoop* loop;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (handle_ == nullptr) return;
    loop = loop_;
  }
  // Posted work runs before the loop thread ends, and the session joins
  // that thread before the receiver can be destroyed.
  loop->CallInLoop([this] { close_on_loop(); });
}

void UdpMulticaseReceiver::Close() {
  EvLoop* loop;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (handle_ == nullptr) return;
    loop = loop_;
  }
  if (loop->InLoopOrIdle()) {
    close_on_loop();
    return;
  }
  // CallInLoop runs the close exactly once: on the loop thread, or here
  // when the loop ends meanwhile.
  std::promise<void> done;
  std::future<void> closed = done.get_future();
  loop->CallInLoop([this, &done] {
    close_on_loop();
    done.set_value();
  });
  closed.wait();
}

void UdpMulticaseReceiver::Release(UdpMulticaseReceiver* receiver) {
  receiver->Close();
  delete receiver;
}

}  // namespace zavo
