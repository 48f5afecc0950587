#include "api/raw_rebuild_session.h"

#include <cstring>
#include <memory>

#include "api/udp_raw_api_imp.h"
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

RawDataRebuildSession::RawDataRebuildSession(EvLoop* loop, UdpRawApiImp* owner)
    : TcpConnector(loop, TcpIO::kDrainRead),
      owner_(owner),
      struct_packet_(StructPacket::kDefaultCapacity),
      raw_packet_(kRawPacketCapacity) {}

RawDataRebuildSession::~RawDataRebuildSession() = default;

void RawDataRebuildSession::OnConnected() {
  if (owner_ != nullptr) owner_->OnTcpConnected();
}

void RawDataRebuildSession::OnDisconnected(int status) {
  if (owner_ != nullptr) owner_->OnTcpDisconnected(status);
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
  if (r.complete && owner_ != nullptr) owner_->OnTcpStructPacket(&struct_packet_);
  return DataResult(r.consumed, r.needed);
}

TcpIO::DataResult RawDataRebuildSession::on_raw_packet(const char* data, unsigned long len) {
  if (len < RawDataPacket::kHeaderSize) return DataResult(0, RawDataPacket::kHeaderSize);
  raw_packet_.DecodeHeader(data, len);
  const unsigned long total = RawDataPacket::kHeaderSize + raw_packet_.PayloadLength;
  if (len < total) return DataResult(0, total);
  // Out of memory drops this packet; the stream goes on behind it.
  if (raw_packet_.Assign(data, total) && owner_ != nullptr) {
    owner_->OnTcpRawDataPacket(&raw_packet_);
  }
  return DataResult(total, 0);
}

// ------------------------------------------- replays of the raw session
// (UdpRawApiImp's side of the control connection)

void UdpRawApiImp::abandon_rebuild(const RebuildState::Request& req, const char* why) {
  // Only the request that failed: a caller may already have started the
  // next one (the loop thread is the only one that ends requests, so the
  // check and the clear cannot be split by another end).
  const RebuildState::Request now = rebuild_.Current();
  if (now.handler != req.handler || now.begin != req.begin || now.end != req.end) return;
  rebuild_.Clear();
  ZAVO_LOG("%p[%s] Rebuild [%lu, %lu) abandoned: %s", handle(), ClassName(),
           static_cast<unsigned long>(req.begin), static_cast<unsigned long>(req.end), why);
}

void UdpRawApiImp::queue_rebuild_request(ByteBuffer&& bytes, const RebuildState::Request& req) {
  // Written on the loop thread, where a connection that is down (between
  // reconnections) is seen and the request ended instead of waiting for an
  // end record that cannot come. The caller has already been told success.
  auto shared = std::make_shared<ByteBuffer>(std::move(bytes));
  loop_->CallInLoop([this, shared, req] {
    RawDataRebuildSession* session = session_.load();
    if (session == nullptr || !session->Write(std::move(*shared))) {
      abandon_rebuild(req, "request not sent");
    }
  });
}

ZAVO_ERROR UdpRawApiImp::Rebuild(char market, uint64_t begin_seq, uint64_t end_seq,
                                 ZAVO_DataHandler handler) {
  if (market == '0') return ZAVO_ERR_INVALID;
  if (market == '1' && !sh_enabled_.load(std::memory_order_relaxed)) return ZAVO_ERR_INVALID;
  if (market == '2' && !sz_enabled_.load(std::memory_order_relaxed)) return ZAVO_ERR_INVALID;
  const ZAVO_ERROR rc = rebuild_.TryStart(begin_seq, end_seq, handler);
  if (rc != ZAVO_SUCCESS) return rc;
  RebuildState::Request req;
  req.begin = begin_seq;
  req.end = end_seq;
  req.handler = handler;

  ReqRetransmitField field;
  field.BeginSeq = begin_seq;
  field.EndSeq = end_seq;
  field.Scope = market == '1' ? 1u : market == '2' ? 2u : 0u;
  StructPacket packet = StructPacket::ForRecord<ReqRetransmitField>();
  RawDataRebuildSession* session = session_.load();
  if (!packet.AddField(field) || session == nullptr || !packet.Serialize()) {
    rebuild_.Clear();
    return ZAVO_ERR_NETWORK;
  }
  if (loop_->IsInsideLoop()) {
    if (!session->Write(packet.Bytes())) {
      rebuild_.Clear();
      return ZAVO_ERR_NETWORK;
    }
    return ZAVO_SUCCESS;
  }
  const Slice bytes = packet.Bytes();
  queue_rebuild_request(ByteBuffer(bytes.data, bytes.size), req);
  return ZAVO_SUCCESS;
}

void UdpRawApiImp::OnTcpRawDataPacket(const RawDataPacket* packet) {
  // Read once: the request and its handler are seen whole for the packet.
  const RebuildState::Request req = rebuild_.Current();
  if (req.handler == nullptr) {
    ZAVO_LOG("%p[%s] OnRebuildRspPacket Error: Handler NULL", handle(), ClassName());
    return;
  }
  const unsigned long seq = packet->Sequence;
  if (seq < req.begin || seq >= req.end) {
    ZAVO_LOG("%p[%s] OnRebuildRspPacket Error: Invalid Seq: %lu, [%lu, %lu)", handle(), ClassName(),
             seq, static_cast<unsigned long>(req.begin), static_cast<unsigned long>(req.end));
    return;
  }
  const unsigned exchange = static_cast<unsigned char>(packet->ExchangeID);
  if (exchange != 1 && exchange != 2) {
    ZAVO_LOG("%p[%s] RawDataPacket with Error ExchangeID: %u", handle(), ClassName(), exchange);
    return;
  }
  const char* payload = packet->Payload();
  if (payload == nullptr) return;
  ZAVO_RawDataRef ref;
  std::memset(&ref, 0, sizeof(ref));
  ref.ExchangeID = exchange == 1 ? '1' : '2';
  ref.Length = packet->PayloadLength;
  ref.Data = payload;
  ZAVO_MSG msg;
  std::memset(&msg, 0, sizeof(msg));
  msg.MsgType = ZAVO_MSG_RAW_DATA;
  msg.MsgSize = sizeof(ZAVO_RawDataRef);
  msg.MsgTime = packet->SendTime;
  msg.ConnectID = ConnectID();
  msg.SeqNum = seq;
  msg.MsgData = &ref;
  req.handler(handle(), &msg);
}

}  // namespace zavo
