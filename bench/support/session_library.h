#pragma once
// A build of the client library loaded from its shared object, used only
// through the exported C interface, as a trading program uses it. Two builds
// (say, before and after a change) can be loaded side by side in one
// process: the shared object exports nothing but the ZAVO_ functions and is
// loaded with local symbol binding, so each copy keeps its own internals.
#include <string>

#include "zavo_api.h"

namespace zavo {
namespace bench {

class SessionLibrary {
 public:
  SessionLibrary() = default;
  SessionLibrary(const SessionLibrary&) = delete;
  SessionLibrary& operator=(const SessionLibrary&) = delete;
  // Never unloads: the library's logger thread and its sessions' statics
  // live until the process ends.
  ~SessionLibrary() = default;

  // Loads the shared object at `path`; false with the reason in *why.
  bool Load(const std::string& path, std::string* why);
  bool loaded() const { return open_ != nullptr; }
  const std::string& path() const { return path_; }
  // ZAVO_Version of the loaded build (names its revision).
  const char* version() const { return version_ != nullptr ? version_() : "?"; }

  // Opens a struct session on group:port with a login server on
  // 127.0.0.1:server_port, delivering every kind to `data`. The idle
  // strategy ("spin" or "backoff") goes through ZAVO_IDLE_STRATEGY, which
  // the library reads when the session is created; `cpu` is the CpuID its
  // read thread is pinned to (-1: none). Null on failure.
  ZAVO_HANDLE OpenSession(const char* group, int port, int server_port, const char* strategy,
                          ZAVO_DataHandler data, ZAVO_DataHandler system, int cpu = -1) const;
  // ZAVO_Close then ZAVO_Wait.
  void CloseSession(ZAVO_HANDLE handle) const;

 private:
  std::string path_;
  ZAVO_HANDLE (*open_)(const ZAVO_OpenSetting*, ZAVO_ERROR*) = nullptr;
  void (*close_)(ZAVO_HANDLE) = nullptr;
  void (*wait_)(ZAVO_HANDLE) = nullptr;
  const char* (*version_)() = nullptr;
};

}  // namespace bench
}  // namespace zavo
