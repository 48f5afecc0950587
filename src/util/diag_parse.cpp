// Small parsers, the monotonic clock and the socket-table address form.
#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/diagnostics.h"

namespace zavo {

std::pair<std::string, int> parse_address(const std::string& s) {
  const std::string::size_type colon = s.find(':');
  if (colon == std::string::npos) return {std::string(), 0};
  const char* digits = s.c_str() + colon + 1;
  errno = 0;
  const long port = std::strtol(digits, nullptr, 10);
  // A number that is no port would otherwise be truncated by the socket
  // layer into some other, valid-looking port.
  const bool usable = errno == 0 && port >= 0 && port <= 65535;
  return {s.substr(0, colon), usable ? static_cast<int>(port) : 0};
}

bool valid_ip(const char* s) {
  if (s == nullptr || std::strlen(s) < 7) return false;
  return inet_addr(s) != INADDR_NONE;
}

int parse_short_time(const std::string& s) {
  if (s.size() != 8 || s[2] != ':' || s[5] != ':') return -1;
  int value = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    if (i == 2 || i == 5) continue;
    if (s[i] < '0' || s[i] > '9') return -1;
    value = value * 10 + (s[i] - '0');
  }
  return value;
}

int64_t sys_local_clock_us() {
  timespec ts;
  if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return 0;
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

std::string convert_addr_to_hex(const char* ip, int port) {
  char text[32];
  const unsigned addr = ip != nullptr ? static_cast<unsigned>(inet_addr(ip)) : 0xFFFFFFFFu;
  std::snprintf(text, sizeof text, "%08X:%04X", addr, static_cast<unsigned>(port));
  return text;
}

}  // namespace zavo
