#include "proto/raw_packet.h"

#include <cstring>

namespace zavo {

RawDataPacket::RawDataPacket(size_t capacity) : buffer_(capacity) {}

bool RawDataPacket::DecodeHeader(const char* data, size_t len) {
  if (data == nullptr || len < kHeaderSize) return false;
  Magic = LoadBigEndian<unsigned short>(data);
  SendTime = LoadBigEndian<unsigned int>(data + 2);
  ExchangeID = static_cast<CExchangeIDType>(data[6]);
  Sequence = LoadBigEndian<uint64_t>(data + 7);
  FragmentNo = LoadBigEndian<unsigned short>(data + 15);
  MoreFragments = static_cast<unsigned char>(data[17]);
  PayloadLength = LoadBigEndian<unsigned short>(data + 18);
  return true;
}

bool RawDataPacket::EncodeHeader(char* out, size_t len) const {
  if (out == nullptr || len < kHeaderSize) return false;
  StoreBigEndian<unsigned short>(out, Magic);
  StoreBigEndian<unsigned int>(out + 2, SendTime);
  out[6] = static_cast<char>(ExchangeID);
  StoreBigEndian<uint64_t>(out + 7, Sequence);
  StoreBigEndian<unsigned short>(out + 15, FragmentNo);
  out[17] = static_cast<char>(MoreFragments);
  StoreBigEndian<unsigned short>(out + 18, PayloadLength);
  return true;
}

void RawDataPacket::Clear() {
  Magic = kMagic;
  SendTime = 0;
  ExchangeID = 0;
  Sequence = 0;
  FragmentNo = 0;
  MoreFragments = 0;
  PayloadLength = 0;
  buffer_.Reset();
}

bool RawDataPacket::make_room(size_t total, bool keep) {
  // Callers have compacted (keep) or reset (no keep) the buffer, so the
  // bytes start at base.
  if (total <= buffer_.capacity()) return true;
  const size_t next = (total + buffer_.capacity()) * 3 / 2;
  if (keep) return buffer_.Reserve(next);
  buffer_ = ByteBuffer(next);
  return buffer_.capacity() == next;
}

bool RawDataPacket::Assign(const char* data, size_t len) {
  buffer_.Reset();
  if (!make_room(len, false)) return false;
  if (len > 0) std::memcpy(buffer_.base(), data, len);
  buffer_.AdvanceWrite(len);
  return true;
}

bool RawDataPacket::AppendPayload(const char* data, size_t len) {
  buffer_.Compact();
  const size_t total = buffer_.ReadableBytes() + len;
  if (!make_room(total, true)) return false;
  if (len > 0) std::memcpy(buffer_.write_pos(), data, len);
  buffer_.AdvanceWrite(len);
  return true;
}

bool RawDataPacket::Build(const char* payload, size_t len) {
  if (len > 0xFFFF) return false;
  PayloadLength = static_cast<unsigned short>(len);
  buffer_.Reset();
  if (!make_room(kHeaderSize + len, false)) return false;
  EncodeHeader(buffer_.base(), buffer_.capacity());
  if (len > 0) std::memcpy(buffer_.base() + kHeaderSize, payload, len);
  buffer_.AdvanceWrite(kHeaderSize + len);
  return true;
}

Slice RawDataPacket::Bytes() const {
  return Slice(buffer_.read_pos(), buffer_.ReadableBytes());
}

const char* RawDataPacket::Payload() const {
  if (buffer_.ReadableBytes() < size_t{kHeaderSize} + PayloadLength) return nullptr;
  return buffer_.read_pos() + kHeaderSize;
}

}  // namespace zavo
