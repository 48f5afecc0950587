#include "api/session_support.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>

#include <uv.h>

#include "build_info.h"
#include "proto/sys_field.h"
#include "util/helpers.h"
#include "util/logger.h"

namespace zavo {

namespace {
// The Windows DLL carries the revision line its programs were built against.
#ifdef _WIN32
const char kVersion[] = "v1.0.202001.win-" ZAVO_BUILD_ID;
#else
const char kVersion[] = "v1.1.202105.2-" ZAVO_BUILD_ID;
#endif
}  // namespace

const char* LibraryVersion() {
  return kVersion;
}

namespace {
std::atomic<int> g_login_timeout_ms{kLoginTimeoutMs};
}  // namespace

int LoginTimeoutMs() {
  return g_login_timeout_ms.load();
}

void SetLoginTimeoutMs(int timeout_ms) {
  g_login_timeout_ms.store(timeout_ms > 0 ? timeout_ms : kLoginTimeoutMs);
}

ZAVO_ERROR WaitForLoginAnswer(OpenResult* open, const void* self, const char* class_name,
                              const std::string& server_ip, uint16_t server_port) {
  ZAVO_ERROR result = ZAVO_ERR_NETWORK;
  const int timeout_ms = LoginTimeoutMs();
  if (open->WaitFor(timeout_ms, &result)) return result;
  char why[160];
  if (timeout_ms % 1000 == 0) {
    std::snprintf(why, sizeof(why), "login not answered within %d s by %s:%u", timeout_ms / 1000,
                  server_ip.c_str(), static_cast<unsigned>(server_port));
  } else {
    std::snprintf(why, sizeof(why), "login not answered within %d ms by %s:%u", timeout_ms,
                  server_ip.c_str(), static_cast<unsigned>(server_port));
  }
  ZAVO_LOG("%p[%s] Open Timeout: %s", self, class_name, why);
  // Whoever settles first wins: a success that raced the timeout stands.
  if (open->Fail(ZAVO_OPEN_STEP_LOGIN_TIMEOUT, 0, why)) return ZAVO_ERR_NETWORK;
  open->WaitFor(0, &result);
  return result;
}

ZAVO_ConnectResult MakeConnectResult(const std::string& server_ip, uint16_t server_port) {
  ZAVO_ConnectResult result;
  std::memset(&result, 0, sizeof(result));
  std::strncpy(result.Address, server_ip.c_str(), sizeof(result.Address) - 1);
  result.Port = server_port;
  result.State = 1;
  return result;
}

ZAVO_DisconnectResult MakeDisconnectResult(const std::string& server_ip, uint16_t server_port) {
  ZAVO_DisconnectResult result;
  std::memset(&result, 0, sizeof(result));
  std::strncpy(result.Address, server_ip.c_str(), sizeof(result.Address) - 1);
  result.Port = server_port;
  return result;
}

bool BuildLoginRequest(const std::string& user, const std::string& password, StructPacket* packet) {
  ReqUserLoginField login;
  login.Fill(user.c_str(), password.c_str(), LibraryVersion());
  *packet = StructPacket::ForRecord<ReqUserLoginField>();
  return packet->AddField(login);
}

void LogLoginResult(const void* self, const char* class_name, const RspUserLoginField& reply) {
  const int error = reply.ErrorID;
  if (error == 0) {
    ZAVO_LOG("%p[%s] TCP Session Login Accepted", self, class_name);
  } else {
    ZAVO_LOG("%p[%s] TCP Session Login Refused: %d %s", self, class_name, error,
             reply.ErrorMsg.ToString().c_str());
  }
}

void log_join_result(const void* self, const char* class_name, bool ok, const std::string& why) {
  if (ok) {
    ZAVO_LOG("%p[%s] Open UDP Multicast Success.", self, class_name);
  } else {
    ZAVO_LOG("%p[%s] Open UDP Multicast Error. %s", self, class_name, why.c_str());
  }
}

std::string StatusText(int status) {
  if (status == UV_EOF) return "closed by the server";
  return uv_strerror(status);
}

int SystemErrorOf(int status) {
#ifdef _WIN32
  (void)status;
  return 0;
#else
  // libuv's codes are the negated errno values here.
  return status < 0 && status != UV_EOF ? -status : 0;
#endif
}

std::string DescribeJoinFailure(const std::string& group, unsigned port,
                                const std::string& local_ip, int status) {
  std::string why = "joining " + group + ":" + std::to_string(port) + " on interface " +
                    (local_ip.empty() ? std::string("(none)") : local_ip) + " failed: ";
  if (status == UV_EADDRINUSE) {
    return why + "address already in use: another process reads this feed; see ZAVO_SHARE_FEED";
  }
  why += StatusText(status);
  if (status == UV_EADDRNOTAVAIL || status == UV_ENODEV) {
    why += " (LocalIP must be an address of this host)";
  } else if (status == UV_EINVAL) {
    why += " (MulticastIP and LocalIP must be dotted-quad IPv4 addresses)";
  }
  return why;
}

bool OpenResult::Settle(ZAVO_ERROR result) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (settled_) return false;
    settled_ = true;
    result_ = result;
  }
  cv_.notify_all();
  return true;
}

bool OpenResult::Fail(uint16_t step, int system_error, const std::string& reason) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (settled_) return false;
    settled_ = true;
    result_ = ZAVO_ERR_NETWORK;
    std::memset(&failure_, 0, sizeof(failure_));
    failure_.Step = step;
    failure_.SystemError = system_error;
    std::snprintf(failure_.Reason, sizeof(failure_.Reason), "%s", reason.c_str());
  }
  cv_.notify_all();
  return true;
}

ZAVO_OpenFailure OpenResult::Failure() const {
  std::lock_guard<std::mutex> lock(mu_);
  return failure_;
}

bool OpenResult::IsSettled() const {
  std::lock_guard<std::mutex> lock(mu_);
  return settled_;
}

bool OpenResult::WaitFor(int timeout_ms, ZAVO_ERROR* result) {
  std::unique_lock<std::mutex> lock(mu_);
  if (!cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return settled_; })) {
    return false;
  }
  *result = result_;
  return true;
}

ZAVO_ERROR RebuildState::TryStart(uint64_t begin, uint64_t end, ZAVO_DataHandler handler) {
  std::lock_guard<std::mutex> lock(mu_);
  if (req_.handler != nullptr) return ZAVO_ERR_BUSY;
  if (begin >= end || handler == nullptr) return ZAVO_ERR_INVALID;
  req_.begin = begin;
  req_.end = end;
  req_.handler = handler;
  return ZAVO_SUCCESS;
}

RebuildState::Request RebuildState::Current() const {
  std::lock_guard<std::mutex> lock(mu_);
  return req_;
}

RebuildState::Request RebuildState::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  Request was = req_;
  req_ = Request();
  return was;
}

bool FillLoginResult(const RspUserLoginField& reply, const std::string& server_ip,
                     uint16_t server_port, bool with_items, ZAVO_LoginResult* out) {
  std::memset(out, 0, sizeof(*out));
  std::strncpy(out->Address, server_ip.c_str(), sizeof(out->Address) - 1);
  out->Port = server_port;
  const int error = reply.ErrorID;
  out->ErrorID = static_cast<uint16_t>(static_cast<uint32_t>(error) & 0xffffu);
  // A refusal whose number happens to have zero low bits is still a refusal.
  if (error != 0) {
    reply.ErrorMsg.CopyTo(out->ErrorMsg, sizeof(out->ErrorMsg));
    return false;
  }
  if (!with_items) return true;
  std::strcpy(out->ErrorMsg, "success");
  const std::vector<std::string> items = StringSplit(reply.ErrorMsg.ToString(), ';');
  uint16_t kept = 0;
  for (const std::string& item : items) {
    if (kept == 6) break;
    std::strncpy(out->Items[kept], item.c_str(), sizeof(out->Items[kept]) - 1);
    ++kept;
  }
  out->ItemCount = kept;
  return true;
}

}  // namespace zavo
