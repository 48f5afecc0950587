#include "sim_wire.h"

#include <sys/time.h>

#include <ctime>

namespace zavo {
namespace sim {

void WireWriter::put_be(uint64_t v, int width) {
  char b[8];
  for (int i = width - 1; i >= 0; --i) {
    b[i] = static_cast<char>(v & 0xff);
    v >>= 8;
  }
  buf_.insert(buf_.end(), b, b + width);
}

void WireWriter::Text(const char* s, size_t n) {
  size_t len = s ? strnlen(s, n) : 0;
  buf_.insert(buf_.end(), s, s + len);
  buf_.resize(buf_.size() + (n - len), 0);
}

void WireWriter::Bytes(const void* p, size_t n) {
  const char* c = static_cast<const char*>(p);
  buf_.insert(buf_.end(), c, c + n);
}

void WireWriter::PatchU16(size_t at, uint16_t v) {
  if (at + 2 > buf_.size()) return;
  buf_[at] = static_cast<char>(v >> 8);
  buf_[at + 1] = static_cast<char>(v & 0xff);
}

void PacketBuilder::Begin(uint32_t packet_type, uint64_t packet_time) {
  w_.Reset();
  fields_ = 0;
  w_.U16(kStructMagic);
  w_.U16(0);  // body length, patched by Finish()
  w_.U32(packet_type);
  w_.U64(packet_time);
}

void PacketBuilder::BeginField(uint16_t id, uint16_t size, uint64_t seq) {
  field_start_ = w_.size();
  field_size_ = size;
  w_.U16(id);
  w_.U16(size);
  w_.U64(seq);
}

bool PacketBuilder::EndField() {
  ++fields_;
  return w_.size() - field_start_ == kFieldHeaderSize + field_size_;
}

void PacketBuilder::AppendField(const char* bytes, size_t len) {
  w_.Bytes(bytes, len);
  ++fields_;
}

const char* PacketBuilder::Finish() {
  // Callers keep bodies below 64 KiB; the length member is 16 bits wide.
  w_.PatchU16(2, static_cast<uint16_t>(w_.size() - kStructHeaderSize));
  return w_.data();
}

void WriteRawHeader(WireWriter* w, uint32_t send_time, uint8_t exchange, uint64_t seq,
                    uint16_t fragment_no, uint8_t more, uint16_t payload_len) {
  w->U16(kRawMagic);
  w->U32(send_time);
  w->U8(exchange);
  w->U64(seq);
  w->U16(fragment_no);
  w->U8(more);
  w->U16(payload_len);
}

bool WireReader::get_be(int width, uint64_t* v) {
  if (n_ < static_cast<size_t>(width)) return false;
  uint64_t r = 0;
  for (int i = 0; i < width; ++i) r = (r << 8) | static_cast<unsigned char>(p_[i]);
  p_ += width;
  n_ -= width;
  *v = r;
  return true;
}

bool WireReader::U8(uint8_t* v) {
  uint64_t r;
  if (!get_be(1, &r)) return false;
  *v = static_cast<uint8_t>(r);
  return true;
}
bool WireReader::U16(uint16_t* v) {
  uint64_t r;
  if (!get_be(2, &r)) return false;
  *v = static_cast<uint16_t>(r);
  return true;
}
bool WireReader::U32(uint32_t* v) {
  uint64_t r;
  if (!get_be(4, &r)) return false;
  *v = static_cast<uint32_t>(r);
  return true;
}
bool WireReader::U64(uint64_t* v) {
  return get_be(8, v);
}
bool WireReader::I32(int32_t* v) {
  uint32_t r;
  if (!U32(&r)) return false;
  *v = static_cast<int32_t>(r);
  return true;
}

bool WireReader::Text(size_t n, std::string* out) {
  if (n_ < n) return false;
  out->assign(p_, strnlen(p_, n));
  p_ += n;
  n_ -= n;
  return true;
}

bool WireReader::Skip(size_t n) {
  if (n_ < n) return false;
  p_ += n;
  n_ -= n;
  return true;
}

bool DecodeLoginRequest(const char* p, size_t n, LoginRequest* out) {
  WireReader r(p, n);
  return r.I32(&out->request_id) && r.Text(16, &out->user) && r.Text(32, &out->password) &&
         r.Text(64, &out->version);
}

bool DecodeRetransmit(const char* p, size_t n, RetransmitRange* out) {
  WireReader r(p, n);
  return r.U64(&out->begin) && r.U64(&out->end) && r.U32(&out->scope);
}

bool DecodeLoginReply(const char* p, size_t n, LoginReply* out) {
  WireReader r(p, n);
  return r.U64(&out->reply_value) && r.Text(16, &out->reply_text) && r.I32(&out->error_id) &&
         r.Text(64, &out->error_msg);
}

void WriteLoginReply(WireWriter* w, const LoginReply& r) {
  w->U64(r.reply_value);
  w->Text(r.reply_text.c_str(), 16);
  w->I32(r.error_id);
  w->Text(r.error_msg.c_str(), 64);
  w->Zeros(4);  // the declared record is 4 bytes longer than its members
}

void WriteRetransmit(WireWriter* w, const RetransmitRange& r) {
  w->U64(r.begin);
  w->U64(r.end);
  w->U32(r.scope);
}

uint64_t NowStamp() {
  timeval tv;
  gettimeofday(&tv, nullptr);
  struct tm t;
  time_t secs = tv.tv_sec;
  localtime_r(&secs, &t);
  uint64_t date =
      static_cast<uint64_t>(t.tm_year + 1900) * 10000 + (t.tm_mon + 1) * 100 + t.tm_mday;
  uint64_t tod = static_cast<uint64_t>(t.tm_hour) * 10000000 + t.tm_min * 100000 + t.tm_sec * 1000 +
                 tv.tv_usec / 1000;
  return date * 1000000000ULL + tod;
}

uint64_t HeartbeatValue(uint64_t stamp) {
  uint64_t date = StampDate(stamp);
  uint64_t tod = StampTime(stamp);  // hhmmssmmm
  return date * 10000000ULL + (tod / 1000) * 10 + (tod % 1000) / 100;
}

}  // namespace sim
}  // namespace zavo
