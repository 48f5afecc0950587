#include "soak_api.h"

#include <dlfcn.h>

namespace zavo_soak {

namespace {
template <typename Fn>
bool resolve(void* lib, const char* name, Fn* out, std::string* why) {
  void* sym = dlsym(lib, name);
  if (sym == nullptr) {
    *why = std::string("missing export ") + name;
    return false;
  }
  *out = reinterpret_cast<Fn>(sym);
  return true;
}
}  // namespace

bool LibApi::Load(const std::string& path, std::string* why) {
  // Never unloaded: the library's logger lives for the whole process.
  void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    const char* err = dlerror();
    *why = err != nullptr ? err : "dlopen failed";
    return false;
  }
  return resolve(lib, "ZAVO_Open", &Open, why) && resolve(lib, "ZAVO_OpenRaw", &OpenRaw, why) &&
         resolve(lib, "ZAVO_Close", &Close, why) && resolve(lib, "ZAVO_Wait", &Wait, why) &&
         resolve(lib, "ZAVO_Free", &Free, why) && resolve(lib, "ZAVO_Version", &Version, why) &&
         resolve(lib, "ZAVO_GetCodeTable", &GetCodeTable, why) &&
         resolve(lib, "ZAVO_GetLastMarketData", &GetLastMarketData, why) &&
         resolve(lib, "ZAVO_GetLastIndexData", &GetLastIndexData, why) &&
         resolve(lib, "ZAVO_RebuildStructData", &RebuildStructData, why) &&
         resolve(lib, "ZAVO_RebuildRawData", &RebuildRawData, why);
}

}  // namespace zavo_soak
