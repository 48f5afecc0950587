// Struct session: what the control connection carries besides the login
// (heartbeats, base information, retransmission replies) and the rebuild
// request. Everything here but Rebuild runs on the event loop thread.
#include <cstring>
#include <ctime>

#include "api/udp_api_imp.h"
#include "util/logger.h"
#include "util/timestamp.h"

namespace zavo {

void UdpStructApiImp::OnControlField(const StructPacket::Iterator& it) {
  switch (it.FieldId) {
    case HeartBeatField::kFieldId:
      OnHeartbeat(it);
      break;
    case SecurityBaseInfoField::kFieldId: {
      SecurityBaseInfoField field;
      if (DecodeControlField(it, &field, handle(), ClassName())) {
        code_tables_.OnSecurityBaseInfo(field);
      }
      break;
    }
    case OptionBaseInfoField::kFieldId: {
      OptionBaseInfoField field;
      if (DecodeControlField(it, &field, handle(), ClassName()))
        code_tables_.OnOptionBaseInfo(field);
      break;
    }
    case BaseInfoSendFinish::kFieldId:
      on_base_info_finish();
      break;
    default:
      LogUnrecognizedField(&unrecognized_log_, handle(), ClassName(),
                           static_cast<unsigned>(it.FieldId));
      break;
  }
}

void UdpStructApiImp::on_base_info_finish() {
  ZAVO_BaseInfoFinish finish;
  std::memset(&finish, 0, sizeof(finish));
  code_tables_.FillBaseInfoFinish(&finish);
  deliver_system(ZAVO_MSG_BASEINFO_FINISH, sizeof(finish), &finish);
}

ZAVO_ERROR UdpStructApiImp::Rebuild(uint64_t begin_seq, uint64_t end_seq,
                                    ZAVO_DataHandler handler) {
  ReqRetransmitField req;
  req.BeginSeq = begin_seq;
  req.EndSeq = end_seq;
  req.Scope = Timestamp::Now().Date();
  StructPacket packet = StructPacket::ForRecord<ReqRetransmitField>();
  if (!packet.AddField(req)) return ZAVO_ERR_NETWORK;
  packet.PacketType = StructPacket::kRebuildPacketType;
  return control_.Rebuild(begin_seq, end_seq, handler, &packet);
}

void UdpStructApiImp::OnRebuildPacket(const StructPacket& packet,
                                      const RebuildState::Request& req) {
  // As on the feed: one clock reading and one handler mark per packet.
  timespec taken_at;
  clock_gettime(CLOCK_REALTIME, &taken_at);
  const PacketContext ctx = packet_context(req.handler, packet.PacketTime, taken_at, false);
  HandlerMark mark(this);
  for (StructPacket::Iterator it(packet); it.Valid(); it.Next()) handle_field(it, replay_, ctx);
}

}  // namespace zavo
