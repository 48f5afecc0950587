// Struct mode: decode, convert, filter and cache the market-data fields of
// a packet, keep the day marker and the code tables.
#include "api/struct_decoder.h"

#include <cinttypes>
#include <cstring>

#include "api/convert.h"
#include "api/record_decode.h"
#include "api/session_support.h"
#include "proto/sys_field.h"
#include "util/log_throttle.h"
#include "util/logger.h"

namespace zavo {

namespace {

template <class T>
struct FieldTag {
  using type = T;
};

constexpr uint32_t kSwitchableFlags =
    ZAVO_FLAG_TRADE_DETAIL | ZAVO_FLAG_ORDER_DETAIL | ZAVO_FLAG_ORDER_QUEUE;

}  // namespace

StructDecoder::StructDecoder(const void* owner, const char* class_name)
    : owner_(owner), class_name_(class_name), packet_(StructPacket::kDefaultCapacity) {}

void StructDecoder::SetFlags(uint32_t flags) {
  flags_.store(flags & kSwitchableFlags, std::memory_order_relaxed);
}

bool StructDecoder::ProcessDatagram(const char* data, size_t size, const timespec& taken_at,
                                    RecordSink& sink) {
  // The fields are walked where they lie in the datagram.
  const char* body = nullptr;
  const StructPacket::ParseResult r = packet_.ParseInPlace(data, size, &body);
  if (!r.complete) {
    refused_.fetch_add(1, std::memory_order_relaxed);
    // A datagram without a whole packet is dropped here, not refused by a
    // queue: the line keeps the wording operators and their scripts have
    // always matched for a dropped datagram, so it is not renamed. It goes
    // to the log, throttled: a broken feed must not flood the terminal of
    // the program that loaded the library.
    LogThrottled(&live_logs_.refused,
                 "%p[%s] UdpStructApiImp::udp_packet_process_loop Enqueue Failed", owner_,
                 class_name_);
    return false;
  }
  datagrams_.fetch_add(1, std::memory_order_relaxed);
  try {
    walk(body, packet_.BodyLength, live_, packet_context(sink, packet_.PacketTime, taken_at, true));
  } catch (...) {
    // Handler exceptions are caught where each handler is called; anything
    // else must not take the feeding thread down either.
    LogThrottled(&live_logs_.exceptions, "%p[%s] Datagram processing ended by an exception", owner_,
                 class_name_);
  }
  return true;
}

void StructDecoder::ProcessRebuildPacket(const StructPacket& packet, const timespec& taken_at,
                                         RecordSink& sink) {
  walk(packet.Body(), packet.BodySize(), replay_,
       packet_context(sink, packet.PacketTime, taken_at, false));
}

void StructDecoder::ProcessRecoveredBody(const char* body, unsigned int size, uint64_t packet_time,
                                         const timespec& taken_at, RecordSink& sink) {
  walk(body, size, live_, packet_context(sink, packet_time, taken_at, false));
}

StructDecoder::PacketContext StructDecoder::packet_context(RecordSink& sink, uint64_t packet_time,
                                                           const timespec& taken_at, bool live) {
  PacketContext ctx;
  ctx.sink = &sink;
  ctx.logs = live ? &live_logs_ : &control_logs_;
  ctx.msg_time = static_cast<uint32_t>(packet_time % 1000000000UL);
  ctx.flags = flags_.load(std::memory_order_relaxed);
  ctx.taken_at = taken_at;
  ctx.live = live;
  ctx.every_field = sink.sees_every_field();
  ctx.error_format =
      live ? "%p[%s] UDP Session GetField Error: %s" : "%p[%s] TCP Session GetField Error: %s";
  return ctx;
}

// Flattened: the per-field step is inlined into the field walk, which saves a
// call with many arguments per field.
__attribute__((flatten)) void StructDecoder::walk(const char* body, unsigned int size,
                                                  DecodeScratch& s, const PacketContext& ctx) {
  for (StructPacket::Iterator it(body, size); it.Valid(); it.Next()) handle_field(it, s, ctx);
}

void StructDecoder::handle_field(const StructPacket::Iterator& it, DecodeScratch& s,
                                 const PacketContext& ctx) {
  // Every field of a packet comes here; ids other than the heartbeat and
  // the market data (257 to 263) are ignored.
  // Each record is decoded straight from its wire bytes into the thread's
  // public record scratch. Kinds that are not cached are filtered on the
  // wire's exchange and code first, so a record nobody wants costs no
  // conversion; snapshots are always converted, for the cache.
  const char* data = it.Data();
  const unsigned int len = it.Remaining();
  // A record shorter than its wire size is refused with its type's name.
  auto too_short = [&](auto tag) {
    using Field = typename decltype(tag)::type;
    if (len >= Field::Size()) return false;
    LogThrottled(&ctx.logs->short_records, ctx.error_format, owner_, class_name_,
                 TypeName<Field>());
    return true;
  };
  auto wanted = [&](unsigned char exchange) {
    // The code leads every market-data record.
    return subscription_.IsMatchSysCode(exchange, data, 16);
  };
  auto wire_exchange = [&]() { return static_cast<unsigned char>(data[16]); };
  auto deliver_record = [&](uint32_t kind, const auto& record) {
    ctx.sink->OnRecord(kind, sizeof(record), ctx.msg_time, it.FieldSeq, &record);
  };
  // Snapshots are always decoded, for the cache. Its key is cut from the
  // decoded record after the handler: cutting it from the wire bytes along
  // with the public code saved instructions but measured slower.
  auto snapshot = [&](uint32_t kind, auto& record, auto decode) {
    decode(&record);
    if (wanted(wire_exchange())) deliver_record(kind, record);
    if (ctx.live) snapshots_.Update(record);
  };
  // Switched on the offset from the first market-data id: one range test
  // and one jump, where the ids themselves made a tree of compares.
  constexpr unsigned kFirst = SecuritySnapShotField::kFieldId;
  const unsigned offset = static_cast<unsigned>(it.FieldId) - kFirst;
  // Sequence numbers are seen before anything can filter them out.
  constexpr unsigned kKinds = SH_OrderDetailField::kFieldId - kFirst + 1;
  if (ctx.every_field && offset < kKinds) ctx.sink->OnField(it.FieldId, it.FieldSeq);
  switch (offset) {
    case SecuritySnapShotField::kFieldId - kFirst:
      if (too_short(FieldTag<SecuritySnapShotField>())) break;
      snapshot(ZAVO_MSG_SECURITY_SNAPSHOT, s.security,
               [&](ZAVO_SecuritySnapShot* out) { DecodeRecord(data, out, ctx.taken_at); });
      break;
    case IndexSnapShotField::kFieldId - kFirst:
      if (too_short(FieldTag<IndexSnapShotField>())) break;
      snapshot(ZAVO_MSG_INDEX_SNAPSHOT, s.index,
               [&](ZAVO_IndexSnapShot* out) { DecodeRecord(data, out); });
      break;
    case FutureSnapShotField::kFieldId - kFirst:
      if (too_short(FieldTag<FutureSnapShotField>())) break;
      snapshot(ZAVO_MSG_FUTURE_SNAPSHOT, s.future,
               [&](ZAVO_FutureSnapShot* out) { DecodeRecord(data, out); });
      break;
    case OrderQueueField::kFieldId - kFirst:
      if (too_short(FieldTag<OrderQueueField>())) break;
      if ((ctx.flags & ZAVO_FLAG_ORDER_QUEUE) && wanted(wire_exchange())) {
        DecodeRecord(data, &s.queue);
        deliver_record(ZAVO_MSG_ORDER_QUEUE, s.queue);
      }
      break;
    case OrderDetailField::kFieldId - kFirst:
      if (too_short(FieldTag<OrderDetailField>())) break;
      if ((ctx.flags & ZAVO_FLAG_ORDER_DETAIL) && wanted(wire_exchange())) {
        DecodeRecord(data, &s.order);
        deliver_record(ZAVO_MSG_ORDER_DETAIL, s.order);
      }
      break;
    case TradeDetailField::kFieldId - kFirst:
      if (too_short(FieldTag<TradeDetailField>())) break;
      if ((ctx.flags & ZAVO_FLAG_TRADE_DETAIL) && wanted(wire_exchange())) {
        DecodeRecord(data, &s.trade);
        deliver_record(ZAVO_MSG_TRADE_DETAIL, s.trade);
      }
      break;
#ifndef _WIN32
    // The Windows build knows no Shanghai order detail: skipped there.
    case SH_OrderDetailField::kFieldId - kFirst:
      if (too_short(FieldTag<SH_OrderDetailField>())) break;
      // The record carries no exchange: it is Shanghai by definition.
      if ((ctx.flags & ZAVO_FLAG_ORDER_DETAIL) && wanted(1)) {
        DecodeRecord(data, &s.sh_order);
        deliver_record(ZAVO_MSG_SH_ORDER_DETAIL, s.sh_order);
      }
      break;
#endif
    default:
      // Retransmitted heartbeats are old news: only the feed's count.
      if (it.FieldId == HeartBeatField::kFieldId && ctx.live)
        on_heartbeat(it, *ctx.sink, live_logs_);
      break;
  }
}

void StructDecoder::OnHeartbeat(const StructPacket::Iterator& it, RecordSink& sink) {
  on_heartbeat(it, sink, control_logs_);
}

void StructDecoder::on_heartbeat(const StructPacket::Iterator& it, RecordSink& sink,
                                 ThreadLogs& logs) {
  HeartBeatField heartbeat;
  if (it.FieldId != HeartBeatField::kFieldId || !it.Decode(heartbeat)) {
    LogThrottled(&logs.short_records, "%p[%s] Session GetField Error: HeartBeatField", owner_,
                 class_name_);
    return;
  }
  const uint64_t v = heartbeat.ServerTime;
  const uint32_t day = static_cast<uint32_t>(v / 10000000UL);
  // Both the feed's thread and the control thread see heartbeats; the
  // exchange makes exactly one of them act on a change of day. The first
  // heartbeat of a session only sets the day: what arrived before it (code
  // tables, snapshots) belongs to that day.
  const uint32_t was = day_marker_.exchange(day);
  if (was != day && was != 0) clear_caches(sink, &logs.day_changes);
  LogThrottled(&logs.heartbeats, "%p[%s] OnHeartbeat: %" PRIu64, owner_, class_name_, v);
}

void StructDecoder::ClearCaches(RecordSink& sink) {
  clear_caches(sink, nullptr);
}

void StructDecoder::clear_caches(RecordSink& sink, LogThrottle* throttle) {
  // A feed whose heartbeats flip between days clears at every flip; those
  // lines are throttled. A clear asked for through the API always logs.
  if (throttle != nullptr) {
    LogThrottled(throttle, "%p[%s] ClearApiCache", owner_, class_name_);
  } else {
    ZAVO_LOG("%p[%s] ClearApiCache", owner_, class_name_);
  }
  snapshots_.Clear();
  code_tables_.Clear();
  sink.OnNewDay();
  if (throttle != nullptr) {
    LogThrottled(throttle, "%p[%s] ClearApiCache - Done", owner_, class_name_);
  } else {
    ZAVO_LOG("%p[%s] ClearApiCache - Done", owner_, class_name_);
  }
}

void StructDecoder::OnControlField(const StructPacket::Iterator& it, RecordSink& sink) {
  switch (it.FieldId) {
    case HeartBeatField::kFieldId:
      OnHeartbeat(it, sink);
      break;
    case SecurityBaseInfoField::kFieldId: {
      SecurityBaseInfoField field;
      if (DecodeControlField(it, &field, owner_, class_name_))
        code_tables_.OnSecurityBaseInfo(field);
      break;
    }
    case OptionBaseInfoField::kFieldId: {
      OptionBaseInfoField field;
      if (DecodeControlField(it, &field, owner_, class_name_)) code_tables_.OnOptionBaseInfo(field);
      break;
    }
    case BaseInfoSendFinish::kFieldId: {
      ZAVO_BaseInfoFinish finish;
      std::memset(&finish, 0, sizeof(finish));
      code_tables_.FillBaseInfoFinish(&finish);
      sink.OnBaseInfoFinish(finish);
      break;
    }
    default:
      LogUnrecognizedField(&unrecognized_log_, owner_, class_name_,
                           static_cast<unsigned>(it.FieldId));
      break;
  }
}

}  // namespace zavo
