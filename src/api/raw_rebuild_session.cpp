#include "api/raw_rebuild_session.h"

#include <cstring>

#include "api/control_channel.h"
#include "net/ev_loop.h"
#include "proto/field_codec.h"
#include "proto/sys_field.h"
#include "util/logger.h"

namespace zavo {

namespace {

// Smallest front that tells the packet kinds apart and makes a struct
// header worth waiting for.
constexpr unsigned long kMinFront = 8;

bool is_sync(const char* p) {
  const unsigned short v = LoadBigEndian<unsigned short>(p);
  return v == StructPacket::kMagic || v == RawDataPacket::kMagic;
}

}  // namespace

RawDataRebuildSession::RawDataRebuildSession(EvLoop* loop, ControlChannel* owner)
    : TcpConnector(loop, TcpIO::kDrainRead),
      owner_(owner),
      struct_packet_(StructPacket::kDefaultCapacity),
      raw_packet_(kRawPacketCapacity) {}

RawDataRebuildSession::~RawDataRebuildSession() = default;

void RawDataRebuildSession::OnConnected() {
  if (owner_ != nullptr) owner_->OnConnected();
}

void RawDataRebuildSession::OnDisconnected(int status) {
  (void)status;  // the connector keeps it: last_error()
  if (owner_ != nullptr) owner_->OnDisconnected();
}

bool RawDataRebuildSession::Send(StructPacket* packet) {
  if (packet == nullptr || !packet->Serialize()) return false;
  const Slice bytes = packet->Bytes();
  if (GetEvLoop()->IsInsideLoop()) return Write(bytes);
  AsyncWrite(bytes);
  return true;
}

TcpIO::DataResult RawDataRebuildSession::OnData(const char* data, unsigned long len) {
  if (len < kMinFront) return DataResult(0, kMinFront);
  const unsigned short magic = LoadBigEndian<unsigned short>(data);
  if (magic == StructPacket::kMagic) return on_struct_packet(data, len);
  if (magic == RawDataPacket::kMagic) return on_raw_packet(data, len);
  // Skip to the next sync value of either kind. Stepping a fixed two bytes
  // would miss a packet behind an odd number of stray bytes and then go on
  // to read its payload as if it were packet headers.
  unsigned long k = 1;
  while (k + 1 < len && !is_sync(data + k)) ++k;
  return DataResult(k, 0);
}

TcpIO::DataResult RawDataRebuildSession::on_struct_packet(const char* data, unsigned long len) {
  if (len < StructPacket::kHeaderSize) return DataResult(0, StructPacket::kHeaderSize);
  // The sync value is at the front, so the parser consumes nothing or the
  // whole packet.
  const StructPacket::ParseResult r = struct_packet_.ParseFrom(data, len);
  if (r.complete && owner_ != nullptr) owner_->OnPacket(&struct_packet_);
  return DataResult(r.consumed, r.needed);
}

TcpIO::DataResult RawDataRebuildSession::on_raw_packet(const char* data, unsigned long len) {
  if (len < RawDataPacket::kHeaderSize) return DataResult(0, RawDataPacket::kHeaderSize);
  raw_packet_.DecodeHeader(data, len);
  const unsigned long total = RawDataPacket::kHeaderSize + raw_packet_.PayloadLength;
  if (len < total) return DataResult(0, total);
  // Out of memory drops this packet; the stream goes on behind it.
  if (raw_packet_.Assign(data, total) && owner_ != nullptr) {
    owner_->OnRawPacket(&raw_packet_);
  }
  return DataResult(total, 0);
}

}  // namespace zavo
