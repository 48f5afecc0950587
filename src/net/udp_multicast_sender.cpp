#include "net/udp_multicast_sender.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "net/ev_loop.h"
#include "net/udp_addr.h"
#include "util/logger.h"

namespace zavo {

const char* const kUdpDefaultInterface = "127.0.0.1";

namespace {

const char* interface_or_default(const char* ip) {
  return (ip == nullptr || *ip == '\0') ? kUdpDefaultInterface : ip;
}

}  // namespace

// ---------------------------------------------------------------- udp_send_req

std::atomic<int64_t> udp_send_req::Count{0};

udp_send_req::udp_send_req(ByteBuffer&& bytes)
    : buffer(std::move(bytes)),
      req(static_cast<uv_udp_send_t*>(std::calloc(1, sizeof(uv_udp_send_t)))) {
  if (req == nullptr) throw std::bad_alloc();
  req->data = this;
  Count.fetch_add(1, std::memory_order_relaxed);
}

udp_send_req::~udp_send_req() {
  std::free(req);
  Count.fetch_sub(1, std::memory_order_relaxed);
}

void udp_send_req::uvcb_udp_send(uv_udp_send_t* req, int status) {
  udp_send_req* self = static_cast<udp_send_req*>(req->data);
  if (status < 0) ZAVO_LOG("[!!!] udp send callback: %d [%s]", status, uv_strerror(status));
  delete self;
}

// ---------------------------------------------------------- UdpMulticaseSender

UdpMulticaseSender::UdpMulticaseSender(EvLoop* loop)
    : loop_(loop), handle_(static_cast<uv_udp_t*>(std::calloc(1, sizeof(uv_udp_t)))) {
  if (handle_ == nullptr) throw std::bad_alloc();
  ZAVO_ASSERT_IN_LOOP(loop_);
  // AF_INET creates the socket now, so the loopback option can be set here.
  (void)uv_udp_init_ex(loop_->uv_loop(), handle_, AF_INET);
  handle_->data = this;
  (void)uv_udp_set_multicast_loop(handle_, 1);
}

UdpMulticaseSender::~UdpMulticaseSender() {
  std::free(handle_);
}

int UdpMulticaseSender::SetMultiCastAddress(const char* ip, unsigned int port) {
  ZAVO_ASSERT_IN_LOOP(loop_);
  sockaddr_in addr;
  if (!udp_make_addr(ip, port, &addr)) return UV_EINVAL;
  dest_ = addr;
  has_dest_ = true;
  return 0;
}

int UdpMulticaseSender::SetMultiCaseInterface(const char* ip) {
  ZAVO_ASSERT_IN_LOOP(loop_);
  ip = interface_or_default(ip);
  sockaddr_in addr;
  if (!udp_make_addr(ip, 0, &addr)) return UV_EINVAL;
  int rc = uv_udp_bind(handle_, reinterpret_cast<const sockaddr*>(&addr), 0);
  if (rc < 0) return rc;
  rc = uv_udp_set_multicast_interface(handle_, ip);
  if (rc < 0) return rc;
  rc = uv_udp_set_multicast_ttl(handle_, ttl_);
  if (rc < 0) return rc;
  rc = uv_udp_set_multicast_loop(handle_, 1);
  if (rc < 0) return rc;
  has_interface_ = true;
  fill_address();
  return 0;
}

void UdpMulticaseSender::fill_address() {
  ClearAddress();
  uv_os_fd_t fd = -1;
  if (uv_fileno(reinterpret_cast<const uv_handle_t*>(handle_), &fd) != 0 || fd < 0) return;
  FillAddressFromSocket(fd);
}

void UdpMulticaseSender::Write(const Slice& bytes) {
  Write(ByteBuffer(bytes.data, static_cast<size_t>(bytes.size)));
}

void UdpMulticaseSender::Write(ByteBuffer&& bytes) {
  ZAVO_ASSERT_IN_LOOP(loop_);
  // Never let libuv pick an interface and TTL of its own.
  if (!has_interface_) {
    int rc = SetMultiCaseInterface(nullptr);
    if (rc < 0) {
      ZAVO_LOG("[!!!] udp send: %d [%s]", rc, uv_strerror(rc));
      ByteBuffer dropped(std::move(bytes));
      return;
    }
  }
  udp_send_req* send = new udp_send_req(std::move(bytes));
  uv_buf_t buf =
      uv_buf_init(send->buffer.read_pos(), static_cast<unsigned int>(send->buffer.ReadableBytes()));
  // Without a destination the start fails (no address), which is logged.
  const sockaddr* to = has_dest_ ? reinterpret_cast<const sockaddr*>(&dest_) : nullptr;
  int rc = uv_udp_send(send->req, handle_, &buf, 1, to, &udp_send_req::uvcb_udp_send);
  if (rc < 0) {
    ZAVO_LOG("[!!!] udp send: %d [%s]", rc, uv_strerror(rc));
    delete send;
  }
}

int64_t UdpMulticaseSender::GetCachedWriteReqCount() {
  return udp_send_req::Count.load(std::memory_order_relaxed);
}

void UdpMulticaseSender::release_this(uv_handle_t* handle) {
  delete static_cast<UdpMulticaseSender*>(handle->data);
}

void UdpMulticaseSender::Release(UdpMulticaseSender* sender) {
  sender->loop_->CallInLoop([sender] {
    uv_handle_t* h = reinterpret_cast<uv_handle_t*>(sender->handle_);
    if (uv_handle_usable(h)) {
      // Pending sends complete (cancelled) before the close callback runs.
      uv_close(h, &UdpMulticaseSender::release_this);
    } else {
      delete sender;
    }
  });
}

// --------------------------------------------------------- UdpMulticastSender2

UdpMulticastSender2::~UdpMulticastSender2() {
  if (fd_ >= 0) ::close(fd_);
}

int UdpMulticastSender2::Open(const char* group, unsigned int port, const char* local_ip) {
  if (fd_ >= 0) return -1;
  local_ip = interface_or_default(local_ip);
  sockaddr_in dest, local;
  if (!udp_make_addr(group, port, &dest) || !udp_make_addr(local_ip, 0, &local)) return -EINVAL;

  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return -errno;
  const unsigned char ttl = static_cast<unsigned char>(ttl_ < 0 ? 0 : ttl_ > 255 ? 255 : ttl_);
  const unsigned char loop = 1;
  int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0 ||
      ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0 ||
      ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &local.sin_addr, sizeof(local.sin_addr)) != 0 ||
      ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl)) != 0 ||
      ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof(loop)) != 0) {
    const int err = errno;
    ::close(fd);
    return -err;
  }
  fd_ = fd;
  dest_ = dest;
  ClearAddress();
  FillAddressFromSocket(fd_);
  return 0;
}

bool UdpMulticastSender2::Write(const Slice& bytes) {
  if (fd_ < 0) return false;
  ssize_t n = ::sendto(fd_, bytes.data, static_cast<size_t>(bytes.size), 0,
                       reinterpret_cast<const sockaddr*>(&dest_), sizeof(dest_));
  // An empty datagram is sent too, but carries no byte.
  return n > 0;
}

}  // namespace zavo
