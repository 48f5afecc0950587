// Struct session: the control connection (login, base information,
// heartbeats, retransmission) and rebuild requests. Everything here but
// Rebuild runs on the event loop thread.
#include <cstring>

#include "api/convert.h"
#include "api/udp_api_imp.h"
#include "net/timestamp.h"
#include "util/logger.h"

namespace zavo {

bool UdpStructApiImp::send_packet(StructPacket* packet) {
  KvelTcpConnector* c = connector_;
  return c != nullptr && c->Send(packet);
}

void UdpStructApiImp::abandon_rebuild(const char* why) {
  const RebuildState::Request req = rebuild_.Clear();
  if (req.handler != nullptr) {
    ZAVO_LOG("%p[%s] Rebuild [%lu, %lu) abandoned: %s", handle(), ClassName(),
             static_cast<unsigned long>(req.begin), static_cast<unsigned long>(req.end), why);
  }
}

void UdpStructApiImp::OnConnected(KvelSession*) {
  ZAVO_LOG("%p[%s] TCP Session Connected", handle(), ClassName());
  // A request made while the connection was down never reached the server.
  abandon_rebuild("sent while disconnected");
  CallBack_SystemHandler(MakeConnectResult(server_ip_, setting_.ServerPort));
  StructPacket login;
  if (BuildLoginRequest(SettingText(setting_.UserName), SettingText(setting_.Password), &login)) {
    send_packet(&login);
  }
}

void UdpStructApiImp::OnDisconnected(KvelSession*) {
  ZAVO_LOG("%p[%s] TCP Session Disconnected", handle(), ClassName());
  const ZAVO_DisconnectResult result = MakeDisconnectResult(server_ip_, setting_.ServerPort);
  DeliverSystemMessage(this, system_handler_, ConnectID(), ZAVO_MSG_DISCONNECT, sizeof(result),
                       &result);
  open_result_.Settle(ZAVO_ERR_NETWORK);
  // The server answers a request only on the connection that carried it:
  // without this the session would stay busy until the next day.
  abandon_rebuild("connection lost");
}

void UdpStructApiImp::OnPacket(KvelSession*, const StructPacket* packet) {
  if (packet->PacketType == StructPacket::kRebuildPacketType) {
    OnRebuildRspPacket(packet);
    return;
  }
  for (StructPacket::Iterator it(*packet); it.Valid(); it.Next()) {
    switch (it.FieldId) {
      case HeartBeatField::kFieldId:
        OnHeartbeat(it);
        break;
      case RspRetransmitField::kFieldId: {
        RspRetransmitField reply;
        if (DecodeControlField(it, &reply, handle(), ClassName())) OnTcpField(reply);
        break;
      }
      case RspUserLoginField::kFieldId: {
        RspUserLoginField reply;
        if (DecodeControlField(it, &reply, handle(), ClassName())) OnTcpField(reply);
        break;
      }
      case SecurityBaseInfoField::kFieldId: {
        SecurityBaseInfoField field;
        if (DecodeControlField(it, &field, handle(), ClassName()))
          code_tables_.OnSecurityBaseInfo(field);
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
        ZAVO_LOG("%p[%s] TCP Session On Unrecognized Field: %u", handle(), ClassName(),
                 static_cast<unsigned>(it.FieldId));
        break;
    }
  }
}

void UdpStructApiImp::on_base_info_finish() {
  ZAVO_BaseInfoFinish finish;
  std::memset(&finish, 0, sizeof(finish));
  code_tables_.FillBaseInfoFinish(&finish);
  DeliverSystemMessage(this, system_handler_, ConnectID(), ZAVO_MSG_BASEINFO_FINISH, sizeof(finish),
                       &finish);
}

void UdpStructApiImp::OnTcpField(const RspUserLoginField& reply) {
  ZAVO_LoginResult result;
  const bool accepted = FillLoginResult(reply, server_ip_, setting_.ServerPort, true, &result);
  LogLoginResult(handle(), ClassName(), reply);
  DeliverSystemMessage(this, system_handler_, ConnectID(), ZAVO_MSG_LOGIN, sizeof(result), &result);
  if (!accepted) {
    open_result_.Settle(ZAVO_ERR_NETWORK);
    return;
  }
  const bool first = AcceptLogin(&open_result_, &login_count_, handle(), ClassName(), [this] {
    return JoinMulticase(multicast_ip_.c_str(), setting_.MulticastPort, local_ip_.c_str());
  });
  if (!first) return;
  // Tell the server, once per session, that its answer arrived.
  StructPacket echo = StructPacket::ForRecord<RspUserLoginField>();
  if (echo.AddField(reply)) send_packet(&echo);
}

void UdpStructApiImp::OnTcpField(const RspRetransmitField& reply) {
  RebuildState::Request req = rebuild_.Clear();
  ZAVO_RebuildResult result;
  std::memset(&result, 0, sizeof(result));
  result.BeginSeq = req.begin;
  result.EndSeq = req.end;
  result.Status = reply.Scope;
  DeliverSystemMessage(this, system_handler_, ConnectID(), ZAVO_MSG_REBUILD_FINISH, sizeof(result),
                       &result);
}

ZAVO_ERROR UdpStructApiImp::Rebuild(uint64_t begin_seq, uint64_t end_seq,
                                    ZAVO_DataHandler handler) {
  ZAVO_ERROR rc = rebuild_.TryStart(begin_seq, end_seq, handler);
  if (rc != ZAVO_SUCCESS) return rc;
  ReqRetransmitField req;
  req.BeginSeq = begin_seq;
  req.EndSeq = end_seq;
  req.Scope = Timestamp::Now().Date();
  StructPacket packet = StructPacket::ForRecord<ReqRetransmitField>();
  if (!packet.AddField(req)) {
    rebuild_.Clear();
    return ZAVO_ERR_NETWORK;
  }
  packet.PacketType = StructPacket::kRebuildPacketType;
  if (!send_packet(&packet)) {
    rebuild_.Clear();
    return ZAVO_ERR_NETWORK;
  }
  return ZAVO_SUCCESS;
}

void UdpStructApiImp::OnRebuildRspPacket(const StructPacket* packet) {
  // Read once: a clear that comes in the middle of this packet does not
  // split its delivery.
  const RebuildState::Request req = rebuild_.Current();
  if (req.handler == nullptr) {
    ZAVO_LOG("%p[%s] OnRebuildRspPacket Error: Handler NULL", handle(), ClassName());
    return;
  }
  const uint32_t t = static_cast<uint32_t>(packet->PacketTime % 1000000000UL);
  for (StructPacket::Iterator it(*packet); it.Valid(); it.Next()) {
    if (it.FieldId >= SecuritySnapShotField::kFieldId &&
        it.FieldId <= SH_OrderDetailField::kFieldId) {
      handle_market_field(it, replay_, req.handler, t, false,
                          "%p[%s] TCP Session GetField Error: %s");
    }
  }
}

}  // namespace zavo
