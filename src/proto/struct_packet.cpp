#include "proto/struct_packet.h"

#include "util/timestamp.h"

namespace zavo {

StructPacket::StructPacket(size_t capacity) : buffer_(capacity) {}

void StructPacket::ResetForSend() {
  PacketType = 0;
  PacketTime = 0;
  buffer_.Reset();
  buffer_.AdvanceWrite(kHeaderSize);  // clamps to the buffer end
}

bool StructPacket::try_put_field(unsigned short id, unsigned int size, const void* record,
                                 encode_fn encode) {
  const size_t need = size_t{size} + kFieldHeaderSize;
  if (buffer_.WritableBytes() < need) return false;
  char* p = buffer_.write_pos();
  StoreBigEndian<unsigned short>(p, id);
  StoreBigEndian<unsigned short>(p + 2, static_cast<unsigned short>(size));
  StoreBigEndian<uint64_t>(p + 4, 0);
  // A record may declare more bytes than its members fill (the login reply
  // does): those bytes leave as zeros rather than as stale memory.
  std::memset(p + kFieldHeaderSize, 0, size);
  const size_t room = buffer_.WritableBytes() - kFieldHeaderSize;
  const unsigned int limit = room > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<unsigned int>(room);
  if (!encode(record, p + kFieldHeaderSize, limit)) return false;
  buffer_.AdvanceWrite(need);
  return true;
}

bool StructPacket::add_field(unsigned short id, unsigned int size, const void* record,
                             encode_fn encode) {
  const size_t used = static_cast<size_t>(buffer_.write_pos() - buffer_.base());
  const bool empty = buffer_.base() == nullptr || used <= kHeaderSize;
  if (empty && used < kHeaderSize) {
    buffer_.Reset();
    buffer_.AdvanceWrite(kHeaderSize);
  }
  if (buffer_.capacity() >= kHeaderSize && try_put_field(id, size, record, encode)) return true;

  if (!empty) {
    // Grow keeping the fields already added; never past the bound.
    const size_t need = used + size + kFieldHeaderSize;
    if (need > kMaxCapacity) return false;
    size_t next = buffer_.capacity() * 2;
    if (next < need) next = need;
    if (next > kMaxCapacity) next = kMaxCapacity;
    if (!buffer_.Reserve(next)) return false;
    return try_put_field(id, size, record, encode);
  }

  // An empty packet starts over in a larger buffer: (Size() + 28) * 2 at
  // the first retry, doubling after that.
  size_t next = (size_t{size} + 28) * 2;
  for (;;) {
    if (next > kMaxCapacity) {
      ResetForSend();
      return false;
    }
    if (next != buffer_.capacity()) buffer_ = ByteBuffer(next);
    if (buffer_.capacity() != next) return false;  // out of memory
    ResetForSend();
    if (try_put_field(id, size, record, encode)) return true;
    next *= 2;
  }
}

bool StructPacket::Serialize() {
  if (buffer_.base() == nullptr || buffer_.capacity() < kHeaderSize) return false;
  if (PacketTime == 0) PacketTime = Timestamp::Now().FullStamp();
  size_t used = static_cast<size_t>(buffer_.write_pos() - buffer_.base());
  if (used < kHeaderSize) {
    buffer_.AdvanceWrite(kHeaderSize - used);
    used = kHeaderSize;
  }
  BodyLength = static_cast<unsigned short>(used - kHeaderSize);
  char* h = buffer_.base();
  StoreBigEndian<unsigned short>(h, Magic);
  StoreBigEndian<unsigned short>(h + 2, BodyLength);
  StoreBigEndian<unsigned int>(h + 4, PacketType);
  StoreBigEndian<uint64_t>(h + 8, PacketTime);
  return true;
}

Slice StructPacket::Bytes() const {
  return Slice(buffer_.base(), static_cast<uint64_t>(buffer_.write_pos() - buffer_.base()));
}

StructPacket::ParseResult StructPacket::ParseInPlace(const char* data, size_t len,
                                                     const char** body) {
  ParseResult r;
  *body = nullptr;
  if (data == nullptr || len < 2) return r;
  // Resynchronise: everything before the sync value is dropped. The last
  // byte is kept when no sync is found, as it may be the first half of one.
  size_t k = 0;
  while (k + 1 < len && !(data[k] == 0x07 && data[k + 1] == 0x07)) ++k;
  if (k + 1 >= len) {
    r.consumed = len - 1;
    return r;
  }
  r.consumed = k;
  if (len - k < kHeaderSize) {
    r.needed = kHeaderSize;
    return r;
  }
  const char* h = data + k;
  Magic = LoadBigEndian<unsigned short>(h);
  BodyLength = LoadBigEndian<unsigned short>(h + 2);
  PacketType = LoadBigEndian<unsigned int>(h + 4);
  PacketTime = LoadBigEndian<uint64_t>(h + 8);
  const size_t size = BodyLength;
  if (size > len - k - kHeaderSize) {
    r.needed = size + kHeaderSize;
    return r;
  }
  r.consumed = k + kHeaderSize + size;
  r.complete = true;
  *body = h + kHeaderSize;
  return r;
}

StructPacket::ParseResult StructPacket::ParseFrom(const char* data, size_t len) {
  const char* body = nullptr;
  ParseResult r = ParseInPlace(data, len, &body);
  if (!r.complete) return r;
  const size_t size = BodyLength;
  buffer_.Reset();
  if (size > buffer_.capacity()) {
    buffer_ = ByteBuffer((size + buffer_.capacity()) * 3 / 2);
  }
  if (size > buffer_.capacity()) {  // out of memory: the packet is dropped
    r.complete = false;
    return r;
  }
  if (size > 0) std::memcpy(buffer_.base(), body, size);
  buffer_.AdvanceWrite(size);
  return r;
}

}  // namespace zavo
