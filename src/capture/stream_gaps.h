#pragma once
// Per-stream traffic and sequence gaps of recorded datagrams. A struct
// stream is one group:port and is numbered by the sequence of its
// market-data fields; a raw stream is one group:port and exchange and is
// numbered by its message sequence (every fragment of a message shares it).
// The packets are recognised with the library's own parsers.
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "proto/struct_packet.h"

namespace zavo {
namespace record {

struct StreamCounts {
  std::string name;  // "239.1.1.1:5000" or "239.1.1.1:5002 SH"
  uint64_t datagrams = 0;
  uint64_t bytes = 0;
  uint64_t last_seq = 0;
  uint64_t gaps = 0;       // jumps forward by more than one
  uint64_t missing = 0;    // numbers skipped by those jumps
  uint64_t backwards = 0;  // numbers at or below one already seen (repeats)
};

class StreamGaps {
 public:
  // Counts one datagram sent to `dst`.
  void OnDatagram(const sockaddr_in& dst, const char* data, size_t len);
  // Every stream seen, in a stable order.
  std::vector<StreamCounts> Streams() const;
  // "239.1.1.1:5000 123 dgrams 45678 B seq 99 gaps 0; ..." for one line.
  std::string Line() const;

 private:
  struct Key {
    uint32_t addr;
    uint16_t port;
    int stream;  // 0 struct, 1 SH raw, 2 SZ raw
    bool operator<(const Key& o) const {
      if (addr != o.addr) return addr < o.addr;
      if (port != o.port) return port < o.port;
      return stream < o.stream;
    }
  };
  StreamCounts& stream(const sockaddr_in& dst, int kind);
  void on_seq(StreamCounts& s, uint64_t seq, bool repeats_allowed);

  std::map<Key, StreamCounts> streams_;
  StructPacket packet_{16};  // parses in place; its buffer stays unused
};

}  // namespace record
}  // namespace zavo
