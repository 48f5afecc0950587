// Struct session: the multicast data path. The FeedProcessor hands each
// datagram to process_datagram on the processing thread, which decodes,
// converts, filters and delivers its fields.
#include <cinttypes>
#include <cstdio>
#include <ctime>

#include "api/convert.h"
#include "api/record_decode.h"
#include "api/udp_api_imp.h"
#include "util/logger.h"

namespace zavo {

namespace {

template <class T>
struct FieldTag {
  using type = T;
};

// Stands in for a missing handler, so that the per-record path needs no
// test for one.
void ignore_record(void*, const ZAVO_MSG*) {}

}  // namespace

void UdpStructApiImp::OnError(int code) {
  ZAVO_LOG("%p[%s] UDP OnError: %s", handle(), ClassName(), get_uv_err_string(code).c_str());
}

void UdpStructApiImp::process_datagram(const char* data, size_t size) {
  // One reading of the wall clock per datagram: every record in it was
  // taken up at this moment (LocalDelay), and a clock read costs more than
  // decoding a small record.
  timespec taken_at;
  clock_gettime(CLOCK_REALTIME, &taken_at);
  process_datagram(data, size, taken_at);
}

void UdpStructApiImp::process_datagram(const char* data, size_t size, const timespec& taken_at) {
  // The fields are walked where they lie in the datagram's copy.
  StructPacket& packet = feed_.packet();
  const char* body = nullptr;
  const StructPacket::ParseResult r = packet.ParseInPlace(data, size, &body);
  if (!r.complete) {
    std::printf("UdpStructApiImp::udp_packet_process_loop Enqueue Failed\n");
    return;
  }
  // Only handlers run user code on this thread, so it counts as inside one
  // for the whole datagram: one thread-local write per datagram instead of
  // two per record.
  HandlerMark mark(this);
  try {
    on_udp_packet_process(packet.PacketTime, body, packet.BodyLength, taken_at);
  } catch (...) {
    // Handler exceptions are caught where each handler is called; anything
    // else must not take the session's thread down either.
    ZAVO_LOG("%p[%s] Datagram processing ended by an exception", handle(), ClassName());
  }
}

UdpStructApiImp::PacketContext UdpStructApiImp::packet_context(ZAVO_DataHandler handler,
                                                               uint64_t packet_time,
                                                               const timespec& taken_at,
                                                               bool live) const {
  PacketContext ctx;
  ctx.handler = handler != nullptr ? handler : ignore_record;
  ctx.connect_id = ConnectID();
  ctx.msg_time = static_cast<uint32_t>(packet_time % 1000000000UL);
  ctx.flags = flags_.load(std::memory_order_relaxed);
  ctx.taken_at = taken_at;
  ctx.live = live;
  ctx.error_format =
      live ? "%p[%s] UDP Session GetField Error: %s" : "%p[%s] TCP Session GetField Error: %s";
  return ctx;
}

// Flattened: the per-field step is inlined into the field walk, which saves a
// call with many arguments per field.
__attribute__((flatten)) void UdpStructApiImp::on_udp_packet_process(uint64_t packet_time,
                                                                     const char* body,
                                                                     unsigned int size,
                                                                     const timespec& taken_at) {
  const PacketContext ctx = packet_context(data_handler_, packet_time, taken_at, true);
  DecodeScratch& live = feed_.scratch();
  for (StructPacket::Iterator it(body, size); it.Valid(); it.Next()) handle_field(it, live, ctx);
}

void UdpStructApiImp::handle_field(const StructPacket::Iterator& it, DecodeScratch& s,
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
    ZAVO_LOG(ctx.error_format, handle(), ClassName(), TypeName<Field>());
    return true;
  };
  auto wanted = [&](unsigned char exchange) {
    // The code leads every market-data record.
    return subscription_.IsMatchSysCode(exchange, data, 16);
  };
  auto wire_exchange = [&]() { return static_cast<unsigned char>(data[16]); };
  auto deliver_record = [&](uint32_t kind, const auto& record) {
    deliver_marked(ctx.handler, ctx.connect_id, kind, sizeof(record), ctx.msg_time, it.FieldSeq,
                   &record);
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
  switch (static_cast<unsigned>(it.FieldId) - kFirst) {
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
      if (it.FieldId == HeartBeatField::kFieldId && ctx.live) OnHeartbeat(it);
      break;
  }
}

void UdpStructApiImp::OnHeartbeat(const StructPacket::Iterator& it) {
  HeartBeatField heartbeat;
  if (it.FieldId != HeartBeatField::kFieldId || !it.Decode(heartbeat)) {
    ZAVO_LOG("%p[%s] Session GetField Error: HeartBeatField", handle(), ClassName());
    return;
  }
  const uint64_t v = heartbeat.ServerTime;
  const uint32_t day = static_cast<uint32_t>(v / 10000000UL);
  // Both the processing thread and the loop thread see heartbeats; the
  // exchange makes exactly one of them act on a change of day. The first
  // heartbeat of a session only sets the day: what arrived before it (code
  // tables, snapshots) belongs to that day.
  const uint32_t was = day_marker_.exchange(day);
  if (was != day && was != 0) ClearApiCache();
  ZAVO_LOG("%p[%s] OnHeartbeat: %" PRIu64, handle(), ClassName(), v);
}

}  // namespace zavo
