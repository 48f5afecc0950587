#pragma once
// Helpers of the raw-mode tests: a recorder behind the C callbacks, a log
// catcher, packet builders and a small control-connection server whose
// stream the test writes byte by byte (struct and raw packets mixed).
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "net/ev_loop.h"
#include "net/tcp_listener.h"
#include "proto/raw_packet.h"
#include "proto/struct_packet.h"
#include "proto/sys_field.h"
#include "util/logger.h"
#include "zavo_api.h"

namespace zavo {
namespace rawtest {

constexpr int kWaitMs = 5000;

// ------------------------------------------------------------ recorder

struct RawMsg {
  void* handle = nullptr;
  uint32_t type = 0;
  uint32_t size = 0;
  uint32_t time = 0;
  int32_t connect_id = 0;
  uint64_t seq = 0;
  char exchange = 0;
  std::string bytes;
};

struct SysMsg {
  uint32_t kind = 0;
  ZAVO_LoginResult login{};
  ZAVO_RebuildResult rebuild{};
  ZAVO_OpenFailure open_failure{};
};

// What the callbacks saw. One session at a time reports here.
class Recorder {
 public:
  void Reset() {
    std::lock_guard<std::mutex> l(mu_);
    data_.clear();
    replay_.clear();
    sys_.clear();
  }
  void AddRaw(bool replay, void* h, const ZAVO_MSG* m) {
    RawMsg r;
    r.handle = h;
    r.type = m->MsgType;
    r.size = m->MsgSize;
    r.time = m->MsgTime;
    r.connect_id = m->ConnectID;
    r.seq = m->SeqNum;
    if (m->MsgType == ZAVO_MSG_RAW_DATA) {
      const ZAVO_RawDataRef* ref = static_cast<const ZAVO_RawDataRef*>(m->MsgData);
      r.exchange = ref->ExchangeID;
      r.bytes.assign(static_cast<const char*>(ref->Data), ref->Length);
    }
    {
      std::lock_guard<std::mutex> l(mu_);
      (replay ? replay_ : data_).push_back(r);
    }
    cv_.notify_all();
  }
  void AddSys(const ZAVO_MSG* m) {
    SysMsg s;
    s.kind = m->MsgType;
    if (m->MsgType == ZAVO_MSG_LOGIN) std::memcpy(&s.login, m->MsgData, sizeof(s.login));
    if (m->MsgType == ZAVO_MSG_REBUILD_FINISH) {
      std::memcpy(&s.rebuild, m->MsgData, sizeof(s.rebuild));
    }
    if (m->MsgType == ZAVO_MSG_OPEN_FAILED && m->MsgSize >= sizeof(s.open_failure)) {
      std::memcpy(&s.open_failure, m->MsgData, sizeof(s.open_failure));
    }
    {
      std::lock_guard<std::mutex> l(mu_);
      sys_.push_back(s);
    }
    cv_.notify_all();
  }
  bool WaitFor(const std::function<bool()>& pred, int ms = kWaitMs) {
    std::unique_lock<std::mutex> l(mu_);
    return cv_.wait_for(l, std::chrono::milliseconds(ms), pred);
  }
  bool WaitData(size_t n, int ms = kWaitMs) {
    return WaitFor([&] { return data_.size() >= n; }, ms);
  }
  bool WaitReplay(size_t n, int ms = kWaitMs) {
    return WaitFor([&] { return replay_.size() >= n; }, ms);
  }
  bool WaitSysKind(uint32_t kind, size_t count, int ms = kWaitMs) {
    return WaitFor(
        [&] {
          size_t c = 0;
          for (const SysMsg& s : sys_) c += s.kind == kind;
          return c >= count;
        },
        ms);
  }
  std::vector<RawMsg> data() {
    std::lock_guard<std::mutex> l(mu_);
    return data_;
  }
  std::vector<RawMsg> replay() {
    std::lock_guard<std::mutex> l(mu_);
    return replay_;
  }
  std::vector<SysMsg> sys() {
    std::lock_guard<std::mutex> l(mu_);
    return sys_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<RawMsg> data_;
  std::vector<RawMsg> replay_;
  std::vector<SysMsg> sys_;
};

Recorder& rec();
void on_data(void* h, const ZAVO_MSG* m);
void on_system(void* h, const ZAVO_MSG* m);
void on_rebuild(void* h, const ZAVO_MSG* m);

// ------------------------------------------------------------ log catcher

// Keeps every line the library logs. Installed once as the process-wide
// logger and never destroyed: library threads may log at any time.
class LogCatcher : public Logger {
 public:
  static LogCatcher& Get();
  void Clear();
  bool Contains(const std::string& text);
  size_t Count(const std::string& text);
  bool WaitFor(const std::string& text, int ms = kWaitMs);

 protected:
  void make_log_entry(Level level, const char* format, va_list args) override;

 private:
  LogCatcher() = default;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> lines_;
};

// ------------------------------------------------------------ packets

std::string raw_packet(uint8_t exchange, uint64_t seq, uint16_t frag, uint8_t more,
                       const std::string& payload, uint32_t send_time = 93000123);
std::string payload_of(size_t len, char seed);
std::string login_reply(int32_t error_id, const std::string& text);
std::string end_record(uint32_t scope);
std::string heartbeat_packet(uint64_t value);
std::string security_info_packet(const char* code, uint8_t exchange);

// ------------------------------------------------------------ server

struct RetransmitRequest {
  uint64_t begin = 0;
  uint64_t end = 0;
  uint32_t scope = 0;
  uint32_t packet_type = 0;
};

// kAcceptThenClose / kAcceptThenReset: accept, then end the connection at
// once with FIN / RST; kAcceptInfoThenClose: accept, send one entry of
// base information, then FIN.
enum class LoginAnswer {
  kAccept,
  kRefuse,
  kRefuseHighBits,
  kSilent,
  kAcceptThenClose,
  kAcceptThenReset,
  kAcceptInfoThenClose
};

// A control-connection server on its own loop: answers logins as told,
// records retransmission requests, and writes whatever bytes the test
// hands it to every open connection.
class FakeServer {
 public:
  FakeServer();
  ~FakeServer();

  int Start();  // port listened on (127.0.0.1), or a negative code
  void SetAnswer(LoginAnswer a);
  // Writes `bytes` to every open connection, on the loop, in call order.
  void Send(const std::string& bytes);
  // Closes every open connection.
  void Drop();

  int logins();
  int connections();
  // Waits until at least `n` connections were accepted.
  bool WaitConnections(int n, int ms = kWaitMs);
  std::vector<RetransmitRequest> requests();
  // Waits until at least `n` retransmission requests arrived.
  bool WaitRequests(size_t n, int ms = kWaitMs);

  // Loop thread.
  void on_packet(const StructPacket& p, TcpSession* s);
  void on_connected();

 private:
  class Listener;
  void run(std::function<void()> fn);

  EvLoop loop_;
  Listener* listener_ = nullptr;
  std::mutex mu_;
  std::condition_variable cv_;
  LoginAnswer answer_ = LoginAnswer::kAccept;
  int logins_ = 0;
  int connections_ = 0;
  std::vector<RetransmitRequest> requests_;
};

// Settings for a session against `port` with the recorder's callbacks.
ZAVO_RawOpenSetting raw_settings(int port, const char* markets, uint16_t mcast_port,
                                 const char* group);
// A struct-mode session's settings with the same addresses, credentials and
// handlers (all markets, no code list, no flags).
ZAVO_OpenSetting struct_settings_like(const ZAVO_RawOpenSetting& raw);

}  // namespace rawtest
}  // namespace zavo
