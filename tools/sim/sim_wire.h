#pragma once
// Byte-level writing and reading of the feed protocol for the simulator.
//
// The simulator writes every record with its own big-endian writer, from the
// protocol's layouts, instead of going through the client library's codec:
// a fault in that codec must show up as a failing client test, not be
// mirrored by the server and cancel itself out.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace zavo {
namespace sim {

// Field identifiers of struct packets.
enum FieldId : uint16_t {
  kFidHeartBeat = 3,
  kFidReqRetransmit = 4,
  kFidRspRetransmit = 5,
  kFidReqUserLogin = 6,
  kFidRspUserLogin = 7,
  kFidSecurityBaseInfo = 17,
  kFidOptionBaseInfo = 18,
  kFidBaseInfoFinish = 19,
  kFidSecuritySnapShot = 257,
  kFidIndexSnapShot = 258,
  kFidOrderQueue = 259,
  kFidOrderDetail = 260,
  kFidTradeDetail = 261,
  kFidFutureSnapShot = 262,
  kFidSHOrderDetail = 263,
};

// Record sizes as declared in field headers.
enum RecordSize : uint16_t {
  kSizeHeartBeat = 8,
  kSizeRetransmit = 20,
  kSizeReqUserLogin = 116,
  kSizeRspUserLogin = 96,
  kSizeSecurityBaseInfo = 81,
  kSizeOptionBaseInfo = 185,
  kSizeBaseInfoFinish = 4,
  kSizeSecuritySnapShot = 557,
  kSizeIndexSnapShot = 81,
  kSizeOrderQueue = 850,
  kSizeOrderDetail = 51,
  kSizeTradeDetail = 87,
  kSizeFutureSnapShot = 329,
  kSizeSHOrderDetail = 67,
};

constexpr uint16_t kStructMagic = 0x0707;
constexpr uint16_t kRawMagic = 0xF7F7;
constexpr unsigned kStructHeaderSize = 16;
constexpr unsigned kFieldHeaderSize = 12;
constexpr unsigned kRawHeaderSize = 20;
constexpr uint32_t kPacketTypeRetransmit = 1010;

// Appends big-endian values to a growable byte vector. The vector keeps its
// capacity across Reset(), so a writer reused per packet stops allocating
// once it has seen the largest packet.
class WireWriter {
 public:
  void Reset() { buf_.clear(); }
  size_t size() const { return buf_.size(); }
  const char* data() const { return buf_.data(); }
  char* data() { return buf_.data(); }

  void U8(uint8_t v) { buf_.push_back(static_cast<char>(v)); }
  void U16(uint16_t v) { put_be(v, 2); }
  void U32(uint32_t v) { put_be(v, 4); }
  void U64(uint64_t v) { put_be(v, 8); }
  void I32(int32_t v) { put_be(static_cast<uint32_t>(v), 4); }
  void I64(int64_t v) { put_be(static_cast<uint64_t>(v), 8); }
  // A fixed text member: at most n bytes of s, zero-padded to n.
  void Text(const char* s, size_t n);
  void Bytes(const void* p, size_t n);
  void Zeros(size_t n) { buf_.resize(buf_.size() + n, 0); }

  // Overwrites earlier bytes (used to patch lengths into headers).
  void PatchU16(size_t at, uint16_t v);

 private:
  void put_be(uint64_t v, int width);
  std::vector<char> buf_;
};

// Builds one struct packet: header, then fields appended one by one.
class PacketBuilder {
 public:
  // Starts a new packet; `packet_time` is YYYYMMDDHHMMSSmmm.
  void Begin(uint32_t packet_type, uint64_t packet_time);
  // Starts a field; the record bytes follow through writer(). End the field
  // with EndField(), which checks that exactly `size` bytes were written.
  void BeginField(uint16_t id, uint16_t size, uint64_t seq);
  bool EndField();
  // Appends a complete, already encoded field (header included).
  void AppendField(const char* bytes, size_t len);
  // Fixes the body length; returns the packet bytes.
  const char* Finish();

  size_t size() const { return w_.size(); }
  size_t body_size() const { return w_.size() - kStructHeaderSize; }
  unsigned field_count() const { return fields_; }
  WireWriter& writer() { return w_; }

 private:
  WireWriter w_;
  size_t field_start_ = 0;
  uint16_t field_size_ = 0;
  unsigned fields_ = 0;
};

// Writes the 20-byte raw packet header.
void WriteRawHeader(WireWriter* w, uint32_t send_time, uint8_t exchange, uint64_t seq,
                    uint16_t fragment_no, uint8_t more, uint16_t payload_len);

// Reads big-endian values with a bounds-checked cursor.
class WireReader {
 public:
  WireReader(const char* p, size_t n) : p_(p), n_(n) {}
  bool U8(uint8_t* v);
  bool U16(uint16_t* v);
  bool U32(uint32_t* v);
  bool U64(uint64_t* v);
  bool I32(int32_t* v);
  // A fixed text member of n bytes: the characters before the first zero.
  bool Text(size_t n, std::string* out);
  bool Skip(size_t n);
  size_t remaining() const { return n_; }

 private:
  bool get_be(int width, uint64_t* v);
  const char* p_;
  size_t n_;
};

// The three records a client sends to the server.
struct LoginRequest {
  int32_t request_id = 0;
  std::string user, password, version;
};
bool DecodeLoginRequest(const char* p, size_t n, LoginRequest* out);

struct RetransmitRange {
  uint64_t begin = 0, end = 0;
  uint32_t scope = 0;
};
bool DecodeRetransmit(const char* p, size_t n, RetransmitRange* out);

struct LoginReply {
  uint64_t reply_value = 0;
  std::string reply_text;
  int32_t error_id = 0;
  std::string error_msg;
};
bool DecodeLoginReply(const char* p, size_t n, LoginReply* out);

// Record writers for the session records.
void WriteLoginReply(WireWriter* w, const LoginReply& r);
void WriteRetransmit(WireWriter* w, const RetransmitRange& r);

// Local-time helpers. A full stamp is YYYYMMDDHHMMSSmmm.
uint64_t NowStamp();
inline uint32_t StampDate(uint64_t stamp) {
  return static_cast<uint32_t>(stamp / 1000000000ULL);
}
inline uint32_t StampTime(uint64_t stamp) {
  return static_cast<uint32_t>(stamp % 1000000000ULL);
}
// The heartbeat value for a stamp: date × 10^7 + hhmmss × 10 + tenths of a
// second, so that value / 10^7 is the date.
uint64_t HeartbeatValue(uint64_t stamp);

}  // namespace sim
}  // namespace zavo
