#include "api/control_channel.h"

#include <chrono>
#include <cstring>
#include <future>
#include <memory>

#include "api/api_imp.h"
#include "net/ev_loop.h"
#include "net/tcp_connector.h"
#include "proto/sys_field.h"
#include "util/logger.h"

namespace zavo {

namespace {
std::atomic<uint32_t> g_reconnect_interval_ms{kReconnectIntervalMs};
}  // namespace

uint32_t ControlChannel::ReconnectIntervalMs() {
  return g_reconnect_interval_ms.load(std::memory_order_relaxed);
}

void ControlChannel::SetReconnectIntervalMs(uint32_t interval_ms) {
  g_reconnect_interval_ms.store(interval_ms > 0 ? interval_ms : kReconnectIntervalMs);
}

ControlChannel::ControlChannel(ApiImp* api, ControlListener* listener, Options options)
    : api_(api), listener_(listener), options_(options), loop_(new EvLoop()) {}

ControlChannel::~ControlChannel() {
  // Normally stopped and joined by the owner already; this covers an
  // object destroyed otherwise.
  Stop();
  Join();
  ReleaseConnector();
  delete loop_;
}

int ControlChannel::Connect(TcpConnector* connector, const std::string& server_ip,
                            uint16_t server_port, const std::string& user,
                            const std::string& password) {
  connector_ = connector;
  server_ip_ = server_ip;
  server_port_ = server_port;
  user_ = user;
  password_ = password;
  // While opening, a failed attempt fails the open at once.
  connector_->SetReconnectInterval(0);
  const int rc = connector_->Connect(server_ip_.c_str(), server_port_);
  if (rc != 0) {
    open_result_.Fail(ZAVO_OPEN_STEP_CONNECT, SystemErrorOf(rc), connect_failure(rc));
    // No loop thread yet: the caller's thread is the only one.
    report_open_failure();
  }
  return rc;
}

ZAVO_ERROR ControlChannel::Start() {
  loop_->Start();
  const ZAVO_ERROR result =
      WaitForLoginAnswer(&open_result_, api_, api_->ClassName(), server_ip_, server_port_);
  // Normally set already by the accepted login; a failed open is not
  // retried.
  connector_->SetReconnectInterval(result == ZAVO_SUCCESS ? ReconnectIntervalMs() : 0);
  if (result != ZAVO_SUCCESS) {
    // The loop thread goes first, so that the explanation is the last
    // system message and no other handler call runs beside it.
    Stop();
    Join();
    report_open_failure();
  }
  return result;
}

std::string ControlChannel::connect_failure(int status) const {
  return "connecting to " + server_ip_ + ":" + std::to_string(server_port_) +
         " failed: " + StatusText(status);
}

void ControlChannel::report_open_failure() {
  const ZAVO_OpenFailure failure = open_result_.Failure();
  if (failure.Step == 0) return;
  ZAVO_LOG("%p[%s] Open failed: %s", static_cast<const void*>(api_), api_->ClassName(),
           failure.Reason);
  api_->deliver_system(ZAVO_MSG_OPEN_FAILED, sizeof(failure), &failure);
}

void ControlChannel::Stop() {
  stopping_.store(true, std::memory_order_release);
  loop_->Stop();
}

void ControlChannel::Join() {
  loop_->Join();
}

void ControlChannel::ReleaseConnector() {
  if (connector_ == nullptr) return;
  // With the loop thread gone this destroys it on the calling thread.
  TcpConnector::Release(connector_);
  connector_ = nullptr;
}

void ControlChannel::log_line(const char* text) const {
  ZAVO_LOG("%p[%s] %s", static_cast<const void*>(api_), api_->ClassName(), text);
}

void ControlChannel::log_stray_reply() {
  LogThrottled(&stray_reply_log_, "%p[%s] OnRebuildRspPacket Error: Handler NULL",
               static_cast<const void*>(api_), api_->ClassName());
}

bool ControlChannel::send(StructPacket* packet) {
  if (connector_ == nullptr || packet == nullptr || !packet->Serialize()) return false;
  return connector_->Write(packet->Bytes());
}

// ------------------------------------------------------------ connection

void ControlChannel::OnConnected() {
  log_line("TCP Session Connected");
  connected_ = true;
  api_->CallBack_SystemHandler(MakeConnectResult(server_ip_, server_port_));
  StructPacket login;
  if (BuildLoginRequest(user_, password_, &login)) send(&login);
}

void ControlChannel::OnDisconnected() {
  const int status = connector_ != nullptr ? connector_->last_error() : 0;
  if (status != 0) {
    ZAVO_LOG("%p[%s] TCP Session Disconnected: %s", static_cast<const void*>(api_),
             api_->ClassName(), StatusText(status).c_str());
  } else {
    log_line("TCP Session Disconnected");
  }
  const bool was_connected = connected_;
  if (was_connected) {
    connections_lost_.store(connections_lost_.load(std::memory_order_relaxed) + 1,
                            std::memory_order_relaxed);
  }
  connected_ = false;
  logged_in_ = false;
  const ZAVO_DisconnectResult result = MakeDisconnectResult(server_ip_, server_port_);
  api_->deliver_system(ZAVO_MSG_DISCONNECT, sizeof(result), &result);
  if (!was_connected) {
    open_result_.Fail(ZAVO_OPEN_STEP_CONNECT, SystemErrorOf(status), connect_failure(status));
  } else {
    open_result_.Fail(ZAVO_OPEN_STEP_CONNECT, SystemErrorOf(status),
                      "the connection to " + server_ip_ + ":" + std::to_string(server_port_) +
                          " was lost before the login was answered: " +
                          (status != 0 ? StatusText(status) : std::string("closed")));
  }
  // The server answers a request only on the connection that carried it:
  // its end record can no longer come, nor any it still owed.
  owed_end_records_ = 0;
  abandon("connection lost", false);
}

void ControlChannel::OnPacket(const StructPacket* packet) {
  if (options_.struct_mode && packet->PacketType == StructPacket::kRebuildPacketType) {
    // Read once: a request ended in the middle of this packet does not
    // split its delivery.
    const RebuildState::Request req = rebuild_.Current();
    if (req.handler == nullptr) {
      log_stray_reply();
      return;
    }
    listener_->OnRebuildPacket(*packet, req);
    return;
  }
  for (StructPacket::Iterator it(*packet); it.Valid(); it.Next()) {
    if (it.FieldId == RspUserLoginField::kFieldId) {
      RspUserLoginField reply;
      if (DecodeControlField(it, &reply, api_, api_->ClassName())) OnLoginReply(reply);
    } else if (it.FieldId == RspRetransmitField::kFieldId) {
      RspRetransmitField reply;
      if (DecodeControlField(it, &reply, api_, api_->ClassName())) OnRebuildEnd(reply);
    } else {
      listener_->OnControlField(it);
    }
  }
}

void ControlChannel::OnRawPacket(const RawDataPacket* packet) {
  const RebuildState::Request req = rebuild_.Current();
  if (req.handler == nullptr) {
    log_stray_reply();
    return;
  }
  listener_->OnRebuildRaw(*packet, req);
}

void ControlChannel::OnLoginReply(const RspUserLoginField& reply) {
  ZAVO_LoginResult result;
  const bool accepted =
      FillLoginResult(reply, server_ip_, server_port_, /*with_items=*/true, &result);
  LogLoginResult(api_, api_->ClassName(), reply);
  api_->deliver_system(ZAVO_MSG_LOGIN, sizeof(result), &result);
  if (!accepted) {
    open_result_.Fail(ZAVO_OPEN_STEP_LOGIN, 0,
                      "login refused by " + server_ip_ + ":" + std::to_string(server_port_) + ": " +
                          std::to_string(reply.ErrorID) + " " + result.ErrorMsg);
    return;
  }
  // The open session's reconnection is in force before the open result
  // can be settled: a drop right behind this answer, handled on this
  // thread before the opening thread even wakes up, must find it. Should
  // the open fail after all, Start takes it back.
  if (connector_) connector_->SetReconnectInterval(ReconnectIntervalMs());
  const bool first = AcceptLogin(&open_result_, &login_count_, api_, api_->ClassName(),
                                 [this](std::string* why) { return listener_->JoinFeed(why); });
  logged_in_ = true;
  if (!first || !options_.struct_mode) return;
  StructPacket echo = StructPacket::ForRecord<RspUserLoginField>();
  if (echo.AddField(reply)) send(&echo);
}

// ------------------------------------------------------------ rebuild

void ControlChannel::OnRebuildEnd(const RspRetransmitField& reply) {
  if (owed_end_records_ > 0) {
    // The server answers requests in order: this ends the one the session
    // gave up, which already had its one kind-5 message.
    --owed_end_records_;
    ZAVO_LOG("%p[%s] Rebuild [%lu, %lu) end record ignored (status %u): already abandoned",
             static_cast<const void*>(api_), api_->ClassName(),
             static_cast<unsigned long>(last_abandoned_.begin),
             static_cast<unsigned long>(last_abandoned_.end), static_cast<unsigned>(reply.Scope));
    return;
  }
  // Ended before the handler runs, so the handler may ask for the next
  // range at once.
  const RebuildState::Request req = rebuild_.Clear();
  if (req.handler != nullptr && listener_->OnRebuildEnded(req, reply.Scope)) return;
  ZAVO_RebuildResult result;
  std::memset(&result, 0, sizeof(result));
  result.BeginSeq = req.begin;
  result.EndSeq = req.end;
  result.Status = reply.Scope;
  api_->deliver_system(ZAVO_MSG_REBUILD_FINISH, sizeof(result), &result);
}

void ControlChannel::abandon(const char* why, bool end_may_follow) {
  const RebuildState::Request req = rebuild_.Clear();
  if (req.handler == nullptr) return;
  if (end_may_follow && logged_in_) {
    ++owed_end_records_;
    last_abandoned_ = req;
  }
  ZAVO_LOG("%p[%s] Rebuild [%lu, %lu) abandoned: %s", static_cast<const void*>(api_),
           api_->ClassName(), static_cast<unsigned long>(req.begin),
           static_cast<unsigned long>(req.end), why);
  if (listener_->OnRebuildEnded(req, ZAVO_REBUILD_ABANDONED)) return;
  ZAVO_RebuildResult result;
  std::memset(&result, 0, sizeof(result));
  result.BeginSeq = req.begin;
  result.EndSeq = req.end;
  result.Status = ZAVO_REBUILD_ABANDONED;
  api_->deliver_system(ZAVO_MSG_REBUILD_FINISH, sizeof(result), &result);
}

void ControlChannel::AbandonRebuild(const char* why) {
  if (loop_->IsInsideLoop()) {
    abandon(why, true);
    return;
  }
  // Nothing to do once the loop has ended: the session is closing.
  (void)loop_->Post([this, why] { abandon(why, true); });
}

ZAVO_ERROR ControlChannel::start_rebuild(uint64_t begin, uint64_t end, ZAVO_DataHandler handler,
                                         const ByteBuffer& bytes) {
  if (stopping_.load(std::memory_order_acquire)) return ZAVO_ERR_NETWORK;
  const ZAVO_ERROR rc = rebuild_.TryStart(begin, end, handler);
  if (rc != ZAVO_SUCCESS) return rc;
  if (!logged_in_ || connector_ == nullptr ||
      !connector_->Write(Slice(bytes.read_pos(), bytes.ReadableBytes()))) {
    rebuild_.Clear();
    log_line("Rebuild Error: not logged in, request not sent");
    return ZAVO_ERR_NETWORK;
  }
  return ZAVO_SUCCESS;
}

ZAVO_ERROR ControlChannel::Rebuild(uint64_t begin, uint64_t end, ZAVO_DataHandler handler,
                                   StructPacket* packet) {
  if (stopping_.load(std::memory_order_acquire) || api_->lifecycle().IsClosing()) {
    return ZAVO_ERR_NETWORK;
  }
  if (!packet->Serialize()) return ZAVO_ERR_NETWORK;
  const Slice b = packet->Bytes();
  auto bytes = std::make_shared<ByteBuffer>(b.data, b.size);
  if (loop_->IsInsideLoop()) return start_rebuild(begin, end, handler, *bytes);

  // The loop thread takes the request (stage 0 -> 1) unless the caller
  // gave up waiting first (0 -> 2); either way exactly one side decides.
  struct Pending {
    std::atomic<int> stage{0};
    std::promise<ZAVO_ERROR> result;
  };
  auto pending = std::make_shared<Pending>();
  std::future<ZAVO_ERROR> answer = pending->result.get_future();
  const bool posted = loop_->Post([this, pending, bytes, begin, end, handler] {
    int expected = 0;
    if (!pending->stage.compare_exchange_strong(expected, 1)) return;
    pending->result.set_value(start_rebuild(begin, end, handler, *bytes));
  });
  if (!posted) return ZAVO_ERR_NETWORK;
  if (answer.wait_for(std::chrono::milliseconds(kRequestWaitMs)) != std::future_status::ready) {
    int expected = 0;
    if (pending->stage.compare_exchange_strong(expected, 2)) return ZAVO_ERR_NETWORK;
  }
  return answer.get();
}

}  // namespace zavo
