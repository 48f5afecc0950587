#include "raw_test_support.h"

#include <sys/socket.h>

#include <cstdio>

namespace zavo {
namespace rawtest {

Recorder& rec() {
  static Recorder r;
  return r;
}
void on_data(void* h, const ZAVO_MSG* m) {
  rec().AddRaw(false, h, m);
}
void on_system(void*, const ZAVO_MSG* m) {
  rec().AddSys(m);
}
void on_rebuild(void* h, const ZAVO_MSG* m) {
  rec().AddRaw(true, h, m);
}

// ------------------------------------------------------------ log catcher

LogCatcher& LogCatcher::Get() {
  static LogCatcher* catcher = [] {
    LogCatcher* c = new LogCatcher();
    Logger::SetInstance(c);
    return c;
  }();
  return *catcher;
}

void LogCatcher::Clear() {
  std::lock_guard<std::mutex> l(mu_);
  lines_.clear();
}

void LogCatcher::make_log_entry(Level, const char* format, va_list args) {
  char buf[1024];
  vsnprintf(buf, sizeof(buf), format, args);
  {
    std::lock_guard<std::mutex> l(mu_);
    lines_.emplace_back(buf);
  }
  cv_.notify_all();
}

size_t LogCatcher::Count(const std::string& text) {
  std::lock_guard<std::mutex> l(mu_);
  size_t n = 0;
  for (const std::string& s : lines_) n += s.find(text) != std::string::npos;
  return n;
}

bool LogCatcher::Contains(const std::string& text) {
  return Count(text) > 0;
}

bool LogCatcher::WaitFor(const std::string& text, int ms) {
  std::unique_lock<std::mutex> l(mu_);
  return cv_.wait_for(l, std::chrono::milliseconds(ms), [&] {
    for (const std::string& s : lines_) {
      if (s.find(text) != std::string::npos) return true;
    }
    return false;
  });
}

// ------------------------------------------------------------ packets

std::string raw_packet(uint8_t exchange, uint64_t seq, uint16_t frag, uint8_t more,
                       const std::string& payload, uint32_t send_time) {
  RawDataPacket p;
  p.SendTime = send_time;
  p.ExchangeID = static_cast<CExchangeIDType>(exchange);
  p.Sequence = seq;
  p.FragmentNo = frag;
  p.MoreFragments = more;
  EXPECT_TRUE(p.Build(payload.data(), payload.size()));
  const Slice s = p.Bytes();
  return std::string(s.data, s.size);
}

std::string payload_of(size_t len, char seed) {
  std::string s(len, '\0');
  for (size_t i = 0; i < len; ++i) s[i] = static_cast<char>(seed + static_cast<char>(i * 7));
  return s;
}

template <class T>
std::string one_field_packet(const T& field) {
  StructPacket p = StructPacket::ForRecord<T>();
  EXPECT_TRUE(p.AddField(field));
  EXPECT_TRUE(p.Serialize());
  const Slice s = p.Bytes();
  return std::string(s.data, s.size);
}

std::string login_reply(int32_t error_id, const std::string& text) {
  RspUserLoginField r;
  r.ReplyValue = 0;
  r.ErrorID = error_id;
  r.ErrorMsg.Set(text.c_str());
  return one_field_packet(r);
}

std::string end_record(uint32_t scope) {
  RspRetransmitField r;
  r.BeginSeq = 0;
  r.EndSeq = 0;
  r.Scope = scope;
  return one_field_packet(r);
}

std::string heartbeat_packet(uint64_t value) {
  HeartBeatField h;
  h.ServerTime = value;
  return one_field_packet(h);
}

std::string security_info_packet(const char* code, uint8_t exchange) {
  SecurityBaseInfoField f;
  f.Code.Set(code);
  f.ExchangeID = exchange;
  f.Value = 1;
  f.UpdateNo = 1;
  f.Text.Set("stock");
  return one_field_packet(f);
}

// ------------------------------------------------------------ server

namespace {

class ServerSession : public TcpSession {
 public:
  explicit ServerSession(FakeServer* srv) : srv_(srv) {}
  TcpIO::DataResult OnData(const char* data, unsigned long len) override {
    const StructPacket::ParseResult r = packet_.ParseFrom(data, len);
    if (r.complete) srv_->on_packet(packet_, this);
    return TcpIO::DataResult(r.consumed, r.needed);
  }

 private:
  FakeServer* srv_;
  StructPacket packet_;
};

}  // namespace

class FakeServer::Listener : public TcpListener, public TcpSessionFactory {
 public:
  Listener(EvLoop* loop, FakeServer* srv) : TcpListener(loop, this), srv_(srv) {}
  TcpSession* New() override { return new ServerSession(srv_); }
  void OnConnected(TcpSession*) override { srv_->on_connected(); }
  void OnDisconnected(TcpSession*) override {}

 private:
  FakeServer* srv_;
};

FakeServer::FakeServer() = default;

FakeServer::~FakeServer() {
  if (listener_ != nullptr) TcpListener::Release(listener_);
  loop_.Stop();
  loop_.Join();
}

int FakeServer::Start() {
  listener_ = new Listener(&loop_, this);
  int rc = listener_->Listen("127.0.0.1", 0);
  if (rc != 0) return rc;
  loop_.Start();
  return listener_->BoundPort();
}

void FakeServer::run(std::function<void()> fn) {
  std::promise<void> done;
  loop_.CallInLoop([&] {
    fn();
    done.set_value();
  });
  done.get_future().wait();
}

void FakeServer::SetAnswer(LoginAnswer a) {
  std::lock_guard<std::mutex> l(mu_);
  answer_ = a;
}

void FakeServer::Send(const std::string& bytes) {
  run([&] { listener_->BroadCast(Slice(bytes.data(), bytes.size())); });
}

void FakeServer::Drop() {
  run([&] {
    std::vector<TcpSession*> all(listener_->sessions().begin(), listener_->sessions().end());
    for (TcpSession* s : all) listener_->CloseSession(s, false);
  });
}

int FakeServer::logins() {
  std::lock_guard<std::mutex> l(mu_);
  return logins_;
}

int FakeServer::connections() {
  std::lock_guard<std::mutex> l(mu_);
  return connections_;
}

bool FakeServer::WaitConnections(int n, int ms) {
  std::unique_lock<std::mutex> l(mu_);
  return cv_.wait_for(l, std::chrono::milliseconds(ms), [&] { return connections_ >= n; });
}

std::vector<RetransmitRequest> FakeServer::requests() {
  std::lock_guard<std::mutex> l(mu_);
  return requests_;
}

bool FakeServer::WaitRequests(size_t n, int ms) {
  std::unique_lock<std::mutex> l(mu_);
  return cv_.wait_for(l, std::chrono::milliseconds(ms), [&] { return requests_.size() >= n; });
}

void FakeServer::on_connected() {
  {
    std::lock_guard<std::mutex> l(mu_);
    ++connections_;
  }
  cv_.notify_all();
}

void FakeServer::on_packet(const StructPacket& p, TcpSession* s) {
  for (StructPacket::Iterator it(p); it.Valid(); it.Next()) {
    if (it.FieldId == ReqUserLoginField::kFieldId) {
      LoginAnswer a;
      {
        std::lock_guard<std::mutex> l(mu_);
        ++logins_;
        a = answer_;
      }
      cv_.notify_all();
      std::string reply;
      const bool drop = a == LoginAnswer::kAcceptThenClose || a == LoginAnswer::kAcceptThenReset ||
                        a == LoginAnswer::kAcceptInfoThenClose;
      if (a == LoginAnswer::kAccept || drop) reply = login_reply(0, "SH;SZ");
      if (a == LoginAnswer::kAcceptInfoThenClose) reply += security_info_packet("600000", 1);
      if (a == LoginAnswer::kRefuse) reply = login_reply(1003, "user or password error");
      if (a == LoginAnswer::kRefuseHighBits) reply = login_reply(0x10000, "refused");
      if (!reply.empty()) s->Write(Slice(reply.data(), reply.size()));
      if (a == LoginAnswer::kAcceptThenReset) {
        // No lingering: the close sends RST instead of FIN.
        const linger l{1, 0};
        (void)::setsockopt(s->fd(), SOL_SOCKET, SO_LINGER, &l, sizeof(l));
      }
      // Not from inside the session's own read callback: the close
      // destroys it.
      if (drop) {
        (void)loop_.Post([this, s] { listener_->CloseSession(s, false); });
      }
    } else if (it.FieldId == ReqRetransmitField::kFieldId) {
      ReqRetransmitField r;
      if (!it.Decode(r)) continue;
      RetransmitRequest q;
      q.begin = r.BeginSeq;
      q.end = r.EndSeq;
      q.scope = r.Scope;
      q.packet_type = p.PacketType;
      {
        std::lock_guard<std::mutex> l(mu_);
        requests_.push_back(q);
      }
      cv_.notify_all();
    }
  }
}

ZAVO_RawOpenSetting raw_settings(int port, const char* markets, uint16_t mcast_port,
                                 const char* group) {
  ZAVO_RawOpenSetting s;
  std::memset(&s, 0, sizeof(s));
  s.ConnectID = 77;
  std::snprintf(s.MulticastIP, sizeof(s.MulticastIP), "%s", group);
  s.MulticastPort = mcast_port;
  std::snprintf(s.LocalIP, sizeof(s.LocalIP), "127.0.0.1");
  std::snprintf(s.ServerIP, sizeof(s.ServerIP), "127.0.0.1");
  s.ServerPort = static_cast<uint16_t>(port);
  std::snprintf(s.UserName, sizeof(s.UserName), "tester");
  std::snprintf(s.Password, sizeof(s.Password), "secret");
  s.DataHandler = &on_data;
  s.SystemHandler = &on_system;
  s.SubscribedMarkets = markets;
  s.CpuID = -1;
  return s;
}

ZAVO_OpenSetting struct_settings_like(const ZAVO_RawOpenSetting& r) {
  ZAVO_OpenSetting s;
  std::memset(&s, 0, sizeof(s));
  s.ConnectID = r.ConnectID;
  std::memcpy(s.MulticastIP, r.MulticastIP, sizeof(s.MulticastIP));
  s.MulticastPort = r.MulticastPort;
  std::memcpy(s.LocalIP, r.LocalIP, sizeof(s.LocalIP));
  std::memcpy(s.ServerIP, r.ServerIP, sizeof(s.ServerIP));
  s.ServerPort = r.ServerPort;
  std::memcpy(s.UserName, r.UserName, sizeof(s.UserName));
  std::memcpy(s.Password, r.Password, sizeof(s.Password));
  s.DataHandler = r.DataHandler;
  s.SystemHandler = r.SystemHandler;
  s.CpuID = -1;
  return s;
}

}  // namespace rawtest
}  // namespace zavo
