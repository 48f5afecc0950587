// Raw session: lifecycle, the control connection's raw side, and the
// delivery of reassembled multicast messages.
#include "api/udp_raw_api_imp.h"

#include <cinttypes>
#include <cstring>

#include "api/raw_rebuild_session.h"
#include "net/ev_loop.h"
#include "net/tcp_io.h"
#include "proto/struct_packet.h"
#include "proto/sys_field.h"
#include "util/logger.h"

namespace zavo {

UdpRawApiImp::UdpRawApiImp()
    : decoder_(static_cast<ApiImp*>(this), RawApiImp::ClassName()),
      control_(this, this, ControlChannel::Options{false}) {
  ZAVO_LOG("%p[%s] Create", handle(), ClassName());
}

UdpRawApiImp::~UdpRawApiImp() {
  // The read thread calls into this object: it must be gone before the
  // members are. Join has normally done this already.
  FeedReceiver::Close();
  ZAVO_LOG("%p[%s] Release", handle(), ClassName());
}

// ---------------------------------------------------------------- lifecycle

ZAVO_ERROR UdpRawApiImp::Open(const ZAVO_RawOpenSetting& setting) {
  setting_ = setting;
  address_ = AddressOf(setting_);
  // The caller's settings first: a session that cannot run is not
  // connected at all, and the system handler is known before any event.
  const ZAVO_ERROR handlers = take_handlers(setting_.DataHandler, setting_.SystemHandler);
  if (handlers != ZAVO_SUCCESS) return handlers;
  if (!decoder_.EnableMarkets(setting_.SubscribedMarkets)) {
    ZAVO_LOG("%p[%s] Open SubscribedMarkets Error.", handle(), ClassName());
    return ZAVO_ERR_INVALID;
  }
  // The text belongs to the caller; nothing may read it after Open.
  setting_.SubscribedMarkets = nullptr;
  return OpenSession(this, &lifecycle_, this, &control_,
                     new RawDataRebuildSession(control_.loop(), &control_), address_);
}

SessionParts UdpRawApiImp::parts() {
  // No processing thread: the read thread delivers.
  return SessionParts{this, &lifecycle_, this, nullptr, &control_};
}

void UdpRawApiImp::Close() {
  CloseSession(parts());
}

void UdpRawApiImp::Join() {
  JoinSession(parts());
}

void UdpRawApiImp::Release() {
  ReleaseSession(parts());
}

// ------------------------------------------------------ control connection

int UdpRawApiImp::JoinFeed(std::string* why) {
  return JoinSessionFeed(this, address_, why);
}

void UdpRawApiImp::OnControlField(const StructPacket::Iterator& it) {
  // Heartbeats and code tables are no business of a raw session; a server
  // that sends them anyway must not fill the log.
  LogUnrecognizedField(&unrecognized_log_, handle(), ClassName(),
                       static_cast<unsigned>(it.FieldId));
}

ZAVO_ERROR UdpRawApiImp::Rebuild(char market, uint64_t begin_seq, uint64_t end_seq,
                                 ZAVO_DataHandler handler) {
  // Any other market character goes out with scope 0: the server decides.
  if (market == '0') return ZAVO_ERR_INVALID;
  if (market == '1' && !decoder_.enabled(1)) return ZAVO_ERR_INVALID;
  if (market == '2' && !decoder_.enabled(2)) return ZAVO_ERR_INVALID;
  ReqRetransmitField field;
  field.BeginSeq = begin_seq;
  field.EndSeq = end_seq;
  field.Scope = market == '1' ? 1u : market == '2' ? 2u : 0u;
  StructPacket packet = StructPacket::ForRecord<ReqRetransmitField>();
  if (!packet.AddField(field)) return ZAVO_ERR_NETWORK;
  return control_.Rebuild(begin_seq, end_seq, handler, &packet);
}

void UdpRawApiImp::OnRebuildRaw(const RawDataPacket& packet, const RebuildState::Request& req) {
  HandlerSink sink(this, req.handler);
  decoder_.ProcessRebuildPacket(packet, req.begin, req.end, sink);
}

// ---------------------------------------------------------------- data path

void UdpRawApiImp::OnError(int code) {
  ZAVO_LOG("%p[%s] UDP Read Error: %s", handle(), ClassName(), get_uv_err_string(code).c_str());
}

void UdpRawApiImp::OnData(const char* data, size_t len) {
  consume_datagram(data, len);
}

size_t UdpRawApiImp::consume_datagram(const char* data, size_t len) {
  HandlerSink sink(this, data_handler_);
  return decoder_.ProcessDatagram(data, len, sink);
}

}  // namespace zavo
