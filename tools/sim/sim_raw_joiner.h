#pragma once
// RawMessageJoiner: puts recorded raw fragments back into whole messages,
// per exchange, so that a replaying server knows what it has published (its
// counts, and the history it answers raw retransmissions from). Fragments
// are taken only in order; a message with a lost or reordered fragment is
// not counted, as no client would assemble it either. Repeats of a
// recording (a replay in a loop) count again.
//
// Not thread-safe: the server's loop thread feeds it.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zavo {
namespace sim {

class RawMessageJoiner {
 public:
  struct Message {
    uint8_t exchange = 0;  // 1 or 2
    uint64_t seq = 0;
    uint32_t send_time = 0;  // of its last fragment
    const char* data = nullptr;
    size_t len = 0;
  };

  // One datagram holding one raw fragment at its start. True when it
  // completed a message, then described by *out until the next call.
  bool Take(const char* data, size_t len, Message* out);

 private:
  struct Channel {
    bool holding = false;
    uint64_t seq = 0;
    uint16_t next_fragment = 0;
    std::vector<char> bytes;
  };
  Channel channels_[2];
};

}  // namespace sim
}  // namespace zavo
