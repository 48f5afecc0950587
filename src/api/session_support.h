#pragma once
// Pieces shared by the struct-mode and raw-mode sessions: the open result
// that the loop thread settles and Open waits for, the retransmission state
// shared between the caller's thread and the loop thread, bounded reading of
// the settings' text members, and the login conversation: the request, the
// check of the answer and the system-message records (login, connect,
// disconnect) that ApiImp::deliver_system then hands to the handler.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "api/api_imp.h"
#include "proto/struct_packet.h"
#include "util/log_throttle.h"
#include "util/logger.h"
#include "zavo_api.h"

namespace zavo {

struct RspUserLoginField;

// How long Open waits for the server's answer to the login before it gives
// up with ZAVO_ERR_NETWORK.
constexpr int kLoginTimeoutMs = 15000;
// Reconnection interval of the control connection once a session is open.
constexpr uint32_t kReconnectIntervalMs = 5000;

// The library's version text, also sent with every login.
const char* LibraryVersion();

// Settled once, by whichever of the loop thread's outcomes comes first;
// later attempts are ignored.
class OpenResult {
 public:
  // True when this call settled it.
  bool Settle(ZAVO_ERROR result);
  // Settles with ZAVO_ERR_NETWORK and says why: the step (ZAVO_OPEN_STEP),
  // the system's error number (0 when none) and one line for a person.
  bool Fail(uint16_t step, int system_error, const std::string& reason);
  bool IsSettled() const;
  // Waits up to `timeout_ms`. True with *result set when settled in time.
  bool WaitFor(int timeout_ms, ZAVO_ERROR* result);
  // Once settled by Fail: the record for ZAVO_MSG_OPEN_FAILED (Step 0
  // when the failure came without an explanation).
  ZAVO_OpenFailure Failure() const;

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  bool settled_ = false;
  ZAVO_ERROR result_ = ZAVO_ERR_NETWORK;
  ZAVO_OpenFailure failure_{};
};

// The text of a libuv status (negative) for people: "connection refused".
std::string StatusText(int status);
// The system's error number of a libuv status, for ZAVO_OpenFailure.
int SystemErrorOf(int status);
// Why joining `group`:`port` on `local_ip` failed with `status` (a negative
// libuv or errno code), with a hint where the usual cause is known.
std::string DescribeJoinFailure(const std::string& group, unsigned port,
                                const std::string& local_ip, int status);

// The retransmission in progress: [begin, end) and the handler that gets the
// replies. Set and cleared whole under one lock, so the caller's thread, the
// loop thread and a cache clear never see half a request.
class RebuildState {
 public:
  struct Request {
    uint64_t begin = 0;
    uint64_t end = 0;
    ZAVO_DataHandler handler = nullptr;
  };

  // ZAVO_ERR_BUSY while a request is in progress, ZAVO_ERR_INVALID for an
  // empty range or a null handler; otherwise records the request.
  ZAVO_ERROR TryStart(uint64_t begin, uint64_t end, ZAVO_DataHandler handler);
  // The request in progress (handler null when none), read in one step.
  Request Current() const;
  // Ends whatever request is in progress; returns what it was.
  Request Clear();

 private:
  mutable std::mutex mu_;
  Request req_;
};

// A settings text member, read only within its array whether or not it is
// terminated there.
template <size_t N>
std::string SettingText(const char (&text)[N]) {
  size_t n = 0;
  while (n < N && text[n] != '\0') ++n;
  return std::string(text, n);
}

// How long Open waits for the login answer; tests shorten it (0 restores
// the default).
int LoginTimeoutMs();
void SetLoginTimeoutMs(int timeout_ms);

// Open's wait for the loop thread's outcome, bounded by LoginTimeoutMs().
// On timeout it logs, and settles the result itself so that a late answer
// cannot join the feed behind Open's back.
ZAVO_ERROR WaitForLoginAnswer(OpenResult* open, const void* self, const char* class_name,
                              const std::string& server_ip, uint16_t server_port);

// An accepted login: the first one of a session joins the feed through
// `join(std::string* why)` (0 on success, else a negative code with *why
// set) and settles the open result; later ones (after a
// reconnection) only count. Returns true when this login settled the open
// result with success, which is when the server is told the answer arrived.
template <class Join>
bool AcceptLogin(OpenResult* open, uint32_t* login_count, const void* self, const char* class_name,
                 Join&& join);

// Fills the record of a login answer. Accepted when the reply's full 32-bit
// error number is 0; ErrorID carries its low 16 bits. With `with_items`
// (both sessions ask for them) an accepted login gets "success" and the ';'-separated
// entries of the reply text (at most 6 of at most 7 characters are kept,
// ItemCount counts those kept); without it the text stays empty.
// Returns whether the login was accepted.
bool FillLoginResult(const RspUserLoginField& reply, const std::string& server_ip,
                     uint16_t server_port, bool with_items, ZAVO_LoginResult* out);

// The connection-state records of both sessions: the server's address and
// port, and for a connection State 1.
ZAVO_ConnectResult MakeConnectResult(const std::string& server_ip, uint16_t server_port);
ZAVO_DisconnectResult MakeDisconnectResult(const std::string& server_ip, uint16_t server_port);

// The login request every new control connection sends first: the user
// name cut to 15 characters, the password to 31, and the library's version.
// False when the packet cannot be built.
bool BuildLoginRequest(const std::string& user, const std::string& password, StructPacket* packet);

// Decodes the control-connection field under `it` into `record`; a record
// that does not decode is logged with its type's name and skipped.
template <class T>
bool DecodeControlField(const StructPacket::Iterator& it, T* record, const void* self,
                        const char* class_name) {
  if (it.Decode(*record)) return true;
  ZAVO_LOG("%p[%s] TCP Session GetField Error: %s", self, class_name, TypeName<T>());
  return false;
}

// Writes the outcome of a login to the log, so that the log tells the story
// of a session's connections on its own.
void LogLoginResult(const void* self, const char* class_name, const RspUserLoginField& reply);

void log_join_result(const void* self, const char* class_name, bool ok, const std::string& why);

template <class Join>
bool AcceptLogin(OpenResult* open, uint32_t* login_count, const void* self, const char* class_name,
                 Join&& join) {
  if (*login_count == 0 && !open->IsSettled()) {
    std::string why;
    const int rc = join(&why);
    log_join_result(self, class_name, rc == 0, why);
    if (rc != 0) open->Fail(ZAVO_OPEN_STEP_JOIN, SystemErrorOf(rc), why);
  }
  ++*login_count;
  return open->Settle(ZAVO_SUCCESS);
}

}  // namespace zavo
