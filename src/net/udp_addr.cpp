#include "net/udp_addr.h"

#include <cstdint>
#include <cstring>

namespace zavo {

bool udp_parse_ipv4(const char* text, in_addr* out) {
  if (text == nullptr) return false;
  in_addr addr{};
  if (inet_pton(AF_INET, text, &addr) != 1) return false;
  *out = addr;
  return true;
}

bool udp_make_addr(const char* ip, unsigned int port, sockaddr_in* out) {
  if (port > 65535) return false;
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof(addr));
  if (!udp_parse_ipv4(ip, &addr.sin_addr)) return false;
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  *out = addr;
  return true;
}

}  // namespace zavo
