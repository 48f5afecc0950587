#pragma once
// Strict IPv4 address parsing shared by the multicast receiver and senders.
#include "net/socket_headers.h"

namespace zavo {

// Fills *out (network order) from dotted-quad text "a.b.c.d". Unlike
// inet_addr, text that is not an address is refused rather than read as
// 255.255.255.255, and short forms such as "239.1" are refused too.
bool udp_parse_ipv4(const char* text, in_addr* out);

// An AF_INET socket address for `ip` and `port` (host order). False when
// `ip` is not a dotted-quad address or the port does not fit 16 bits.
bool udp_make_addr(const char* ip, unsigned int port, sockaddr_in* out);

}  // namespace zavo
