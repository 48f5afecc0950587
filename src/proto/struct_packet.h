#pragma once
// The struct packet: a 16-byte header (sync 0x0707, body length, packet
// type, packet time) followed by fields, each a 12-byte field header (field
// id, field length, field sequence) and one wire record.
//
// Sending side: the buffer holds the whole packet with the header space
// reserved at its start; AddField appends fields, Serialize writes the header
// and Bytes() is what goes on the wire.
//
//   StructPacket p = StructPacket::ForRecord<ReqUserLoginField>();
//   p.AddField(login);        // false: the packet could not be built
//   p.Serialize();            // or let a framed session's Send do it
//   write(p.Bytes());
//
// Receiving side: ParseFrom recognises one packet at the front of received
// bytes (resynchronising on the sync value), parses the header into the
// members and copies the body into the buffer; Iterator walks the fields.
//
//   for (StructPacket::Iterator it(p); it.Valid(); it.Next()) {
//     if (it.FieldId == SecuritySnapShotField::kFieldId) {
//       if (!it.Decode(snapshot)) log(TypeName<SecuritySnapShotField>());
//     }
//   }
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "proto/field_codec.h"
#include "util/byte_buffer.h"
#include "util/slice.h"

namespace zavo {

class StructPacket {
 public:
  static constexpr unsigned short kMagic = 0x0707;
  static constexpr unsigned int kHeaderSize = 16;
  static constexpr unsigned int kFieldHeaderSize = 12;
  // Packet type of the struct-mode retransmission conversation.
  static constexpr unsigned int kRebuildPacketType = 1010;
  // A packet never grows past this, so BodyLength always fits 16 bits.
  static constexpr size_t kMaxCapacity = 65534;
  // Capacity of a receiving packet before its first growth.
  static constexpr size_t kDefaultCapacity = 4096;

  // Outcome of ParseFrom. `consumed` bytes may be dropped from the front of
  // the input; `needed` is how many bytes (from the new front) must be seen
  // at once to make progress, 0 when there is no such wish.
  struct ParseResult {
    size_t consumed = 0;
    size_t needed = 0;
    bool complete = false;  // a whole packet was parsed into this object
  };

  // A receiving packet: header members zero (Magic 0x0707), an empty buffer
  // of `capacity` bytes.
  explicit StructPacket(size_t capacity = kDefaultCapacity);
  // A sending packet sized for one record of type T: capacity Size() + 60,
  // write position past the reserved header.
  template <class T>
  static StructPacket ForRecord() {
    StructPacket p(T::Size() + 60);
    p.ResetForSend();
    return p;
  }

  StructPacket(StructPacket&&) noexcept = default;
  StructPacket& operator=(StructPacket&&) noexcept = default;
  StructPacket(const StructPacket&) = delete;
  StructPacket& operator=(const StructPacket&) = delete;

  unsigned short Magic = kMagic;
  unsigned short BodyLength = 0;
  unsigned int PacketType = 0;
  uint64_t PacketTime = 0;

  ByteBuffer& Buffer() { return buffer_; }
  const ByteBuffer& Buffer() const { return buffer_; }

  // ---- sending ----

  // Empties the packet for building: PacketType and PacketTime 0, write
  // position 16 bytes past the buffer start (never past its end).
  void ResetForSend();

  // Appends `record` as a field with its identifier, FieldLength = Size()
  // and FieldSeq 0. When the room runs out the buffer is replaced by a
  // larger one, up to kMaxCapacity; an empty packet is rebuilt in the new
  // buffer, fields already added are carried over. False when the packet
  // would pass kMaxCapacity; a packet that already held fields is then left
  // as it was.
  template <class T>
  bool AddField(const T& record) {
    return add_field(T::kFieldId, T::Size(), &record, &encode_record<T>);
  }

  // Fills PacketTime from the local clock when it is 0, sets BodyLength from
  // the write position and writes the header into the first 16 bytes.
  // False if the buffer cannot hold a header.
  bool Serialize();

  // The packet's bytes: from the buffer start to the write position.
  Slice Bytes() const;

  // ---- receiving ----

  // Recognises one packet at the front of `data`: skips bytes up to the
  // sync value, then reads the header and copies the body into the buffer
  // (growing it to (BodyLength + capacity) * 3 / 2 when it does not fit).
  ParseResult ParseFrom(const char* data, size_t len);
  // As ParseFrom, but the body stays where it is: on a complete packet
  // *body points at its BodyLength bytes inside `data` (which must outlive
  // the walk over them) and the packet's buffer is left untouched. For a
  // whole datagram in hand, this saves copying it once more.
  ParseResult ParseInPlace(const char* data, size_t len, const char** body);

  // The received body (fields only).
  const char* Body() const { return buffer_.read_pos(); }
  unsigned int BodySize() const { return static_cast<unsigned int>(buffer_.ReadableBytes()); }

  // Walks the fields of a body. The current record is decoded from Data()
  // with Remaining() as the limit, not FieldLength: a last field announcing
  // more bytes than remain is still decoded as far as the body goes.
  class Iterator {
   public:
    explicit Iterator(const StructPacket& packet) : Iterator(packet.Body(), packet.BodySize()) {}
    Iterator(const char* body, unsigned int size) : cursor_(body), remaining_(size) {
      parse_field_header();
    }

    unsigned short FieldId = 0;
    unsigned short FieldLength = 0;
    uint64_t FieldSeq = 0;

    bool Valid() const { return cursor_ != nullptr; }
    // Start of the current record and the body bytes left from there.
    const char* Data() const { return cursor_; }
    unsigned int Remaining() const { return remaining_; }

    template <class T>
    bool Decode(T& record) const {
      return record.Decode(cursor_, remaining_);
    }

    // Moves past the current record to the next field header. False (and
    // the walk ends) when the record runs past the body or fewer than 12
    // bytes are left. Inline: the multicast path walks every field of
    // every datagram, and a call per field cost more than the step itself.
    // The record and the next header are tested as one length.
    bool Next() {
      if (cursor_ == nullptr) return false;
      const unsigned int step = FieldLength + kFieldHeaderSize;
      if (remaining_ < step) {
        // The walk ends; Remaining() reads as if each test had run alone.
        if (remaining_ >= FieldLength) remaining_ -= FieldLength;
        cursor_ = nullptr;
        return false;
      }
      read_field_header(cursor_ + FieldLength);
      cursor_ += step;
      remaining_ -= step;
      return true;
    }
    bool parse_field_header() {
      if (cursor_ == nullptr) return false;
      if (remaining_ < kFieldHeaderSize) {
        cursor_ = nullptr;
        return false;
      }
      read_field_header(cursor_);
      cursor_ += kFieldHeaderSize;
      remaining_ -= kFieldHeaderSize;
      return true;
    }
    void read_field_header(const char* h) {
      FieldId = LoadBigEndian<unsigned short>(h);
      FieldLength = LoadBigEndian<unsigned short>(h + 2);
      FieldSeq = LoadBigEndian<uint64_t>(h + 4);
    }

   private:
    const char* cursor_ = nullptr;
    unsigned int remaining_ = 0;
  };

 private:
  using encode_fn = bool (*)(const void* record, char* out, unsigned int len);
  template <class T>
  static bool encode_record(const void* record, char* out, unsigned int len) {
    return static_cast<const T*>(record)->Encode(out, len);
  }
  bool add_field(unsigned short id, unsigned int size, const void* record, encode_fn encode);
  bool try_put_field(unsigned short id, unsigned int size, const void* record, encode_fn encode);

  ByteBuffer buffer_;
};

}  // namespace zavo
