// Offline capture files: the datagrams of a pcap or pcapng file, plain or
// zstd-compressed (told by its first bytes), filtered by destination like
// the promiscuous capture, handed to the same callback.
#pragma once

#include <cstdio>
#include <string>

#include "net_ctrl.h"

namespace Qen {

struct TPcapSummary {
  unsigned long long packets = 0;  // packets read from the file
  unsigned long long matched = 0;  // UDP datagrams that passed the filter
  unsigned long long skipped = 0;  // everything else (other traffic, cut frames)
};

enum class PcapReadResult {
  End,         // read to the end of the file
  CannotOpen,  // missing, unreadable, not a capture file, or a link type not understood
  Damaged,     // a packet record or compressed frame is damaged or cut short; the packets
               // before it were handed on
};

// Reads `path` to its end, calling `onDatagram` with the payload of every
// IPv4 UDP datagram whose destination passes `filter`. Ethernet, Linux
// cooked (v1 and v2), raw IPv4 and BSD loopback link types are understood.
// Anything but End comes with the reason in *error; *summary counts what was
// read either way.
PcapReadResult ReadPcapFile(const std::string& path, const TIpFilterInfo& filter,
                            CALLBACK_UDP_NEW_DATA_FUNC onDatagram, TPcapSummary* summary,
                            std::string* error);

// The same from an open stream, which it takes over and closes.
PcapReadResult ReadPcapStream(FILE* fp, const TIpFilterInfo& filter,
                              CALLBACK_UDP_NEW_DATA_FUNC onDatagram, TPcapSummary* summary,
                              std::string* error);

// The offset of the IPv4 header inside a captured packet of the given link
// type, or -1 when the packet is not IPv4 (or the link type is unknown).
int Ipv4OffsetForLinkType(int linkType, const unsigned char* pkt, size_t len);

}  // namespace Qen
