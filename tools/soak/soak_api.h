#pragma once
// The client library as a trading program sees it: a shared object loaded
// at run time and the exported functions of the public header. Loading it
// late lets the soak enter its network namespace and working directory
// first (the library starts its logger, a thread and a log file, on load).
#include <string>

#include "zavo_api.h"

namespace zavo_soak {

struct LibApi {
  decltype(&ZAVO_Open) Open = nullptr;
  decltype(&ZAVO_OpenRaw) OpenRaw = nullptr;
  decltype(&ZAVO_Close) Close = nullptr;
  decltype(&ZAVO_Wait) Wait = nullptr;
  decltype(&ZAVO_Free) Free = nullptr;
  decltype(&ZAVO_Version) Version = nullptr;
  decltype(&ZAVO_GetCodeTable) GetCodeTable = nullptr;
  decltype(&ZAVO_GetLastMarketData) GetLastMarketData = nullptr;
  decltype(&ZAVO_GetLastIndexData) GetLastIndexData = nullptr;
  decltype(&ZAVO_RebuildStructData) RebuildStructData = nullptr;
  decltype(&ZAVO_RebuildRawData) RebuildRawData = nullptr;

  // Loads `path` and resolves every function. False with a reason in *why.
  bool Load(const std::string& path, std::string* why);
};

}  // namespace zavo_soak
