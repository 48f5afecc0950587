#include "soak_api.h"

#include "library_loader.h"

namespace zavo_soak {

using zavo::ResolveExport;

bool LibApi::Load(const std::string& path, std::string* why) {
  // Never unloaded: the library's logger lives for the whole process.
  void* lib = zavo::OpenLibrary(path, why);
  if (lib == nullptr) return false;
  return ResolveExport(lib, "ZAVO_Open", &Open, why) &&
         ResolveExport(lib, "ZAVO_OpenRaw", &OpenRaw, why) &&
         ResolveExport(lib, "ZAVO_Close", &Close, why) &&
         ResolveExport(lib, "ZAVO_Wait", &Wait, why) &&
         ResolveExport(lib, "ZAVO_Free", &Free, why) &&
         ResolveExport(lib, "ZAVO_Version", &Version, why) &&
         ResolveExport(lib, "ZAVO_GetCodeTable", &GetCodeTable, why) &&
         ResolveExport(lib, "ZAVO_GetLastMarketData", &GetLastMarketData, why) &&
         ResolveExport(lib, "ZAVO_GetLastIndexData", &GetLastIndexData, why) &&
         ResolveExport(lib, "ZAVO_RebuildStructData", &RebuildStructData, why) &&
         ResolveExport(lib, "ZAVO_RebuildRawData", &RebuildRawData, why);
}

}  // namespace zavo_soak
