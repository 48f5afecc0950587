#include "net/net_base.h"

#include "net/socket_headers.h"

namespace zavo {

void NetBase::ClearAddress() {
  local_ip_.clear();
  peer_ip_.clear();
  local_port_ = 0;
  peer_port_ = 0;
}

std::string NetBase::AddrText(const sockaddr_in& addr) {
  // inet_ntoa shares one static buffer between threads; inet_ntop does not.
  char text[INET_ADDRSTRLEN] = {0};
  if (inet_ntop(AF_INET, &addr.sin_addr, text, sizeof(text)) == nullptr) return std::string();
  return text;
}

bool NetBase::FillAddressFromTcp(const uv_tcp_t* tcp) {
  sockaddr_storage name{};
  int len = sizeof(name);
  if (uv_tcp_getsockname(tcp, reinterpret_cast<sockaddr*>(&name), &len) != 0 ||
      name.ss_family != AF_INET)
    return false;
  const sockaddr_in& addr = reinterpret_cast<const sockaddr_in&>(name);
  local_ip_ = AddrText(addr);
  local_port_ = ntohs(addr.sin_port);
  // `addr` views `name`, refilled with the peer's address.
  name = sockaddr_storage{};
  len = sizeof(name);
  if (uv_tcp_getpeername(tcp, reinterpret_cast<sockaddr*>(&name), &len) == 0 &&
      name.ss_family == AF_INET) {
    peer_ip_ = AddrText(addr);
    peer_port_ = ntohs(addr.sin_port);
  }
  return true;
}

#ifndef _WIN32
bool NetBase::FillAddressFromSocket(int fd) {
  sockaddr_in addr{};
  socklen_t len = sizeof(addr);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0 || addr.sin_family != AF_INET)
    return false;
  local_ip_ = AddrText(addr);
  local_port_ = ntohs(addr.sin_port);
  addr = sockaddr_in{};
  len = sizeof(addr);
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0 &&
      addr.sin_family == AF_INET) {
    peer_ip_ = AddrText(addr);
    peer_port_ = ntohs(addr.sin_port);
  }
  return true;
}
#endif

}  // namespace zavo
