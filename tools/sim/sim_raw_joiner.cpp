#include "sim_raw_joiner.h"

#include "sim_wire.h"

namespace zavo {
namespace sim {

bool RawMessageJoiner::Take(const char* data, size_t len, Message* out) {
  WireReader r(data, len);
  uint16_t magic = 0, fragment = 0, payload_len = 0;
  uint32_t send_time = 0;
  uint8_t exchange = 0, more = 0;
  uint64_t seq = 0;
  if (!r.U16(&magic) || magic != kRawMagic || !r.U32(&send_time) || !r.U8(&exchange) ||
      !r.U64(&seq) || !r.U16(&fragment) || !r.U8(&more) || !r.U16(&payload_len)) {
    return false;
  }
  if ((exchange != 1 && exchange != 2) || r.remaining() < payload_len) return false;
  Channel& ch = channels_[exchange - 1];
  const char* payload = data + kRawHeaderSize;
  if (fragment == 0) {
    ch.holding = true;
    ch.seq = seq;
    ch.bytes.assign(payload, payload + payload_len);
  } else if (ch.holding && seq == ch.seq && fragment == ch.next_fragment) {
    ch.bytes.insert(ch.bytes.end(), payload, payload + payload_len);
  } else {
    ch.holding = false;
    return false;
  }
  ch.next_fragment = static_cast<uint16_t>(fragment + 1);
  if (more != 0) return false;
  ch.holding = false;
  out->exchange = exchange;
  out->seq = seq;
  out->send_time = send_time;
  out->data = ch.bytes.data();
  out->len = ch.bytes.size();
  return true;
}

}  // namespace sim
}  // namespace zavo
