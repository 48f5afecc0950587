#include "support/session_library.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "library_loader.h"
#include "support/bench_setting.h"

namespace zavo {
namespace bench {

bool SessionLibrary::Load(const std::string& path, std::string* why) {
  void* lib = OpenLibrary(path, why);
  if (lib == nullptr) return false;
  decltype(open_) open = nullptr;
  decltype(close_) close = nullptr;
  decltype(wait_) wait = nullptr;
  decltype(version_) version = nullptr;
  if (!ResolveExport(lib, "ZAVO_Open", &open, why) ||
      !ResolveExport(lib, "ZAVO_Close", &close, why) ||
      !ResolveExport(lib, "ZAVO_Wait", &wait, why) ||
      !ResolveExport(lib, "ZAVO_Version", &version, why)) {
    dlclose(lib);
    return false;
  }
  path_ = path;
  open_ = open;
  close_ = close;
  wait_ = wait;
  version_ = version;
  return true;
}

ZAVO_HANDLE SessionLibrary::OpenSession(const char* group, int port, int server_port,
                                        const char* strategy, ZAVO_DataHandler data,
                                        ZAVO_DataHandler system, int cpu) const {
  if (open_ == nullptr) return nullptr;
  setenv("ZAVO_IDLE_STRATEGY", strategy, 1);
  ZAVO_OpenSetting s = BenchSetting(7, group, port, server_port, data, system);
  s.CpuID = cpu;
  ZAVO_ERROR rc = ZAVO_SUCCESS;
  ZAVO_HANDLE handle = open_(&s, &rc);
  if (handle == nullptr) {
    std::fprintf(stderr, "%s: session open failed: %d\n", path_.c_str(), static_cast<int>(rc));
  }
  return handle;
}

void SessionLibrary::CloseSession(ZAVO_HANDLE handle) const {
  if (handle == nullptr) return;
  close_(handle);
  wait_(handle);
}

}  // namespace bench
}  // namespace zavo
