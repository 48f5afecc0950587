#pragma once
// Reads the UDP/IPv4 datagrams of a capture file (pcap or pcapng, plain or
// zstd-compressed; Ethernet, VLAN-tagged Ethernet, Linux cooked v1 and v2
// or raw IP framing) one at a time.
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "zstd_input.h"

typedef struct pcap pcap_t;

namespace zavo {
namespace record {

struct CapturedDatagram {
  uint64_t ts_ns = 0;  // capture time, nanoseconds since the epoch
  sockaddr_in src{};
  sockaddr_in dst{};
  const char* data = nullptr;  // valid until the next Next() or Close()
  size_t len = 0;
};

class PcapReader {
 public:
  enum Result { kDatagram = 1, kEnd = 0, kError = -1 };

  PcapReader() = default;
  ~PcapReader();
  PcapReader(const PcapReader&) = delete;
  PcapReader& operator=(const PcapReader&) = delete;

  // False with a reason in *error (missing file, not a capture file, a
  // link type that carries no IPv4).
  bool Open(const std::string& path, std::string* error);
  void Close();
  // The next UDP/IPv4 datagram. kError leaves a reason in error() (a file
  // cut short, a damaged record or compressed frame and where, without the
  // file's name); everything before it has been returned.
  Result Next(CapturedDatagram* out);

  const std::string& error() const { return error_; }
  // Packets read from the file, and those passed over: not IPv4/UDP, IP
  // fragments, or captured shorter than their UDP length.
  uint64_t packets() const { return packets_; }
  uint64_t skipped() const { return skipped_; }
  // True while a compressed file is read.
  bool compressed() const { return zstd_ != nullptr; }
  // Bytes of the file consumed so far, as stored (compressed bytes of a
  // compressed file); after an error, where reading stopped.
  uint64_t file_offset() const;

 private:
  // What the decompressor met; "" for none.
  std::string damage_text() const;
  bool decode(const unsigned char* p, size_t caplen, CapturedDatagram* out);

  pcap_t* pcap_ = nullptr;
  std::unique_ptr<ZstdInput> zstd_;  // set while a compressed file is read
  int link_type_ = 0;
  std::string error_;
  uint64_t packets_ = 0;
  uint64_t skipped_ = 0;
};

// "239.1.1.1:5000" style text of an address.
std::string AddressText(const sockaddr_in& a);

}  // namespace record
}  // namespace zavo
