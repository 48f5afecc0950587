#pragma once
// The multicast receiver a session derives from. On Linux a read thread of
// its own takes the feed off the socket (UdpMulticaseReceiver2); on Windows
// the datagrams arrive on the session's event loop (UdpMulticaseReceiver).
// Both hand each datagram to the owner's OnData and close the same way.
#ifdef _WIN32
#include "net/udp_loop_receiver.h"
namespace zavo {
using FeedReceiver = UdpMulticaseReceiver;
}  // namespace zavo
#else
#include "net/udp_multicast_receiver.h"
namespace zavo {
using FeedReceiver = UdpMulticaseReceiver2;
}  // namespace zavo
#endif
