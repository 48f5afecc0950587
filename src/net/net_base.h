#pragma once
// Endpoint addresses of a connection or receiver: dotted IPv4 texts and
// ports in host order.
#include <uv.h>

#include <cstdint>
#include <string>

namespace zavo {

class NetBase {
 public:
  NetBase() = default;
  NetBase(const NetBase&) = delete;
  NetBase& operator=(const NetBase&) = delete;
  virtual ~NetBase() = default;

  const std::string& local_ip() const { return local_ip_; }
  const std::string& peer_ip() const { return peer_ip_; }
  int local_port() const { return local_port_; }
  int peer_port() const { return peer_port_; }

  // Clears both endpoints.
  void ClearAddress();
  // Fills the local endpoint from getsockname and, when that worked, the
  // peer endpoint from getpeername. False if the local lookup failed.
#ifndef _WIN32
  bool FillAddressFromSocket(int fd);
#endif
  // The same for a libuv TCP handle (any platform).
  bool FillAddressFromTcp(const uv_tcp_t* tcp);

  // "a.b.c.d" text of an IPv4 socket address (thread-safe).
  static std::string AddrText(const sockaddr_in& addr);

 protected:
  std::string local_ip_;
  std::string peer_ip_;
  int local_port_ = 0;
  int peer_port_ = 0;
};

}  // namespace zavo
