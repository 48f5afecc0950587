#pragma once
// A raw data packet: a 20-byte header (sync 0xF7F7, send time, market,
// message sequence, fragment number, more-fragments flag, payload length)
// followed by PayloadLength bytes of exchange data that this library never
// interprets. A message longer than one packet travels as fragments 0, 1, 2,
// ... sharing one Sequence; the last has MoreFragments 0.
//
// In memory: the header members followed by a byte buffer that holds either
// a whole packet (header and payload, see Assign/Build) or a message being
// put together from fragment payloads (see AppendPayload).
#include <cstddef>

#include "util/byte_buffer.h"
#include "util/slice.h"
#include "proto/field_codec.h"

namespace zavo {

class RawDataPacket {
 public:
  static constexpr unsigned short kMagic = 0xF7F7;
  static constexpr unsigned int kHeaderSize = 20;

  explicit RawDataPacket(size_t capacity = 128);
  RawDataPacket(RawDataPacket&&) noexcept = default;
  RawDataPacket& operator=(RawDataPacket&&) noexcept = default;

  unsigned short Magic = kMagic;
  unsigned int SendTime = 0;         // time of day hhmmssmmm
  CExchangeIDType ExchangeID = 0;    // 1 Shanghai, 2 Shenzhen
  uint64_t Sequence = 0;             // shared by every fragment of a message
  unsigned short FragmentNo = 0;     // 0 for the first fragment
  unsigned char MoreFragments = 0;   // 0: last (or only) fragment
  unsigned short PayloadLength = 0;  // bytes after the header

  ByteBuffer& Buffer() { return buffer_; }
  const ByteBuffer& Buffer() const { return buffer_; }

  // True if `data` starts with the raw packet's sync value.
  static bool HasMagic(const char* data, size_t len) {
    return data != nullptr && len >= 2 && LoadBigEndian<unsigned short>(data) == kMagic;
  }

  // Reads the 20-byte header at `data` into the members. False (members
  // unchanged) when fewer than 20 bytes are given. The magic is read as it
  // is; callers look for it first.
  bool DecodeHeader(const char* data, size_t len);
  // Writes the members as a 20-byte header. False when `len` < 20.
  bool EncodeHeader(char* out, size_t len) const;

  // Resets the header members to 0 (Magic stays 0xF7F7) and empties the
  // buffer without freeing it.
  void Clear();

  // Makes the buffer hold exactly `len` bytes copied from `data` (a whole
  // received packet). When they do not fit, the buffer is replaced by one of
  // (len + capacity) * 3 / 2 bytes; the old contents are not kept.
  bool Assign(const char* data, size_t len);
  // Appends `len` payload bytes to the message being assembled, keeping what
  // is there; growth as in Assign.
  bool AppendPayload(const char* data, size_t len);

  // Sender side: sets PayloadLength (false above 65535 bytes) and makes the
  // buffer hold the header followed by the payload.
  bool Build(const char* payload, size_t len);

  // The buffer's readable bytes.
  Slice Bytes() const;
  // With the buffer holding a whole packet: its payload (PayloadLength bytes
  // after the header), or null when the buffer is shorter than that.
  const char* Payload() const;

 private:
  bool make_room(size_t total, bool keep);

  ByteBuffer buffer_;
};

}  // namespace zavo
