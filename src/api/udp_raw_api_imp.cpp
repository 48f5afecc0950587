// Raw session: lifecycle, login on the control connection, and the
// reassembly of multicast fragments.
#include "api/udp_raw_api_imp.h"

#include <cctype>
#include <cstring>
#include <vector>

#include "api/raw_rebuild_session.h"
#include "net/ev_loop.h"
#include "net/tcp_io.h"
#include "proto/struct_packet.h"
#include "proto/sys_field.h"
#include "util/helpers.h"
#include "util/logger.h"

namespace zavo {

void UdpRawApiImp::SetLoginTimeoutForTesting(int timeout_ms) {
  SetLoginTimeoutMs(timeout_ms);
}

UdpRawApiImp::UdpRawApiImp() : loop_(nullptr), scratch_(kInitialBuffer) {
  loop_ = new EvLoop();
  ZAVO_LOG("%p[%s] Create", handle(), ClassName());
}

UdpRawApiImp::~UdpRawApiImp() {
  // The read thread calls into this object: it must be gone before the
  // members are. Release has normally done this already.
  UdpMulticaseReceiver2::Close();
  delete loop_;
  ZAVO_LOG("%p[%s] Release", handle(), ClassName());
}

// ---------------------------------------------------------------- lifecycle

bool UdpRawApiImp::parse_markets(const char* text) {
  if (text == nullptr || text[0] == '\0') return false;
  const std::vector<std::string> items = StringSplit(text, ';');
  if (items.empty()) return false;
  for (std::string item : items) {
    for (char& c : item) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (item == "SH") {
      sh_enabled_.store(true, std::memory_order_relaxed);
    } else if (item == "SZ") {
      sz_enabled_.store(true, std::memory_order_relaxed);
    } else {
      return false;
    }
  }
  return true;
}

ZAVO_ERROR UdpRawApiImp::Open(const ZAVO_RawOpenSetting& setting) {
  setting_ = setting;
  server_ip_ = SettingText(setting_.ServerIP);
  multicast_ip_ = SettingText(setting_.MulticastIP);
  local_ip_ = SettingText(setting_.LocalIP);
  if (setting_.CpuID >= 0) set_cpu_id(setting_.CpuID);

  RawDataRebuildSession* session = new RawDataRebuildSession(loop_, this);
  session->reconnect_interval_.store(0);
  session_.store(session);
  int rc = session->Connect(server_ip_.c_str(), setting_.ServerPort);
  if (rc != 0) {
    ZAVO_LOG("%p[%s] Open TCP Session Error. %s", handle(), ClassName(),
             get_uv_err_string(rc).c_str());
    ZAVO_LOG("%p[%s] Open TCP Session Error.", handle(), ClassName());
    return ZAVO_ERR_NETWORK;
  }
  const ZAVO_ERROR handlers = take_handlers(setting_.DataHandler, setting_.SystemHandler);
  if (handlers != ZAVO_SUCCESS) return handlers;
  if (!parse_markets(setting_.SubscribedMarkets)) {
    ZAVO_LOG("%p[%s] Open SubscribedMarkets Error.", handle(), ClassName());
    return ZAVO_ERR_INVALID;
  }
  // The text belongs to the caller; nothing may read it after Open.
  setting_.SubscribedMarkets = nullptr;
  ZAVO_LOG("%p[%s] Idle strategy: %s", handle(), ClassName(), IdleModeName(idle_mode()));

  loop_->Start();
  const ZAVO_ERROR result =
      WaitForLoginAnswer(&open_result_, handle(), ClassName(), server_ip_, setting_.ServerPort);
  if (result != ZAVO_SUCCESS) {
    session_.store(nullptr);
    TcpConnector::Release(session);
    return result;
  }
  session->reconnect_interval_.store(kReconnectIntervalMs);
  return ZAVO_SUCCESS;
}

void UdpRawApiImp::Close() {
  UdpMulticaseReceiver2::Close();
  loop_->Stop();
}

void UdpRawApiImp::Join() {
  loop_->Join();
}

void UdpRawApiImp::Release() {
  RawDataRebuildSession* session = session_.exchange(nullptr);
  if (session != nullptr) TcpConnector::Release(session);
  UdpMulticaseReceiver2::Release(this);
}

// ------------------------------------------------------ control connection

void UdpRawApiImp::OnTcpConnected() {
  ZAVO_LOG("%p[%s] TCP Session Connected", handle(), ClassName());
  CallBack_SystemHandler(MakeConnectResult(server_ip_, setting_.ServerPort));
  StructPacket login;
  RawDataRebuildSession* session = session_.load();
  if (session != nullptr &&
      BuildLoginRequest(SettingText(setting_.UserName), SettingText(setting_.Password), &login)) {
    session->Send(&login);
  }
}

void UdpRawApiImp::OnTcpDisconnected(int) {
  ZAVO_LOG("%p[%s] TCP Session Disconnected", handle(), ClassName());
  const ZAVO_DisconnectResult result = MakeDisconnectResult(server_ip_, setting_.ServerPort);
  DeliverSystemMessage(this, system_handler_, ConnectID(), ZAVO_MSG_DISCONNECT, sizeof(result),
                       &result);
  open_result_.Settle(ZAVO_ERR_NETWORK);
  // The server answers a request on the connection it came in on; a new
  // connection will never carry its replies or its end record. Keeping the
  // request would make every later Rebuild fail as busy.
  const RebuildState::Request req = rebuild_.Current();
  if (req.handler != nullptr) abandon_rebuild(req, "connection lost");
}

void UdpRawApiImp::OnTcpStructPacket(const StructPacket* packet) {
  for (StructPacket::Iterator it(*packet); it.Valid(); it.Next()) {
    switch (it.FieldId) {
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
      default:
        ZAVO_LOG("%p[%s] TCP Session On Unrecognized Field: %u", handle(), ClassName(),
                 static_cast<unsigned>(it.FieldId));
        break;
    }
  }
}

void UdpRawApiImp::OnTcpField(const RspUserLoginField& reply) {
  ZAVO_LoginResult result;
  const bool accepted = FillLoginResult(reply, server_ip_, setting_.ServerPort, false, &result);
  LogLoginResult(handle(), ClassName(), reply);
  DeliverSystemMessage(this, system_handler_, ConnectID(), ZAVO_MSG_LOGIN, sizeof(result), &result);
  if (!accepted) {
    open_result_.Settle(ZAVO_ERR_NETWORK);
    return;
  }
  AcceptLogin(&open_result_, &login_count_, handle(), ClassName(), [this] {
    return JoinMulticase(multicast_ip_.c_str(), setting_.MulticastPort, local_ip_.c_str());
  });
}

void UdpRawApiImp::OnTcpField(const RspRetransmitField& reply) {
  // Cleared before the handler runs, so the handler may ask for the next
  // range at once.
  const RebuildState::Request req = rebuild_.Clear();
  ZAVO_RebuildResult result;
  std::memset(&result, 0, sizeof(result));
  result.BeginSeq = req.begin;
  result.EndSeq = req.end;
  result.Status = reply.Scope;
  DeliverSystemMessage(this, system_handler_, ConnectID(), ZAVO_MSG_REBUILD_FINISH, sizeof(result),
                       &result);
}

// ---------------------------------------------------------------- data path

void UdpRawApiImp::OnError(int code) {
  ZAVO_LOG("%p[%s] UDP Read Error: %s", handle(), ClassName(), get_uv_err_string(code).c_str());
}

void UdpRawApiImp::OnData(const char* data, size_t len) {
  consume_datagram(data, len);
}

size_t UdpRawApiImp::consume_datagram(const char* data, size_t len) {
  if (data == nullptr || len < 2) return 0;
  size_t p = 0;
  while (p + 1 < len && LoadBigEndian<unsigned short>(data + p) != RawDataPacket::kMagic) ++p;
  if (p + 1 >= len) return len - 1;
  const size_t rest = len - p;
  if (rest < RawDataPacket::kHeaderSize) return p;
  scratch_.DecodeHeader(data + p, rest);
  const size_t total = RawDataPacket::kHeaderSize + scratch_.PayloadLength;
  if (rest < total) return p;
  const size_t consumed = p + total;
  if (!scratch_.Assign(data + p, total)) return consumed;  // out of memory: dropped

  switch (scratch_.ExchangeID) {
    case 1:
      if (sh_enabled_.load(std::memory_order_relaxed)) accept_fragment(sh_);
      break;
    case 2:
      if (sz_enabled_.load(std::memory_order_relaxed)) accept_fragment(sz_);
      break;
    default:
      ZAVO_LOG("%p[%s] RawDataPacket with Error ExchangeID: %u", handle(), ClassName(),
               static_cast<unsigned>(static_cast<unsigned char>(scratch_.ExchangeID)));
      break;
  }
  return consumed;
}

void UdpRawApiImp::reset_channel(Channel& ch) {
  ch.packet.Clear();
  ch.holding = false;
}

void UdpRawApiImp::accept_fragment(Channel& ch) {
  const RawDataPacket& in = scratch_;
  RawDataPacket& rec = ch.packet;
  const unsigned long s = in.Sequence;
  const unsigned f = in.FragmentNo;
  if (s < rec.Sequence) return;  // old or repeated message
  if (s == rec.Sequence) {
    // A fragment we already hold (the feed repeats datagrams), or any
    // fragment of a message already delivered: its bytes are in the
    // buffer or with the user already. Taking it as a break in the order
    // would throw away a good message, and a further copy would then be
    // delivered a second time as a fresh start.
    if (ch.holding && (f <= rec.FragmentNo || rec.MoreFragments == 0)) return;
    if (!ch.holding || f != static_cast<unsigned>(rec.FragmentNo) + 1) {
      reset_channel(ch);
      return;
    }
    if (!rec.AppendPayload(in.Payload(), in.PayloadLength)) {
      reset_channel(ch);
      return;
    }
  } else {
    reset_channel(ch);
    if (f != 0) return;  // the start of this message was lost
    if (!rec.AppendPayload(in.Payload(), in.PayloadLength)) {
      reset_channel(ch);
      return;
    }
  }
  rec.SendTime = in.SendTime;
  rec.ExchangeID = in.ExchangeID;
  rec.Sequence = in.Sequence;
  rec.FragmentNo = in.FragmentNo;
  rec.MoreFragments = in.MoreFragments;
  rec.PayloadLength = in.PayloadLength;
  ch.holding = true;
  if (in.MoreFragments == 0) deliver(ch);
}

void UdpRawApiImp::deliver(const Channel& ch) {
  ZAVO_DataHandler handler = data_handler_;
  if (handler == nullptr) return;
  const ByteBuffer& buf = ch.packet.Buffer();
  ZAVO_RawDataRef ref;
  std::memset(&ref, 0, sizeof(ref));
  ref.ExchangeID = ch.exchange;
  ref.Length = static_cast<uint32_t>(buf.ReadableBytes());
  ref.Data = buf.read_pos();
  ZAVO_MSG msg;
  std::memset(&msg, 0, sizeof(msg));
  msg.MsgType = ZAVO_MSG_RAW_DATA;
  msg.MsgSize = sizeof(ZAVO_RawDataRef);
  msg.MsgTime = ch.packet.SendTime;
  msg.ConnectID = ConnectID();
  msg.SeqNum = ch.packet.Sequence;
  msg.MsgData = &ref;
  handler(handle(), &msg);
}

}  // namespace zavo
