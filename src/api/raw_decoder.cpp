// Raw mode: reassembled feed messages and replayed packets, as records.
#include "api/raw_decoder.h"

#include <cinttypes>
#include <cstring>

#include "util/log_throttle.h"

namespace zavo {

namespace {

void deliver_raw(RecordSink& sink, char exchange, const char* data, size_t length,
                 uint32_t send_time, uint64_t seq) {
  ZAVO_RawDataRef ref;
  std::memset(&ref, 0, sizeof(ref));
  ref.ExchangeID = exchange;
  ref.Length = static_cast<uint32_t>(length);
  ref.Data = data;
  sink.OnRecord(ZAVO_MSG_RAW_DATA, sizeof(ref), send_time, seq, &ref);
}

}  // namespace

RawDecoder::RawDecoder(const void* owner, const char* class_name)
    : owner_(owner), class_name_(class_name), assembler_(owner, class_name) {}

size_t RawDecoder::ProcessDatagram(const char* data, size_t len, RecordSink& sink) {
  FragmentAssembler::Message m;
  bool complete = false;
  const size_t consumed = assembler_.Consume(data, len, &m, &complete);
  if (!complete) return consumed;
  ++messages_;
  // A whole message is what a gap watcher counts in raw mode.
  if (sink.sees_every_field()) sink.OnField(ZAVO_MSG_RAW_DATA, m.sequence);
  deliver_raw(sink, m.exchange, m.data, m.length, m.send_time, m.sequence);
  return consumed;
}

void RawDecoder::ProcessRebuildPacket(const RawDataPacket& packet, uint64_t begin, uint64_t end,
                                      RecordSink& sink) {
  const uint64_t seq = packet.Sequence;
  if (seq < begin || seq >= end) {
    LogThrottled(&replay_log_,
                 "%p[%s] OnRebuildRspPacket Error: Invalid Seq: %" PRIu64 ", [%" PRIu64 ", %" PRIu64
                 ")",
                 owner_, class_name_, seq, begin, end);
    return;
  }
  const unsigned exchange = static_cast<unsigned char>(packet.ExchangeID);
  if (exchange != 1 && exchange != 2) {
    LogThrottled(&replay_log_, "%p[%s] RawDataPacket with Error ExchangeID: %u", owner_,
                 class_name_, exchange);
    return;
  }
  const char* payload = packet.Payload();
  if (payload == nullptr) return;
  deliver_raw(sink, exchange == 1 ? '1' : '2', payload, packet.PayloadLength, packet.SendTime, seq);
}

}  // namespace zavo
