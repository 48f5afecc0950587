// Struct session: the multicast data path. The FeedProcessor hands each
// datagram to process_datagram on the processing thread, which decodes,
// converts, filters and delivers its fields.
#include <cinttypes>
#include <cstdio>

#include "api/convert.h"
#include "api/udp_api_imp.h"
#include "util/logger.h"

namespace zavo {

namespace {
template <class T>
struct FieldTag {
  using type = T;
};
}  // namespace

void UdpStructApiImp::OnError(int code) {
  ZAVO_LOG("%p[%s] UDP OnError: %s", handle(), ClassName(), get_uv_err_string(code).c_str());
}

void UdpStructApiImp::process_datagram(const char* data, size_t size) {
  // The fields are walked where they lie in the datagram's copy.
  StructPacket& packet = feed_.packet();
  const char* body = nullptr;
  const StructPacket::ParseResult r = packet.ParseInPlace(data, size, &body);
  if (!r.complete) {
    std::printf("UdpStructApiImp::udp_packet_process_loop Enqueue Failed\n");
    return;
  }
  try {
    on_udp_packet_process(packet.PacketTime, body, packet.BodyLength);
  } catch (...) {
    // A handler that throws must not take the session's thread down.
    ZAVO_LOG("%p[%s] DataHandler threw an exception", handle(), ClassName());
  }
}

// Flattened: the per-field step is inlined into the walk, which saves a
// call with six arguments per field.
__attribute__((flatten)) void UdpStructApiImp::on_udp_packet_process(uint64_t packet_time,
                                                                     const char* body,
                                                                     unsigned int size) {
  const uint32_t t = static_cast<uint32_t>(packet_time % 1000000000UL);
  const ZAVO_DataHandler handler = data_handler_;
  DecodeScratch& live = feed_.scratch();
  for (StructPacket::Iterator it(body, size); it.Valid(); it.Next()) {
    if (it.FieldId == HeartBeatField::kFieldId) {
      OnHeartbeat(it);
    } else if (it.FieldId >= SecuritySnapShotField::kFieldId &&
               it.FieldId <= SH_OrderDetailField::kFieldId) {
      handle_market_field(it, live, handler, t, true, "%p[%s] UDP Session GetField Error: %s");
    }
  }
}

void UdpStructApiImp::handle_market_field(const StructPacket::Iterator& it, DecodeScratch& s,
                                          ZAVO_DataHandler handler, uint32_t msg_time, bool live,
                                          const char* error_format) {
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
    ZAVO_LOG(error_format, handle(), ClassName(), TypeName<Field>());
    return true;
  };
  auto wanted = [&](unsigned char exchange) {
    // The code leads every market-data record.
    return subscription_.IsMatchSysCode(exchange, data, 16);
  };
  auto wire_exchange = [&]() { return static_cast<unsigned char>(data[16]); };
  const uint32_t flags = flags_.load(std::memory_order_relaxed);
  switch (it.FieldId) {
    case SecuritySnapShotField::kFieldId:
      if (too_short(FieldTag<SecuritySnapShotField>())) break;
      DecodeInto(data, len, &s.security);
      if (wanted(wire_exchange())) {
        deliver(handler, ZAVO_MSG_SECURITY_SNAPSHOT, sizeof(s.security), msg_time, it.FieldSeq,
                &s.security);
      }
      if (live) snapshots_.Update(s.security);
      break;
    case IndexSnapShotField::kFieldId:
      if (too_short(FieldTag<IndexSnapShotField>())) break;
      DecodeInto(data, len, &s.index);
      if (wanted(wire_exchange())) {
        deliver(handler, ZAVO_MSG_INDEX_SNAPSHOT, sizeof(s.index), msg_time, it.FieldSeq, &s.index);
      }
      if (live) snapshots_.Update(s.index);
      break;
    case FutureSnapShotField::kFieldId:
      if (too_short(FieldTag<FutureSnapShotField>())) break;
      DecodeInto(data, len, &s.future);
      if (wanted(wire_exchange())) {
        deliver(handler, ZAVO_MSG_FUTURE_SNAPSHOT, sizeof(s.future), msg_time, it.FieldSeq,
                &s.future);
      }
      if (live) snapshots_.Update(s.future);
      break;
    case OrderQueueField::kFieldId:
      if (too_short(FieldTag<OrderQueueField>())) break;
      if ((flags & ZAVO_FLAG_ORDER_QUEUE) && wanted(wire_exchange())) {
        DecodeInto(data, len, &s.queue);
        deliver(handler, ZAVO_MSG_ORDER_QUEUE, sizeof(s.queue), msg_time, it.FieldSeq, &s.queue);
      }
      break;
    case OrderDetailField::kFieldId:
      if (too_short(FieldTag<OrderDetailField>())) break;
      if ((flags & ZAVO_FLAG_ORDER_DETAIL) && wanted(wire_exchange())) {
        DecodeInto(data, len, &s.order);
        deliver(handler, ZAVO_MSG_ORDER_DETAIL, sizeof(s.order), msg_time, it.FieldSeq, &s.order);
      }
      break;
    case TradeDetailField::kFieldId:
      if (too_short(FieldTag<TradeDetailField>())) break;
      if ((flags & ZAVO_FLAG_TRADE_DETAIL) && wanted(wire_exchange())) {
        DecodeInto(data, len, &s.trade);
        deliver(handler, ZAVO_MSG_TRADE_DETAIL, sizeof(s.trade), msg_time, it.FieldSeq, &s.trade);
      }
      break;
#ifndef _WIN32
    // The Windows build knows no Shanghai order detail: skipped there.
    case SH_OrderDetailField::kFieldId:
      if (too_short(FieldTag<SH_OrderDetailField>())) break;
      // The record carries no exchange: it is Shanghai by definition.
      if ((flags & ZAVO_FLAG_ORDER_DETAIL) && wanted(1)) {
        DecodeInto(data, len, &s.sh_order);
        deliver(handler, ZAVO_MSG_SH_ORDER_DETAIL, sizeof(s.sh_order), msg_time, it.FieldSeq,
                &s.sh_order);
      }
      break;
#endif
    default:
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
  // exchange makes exactly one of them act on a change of day.
  if (day_marker_.exchange(day) != day) ClearApiCache();
  ZAVO_LOG("%p[%s] OnHeartbeat: %" PRIu64, handle(), ClassName(), v);
}

}  // namespace zavo
