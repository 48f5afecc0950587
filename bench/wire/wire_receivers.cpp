#include "wire_receivers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "util/helpers.h"
#include "wire_feed.h"

namespace zavo {
namespace bench {

namespace {

int open_group_socket(int port, bool nonblocking) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return -1;
  if (nonblocking) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL, 0) | O_NONBLOCK);
  int rcvbuf = 0x400000;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = inet_addr(kWireGroup);
  ip_mreq mreq{};
  mreq.imr_multiaddr.s_addr = inet_addr(kWireGroup);
  mreq.imr_interface.s_addr = inet_addr("127.0.0.1");
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof(mreq)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void on_session_data(void*, const ZAVO_MSG* msg) {
  if (msg->MsgType != ZAVO_MSG_SECURITY_SNAPSHOT) return;
  const ZAVO_SecuritySnapShot* s = static_cast<const ZAVO_SecuritySnapShot*>(msg->MsgData);
  g_wire_rec.add(s->AfterMatchItems, s->AfterTurnover);
}
void on_session_system(void*, const ZAVO_MSG*) {}

}  // namespace

bool FloorReceiver::start(int port) {
  fd_ = open_group_socket(port, spin_);
  if (fd_ < 0) return false;
  if (!spin_) {
    // Wakes up now and then to see the stop flag.
    timeval tv{0, 20000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  }
  stop_.store(false);
  thread_ = std::thread([this] {
    if (cpu_ >= 0) (void)bind_2_cpu(cpu_);
    char buf[2048];
    while (!stop_.load(std::memory_order_relaxed)) {
      sockaddr_in from;
      socklen_t len = sizeof(from);
      const ssize_t n =
          recvfrom(fd_, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (n > 0) record_wire_datagram(buf, static_cast<size_t>(n));
    }
  });
  return true;
}

void FloorReceiver::stop() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool SessionReceiver::start(int port) {
  handle_ = lib_.OpenSession(kWireGroup, port, server_port_, strategy_, on_session_data,
                             on_session_system, cpu_);
  return handle_ != nullptr;
}

void SessionReceiver::stop() {
  lib_.CloseSession(handle_);
  handle_ = nullptr;
}

void LibuvReceiver::uvcb_stop(uv_async_t* async) {
  LibuvReceiver* self = static_cast<LibuvReceiver*>(async->data);
  uv_udp_recv_stop(&self->udp_);
  uv_close(reinterpret_cast<uv_handle_t*>(&self->udp_), nullptr);
  uv_close(reinterpret_cast<uv_handle_t*>(&self->stop_async_), nullptr);
}

void LibuvReceiver::uvcb_alloc(uv_handle_t*, size_t, uv_buf_t* buf) {
  static char storage[65536];
  *buf = uv_buf_init(storage, sizeof(storage));
}

void LibuvReceiver::uvcb_recv(uv_udp_t*, ssize_t n, const uv_buf_t* buf, const sockaddr*,
                              unsigned) {
  if (n > 0) record_wire_datagram(buf->base, static_cast<size_t>(n));
}

void LibuvReceiver::run(int port, std::promise<int>* ready) {
  uv_loop_init(&loop_);
  uv_udp_init(&loop_, &udp_);
  uv_async_init(&loop_, &stop_async_, uvcb_stop);
  stop_async_.data = this;
  sockaddr_in addr;
  uv_ip4_addr(kWireGroup, port, &addr);
  int rc = uv_udp_bind(&udp_, reinterpret_cast<const sockaddr*>(&addr), 0);
  if (rc == 0) rc = uv_udp_set_membership(&udp_, kWireGroup, "127.0.0.1", UV_JOIN_GROUP);
  if (rc == 0) {
    int rcvbuf = 0x400000;
    uv_recv_buffer_size(reinterpret_cast<uv_handle_t*>(&udp_), &rcvbuf);
    rc = uv_udp_recv_start(&udp_, uvcb_alloc, uvcb_recv);
  }
  ready->set_value(rc);
  if (rc != 0) {
    uv_close(reinterpret_cast<uv_handle_t*>(&udp_), nullptr);
    uv_close(reinterpret_cast<uv_handle_t*>(&stop_async_), nullptr);
  }
  uv_run(&loop_, UV_RUN_DEFAULT);
  uv_loop_close(&loop_);
}

bool LibuvReceiver::start(int port) {
  std::promise<int> ready;
  std::future<int> result = ready.get_future();
  thread_ = std::thread([this, port, &ready] { run(port, &ready); });
  // On failure the loop has closed its handles and ends by itself.
  if (result.get() != 0) {
    thread_.join();
    return false;
  }
  started_ = true;
  return true;
}

void LibuvReceiver::stop() {
  if (started_) uv_async_send(&stop_async_);
  started_ = false;
  if (thread_.joinable()) thread_.join();
}

}  // namespace bench
}  // namespace zavo
