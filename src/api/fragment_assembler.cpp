#include "api/fragment_assembler.h"

#include <cctype>
#include <string>
#include <vector>

#include "util/helpers.h"
#include "util/logger.h"
#include "zavo_api.h"

namespace zavo {

static_assert(FragmentAssembler::kMaxMessageBytes == ZAVO_RAW_MESSAGE_MAX,
              "the header documents the cap");

FragmentAssembler::FragmentAssembler(const void* owner, const char* owner_name)
    : owner_(owner), owner_name_(owner_name), header_(0) {}

bool FragmentAssembler::EnableMarkets(const char* markets) {
  if (markets == nullptr || markets[0] == '\0') return false;
  const std::vector<std::string> items = StringSplit(markets, ';');
  if (items.empty()) return false;
  bool sh = false;
  bool sz = false;
  for (std::string item : items) {
    for (char& c : item) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (item == "SH") {
      sh = true;
    } else if (item == "SZ") {
      sz = true;
    } else {
      return false;
    }
  }
  sh_enabled_ = sh_enabled_ || sh;
  sz_enabled_ = sz_enabled_ || sz;
  return true;
}

bool FragmentAssembler::enabled(uint8_t exchange) const {
  return exchange == 1 ? sh_enabled_ : exchange == 2 ? sz_enabled_ : false;
}

size_t FragmentAssembler::HeldCapacity(uint8_t exchange) const {
  const Channel& ch = exchange == 1 ? sh_ : sz_;
  return ch.packet.Buffer().capacity();
}

size_t FragmentAssembler::Consume(const char* data, size_t len, Message* out, bool* complete) {
  *complete = false;
  // The message handed out by the previous call is no longer in use.
  trim(sh_);
  trim(sz_);
  if (data == nullptr || len < 2) return 0;
  size_t p = 0;
  while (p + 1 < len && LoadBigEndian<unsigned short>(data + p) != RawDataPacket::kMagic) ++p;
  if (p + 1 >= len) return len - 1;
  const size_t rest = len - p;
  if (rest < RawDataPacket::kHeaderSize) return p;
  header_.DecodeHeader(data + p, rest);
  const size_t total = RawDataPacket::kHeaderSize + header_.PayloadLength;
  if (rest < total) return p;
  const size_t consumed = p + total;
  // The payload is read where it lies: no copy of the whole packet first.
  const char* payload = data + p + RawDataPacket::kHeaderSize;

  const unsigned exchange = static_cast<unsigned char>(header_.ExchangeID);
  if (exchange == 1) {
    if (sh_enabled_) *complete = accept(sh_, payload, out);
  } else if (exchange == 2) {
    if (sz_enabled_) *complete = accept(sz_, payload, out);
  } else {
    LogThrottled(&exchange_log_, "%p[%s] RawDataPacket with Error ExchangeID: %u", owner_,
                 owner_name_, exchange);
  }
  return consumed;
}

void FragmentAssembler::reset(Channel& ch) {
  ch.packet.Clear();
  ch.holding = false;
  trim(ch);
}

void FragmentAssembler::trim(Channel& ch) {
  if (ch.holding || ch.packet.Buffer().capacity() <= kKeepBytes) return;
  ch.packet = RawDataPacket(kInitialBuffer);
}

bool FragmentAssembler::accept(Channel& ch, const char* payload, Message* out) {
  const RawDataPacket& in = header_;
  RawDataPacket& rec = ch.packet;
  const uint64_t s = in.Sequence;
  const unsigned f = in.FragmentNo;
  // Delivered already (or older): whatever fragment this is, its message
  // reached the user, or was given up in favour of a newer one.
  if (ch.delivered_any && s <= ch.last_delivered) return false;
  if (ch.holding && s < rec.Sequence) return false;  // older than the one in progress
  if (ch.holding && s == rec.Sequence) {
    // A fragment we hold already (the feed repeats datagrams): not a break.
    if (f <= rec.FragmentNo) return false;
    if (f != static_cast<unsigned>(rec.FragmentNo) + 1) {
      reset(ch);
      return false;
    }
  } else {
    reset(ch);
    if (f != 0) return false;  // the start of this message was lost
  }
  if (f == 0 && in.MoreFragments == 0) {
    // A whole message in one fragment (the channel was reset above):
    // handed out where it lies.
    ch.delivered_any = true;
    ch.last_delivered = s;
    out->exchange = ch.exchange;
    out->sequence = s;
    out->send_time = in.SendTime;
    out->data = payload;
    out->length = in.PayloadLength;
    return true;
  }
  const size_t total = rec.Buffer().ReadableBytes() + in.PayloadLength;
  if (total > kMaxMessageBytes) {
    LogThrottled(&too_long_log_,
                 "%p[%s] Raw message %lu of exchange %c too long: dropped at %lu bytes", owner_,
                 owner_name_, static_cast<unsigned long>(s), ch.exchange,
                 static_cast<unsigned long>(rec.Buffer().ReadableBytes()));
    reset(ch);
    return false;
  }
  // Grown here, doubling but never past the cap, so the buffer's own
  // growth rule (half again on top) cannot overshoot it.
  ByteBuffer& buf = rec.Buffer();
  if (total > buf.capacity()) {
    size_t next = buf.capacity() * 2;
    if (next < total) next = total;
    if (next > kMaxMessageBytes) next = kMaxMessageBytes;
    buf.Compact();
    if (!buf.Reserve(next)) {
      reset(ch);  // out of memory
      return false;
    }
  }
  if (!rec.AppendPayload(payload, in.PayloadLength)) {
    reset(ch);  // out of memory
    return false;
  }
  rec.SendTime = in.SendTime;
  rec.ExchangeID = in.ExchangeID;
  rec.Sequence = in.Sequence;
  rec.FragmentNo = in.FragmentNo;
  rec.MoreFragments = in.MoreFragments;
  rec.PayloadLength = in.PayloadLength;
  ch.holding = true;
  if (in.MoreFragments != 0) return false;

  ch.holding = false;
  ch.delivered_any = true;
  ch.last_delivered = s;
  out->exchange = ch.exchange;
  out->sequence = s;
  out->send_time = rec.SendTime;
  out->data = buf.read_pos();
  out->length = buf.ReadableBytes();
  // The bytes stay in the channel's buffer until the next call, whose next
  // message start clears them.
  return true;
}

}  // namespace zavo
