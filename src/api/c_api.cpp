// The exported C interface: thin checks in front of the API objects. No
// exception crosses this boundary; every failure is a ZAVO_ERROR.
#include <cstdlib>
#include <new>
#include <stdexcept>

#include "api/api_factory.h"
#include "api/api_imp.h"
#include "api/session_support.h"
#include "util/logger.h"
#include "zavo_api.h"

namespace zavo {
namespace {

// Sets the logger up when the library is loaded, and ends its worker when
// the library goes. On Windows nothing is joined at the end: the loader
// runs it holding its lock, where joining a thread can deadlock (a program
// there must not FreeLibrary the DLL while it may still log).
struct LoadTimeInit {
  LoadTimeInit() { api_initer(); }
#ifndef _WIN32
  ~LoadTimeInit() {
    api_finish();
  }
#endif
};
const LoadTimeInit g_load_time_init;

void store_error(ZAVO_ERROR* error, ZAVO_ERROR value) {
  if (error != nullptr) *error = value;
}

// A failed open destroys the object exactly once: stop it, wait for its loop
// thread, then let it release itself.
void shut_down(ApiImp* api) {
  try {
    api->Close();
  } catch (...) {
    ZAVO_LOG("%p[%s] Close failed while abandoning a session", static_cast<void*>(api), "ZAVOApi");
  }
  try {
    api->Join();
  } catch (...) {
    ZAVO_LOG("%p[%s] Join failed while abandoning a session", static_cast<void*>(api), "ZAVOApi");
  }
  try {
    api->Release();
  } catch (...) {
    ZAVO_LOG("%p[%s] Release failed while abandoning a session", static_cast<void*>(api),
             "ZAVOApi");
  }
}

// Failures that are the caller's input map to -98, everything else
// (resources, threads, sockets) to -99.
ZAVO_ERROR open_error_of_current_exception() {
  try {
    throw;
  } catch (const std::invalid_argument&) {
    return ZAVO_ERR_INVALID;
  } catch (...) {
    return ZAVO_ERR_NETWORK;
  }
}

template <typename Mode, typename Setting>
ZAVO_HANDLE open_session(Mode* (*create)(), const Setting* setting, ZAVO_ERROR* error,
                         const char* mode_name) {
  if (setting == nullptr) {
    store_error(error, ZAVO_ERR_INVALID);
    return nullptr;
  }
  Mode* api = nullptr;
  try {
    api = create();
  } catch (...) {
    api = nullptr;
  }
  if (api == nullptr) {
    ZAVO_LOG("%p[%s] Open failed: %s mode is not available", static_cast<void*>(nullptr), "ZAVOApi",
             mode_name);
    store_error(error, ZAVO_ERR_NETWORK);
    return nullptr;
  }
  ZAVO_ERROR rc;
  try {
    rc = api->Open(*setting);
  } catch (...) {
    rc = open_error_of_current_exception();
    ZAVO_LOG("%p[%s] Open failed with an exception", static_cast<void*>(api), api->ClassName());
  }
  store_error(error, rc);
  if (rc == ZAVO_SUCCESS) return static_cast<ApiImp*>(api);
  shut_down(api);
  return nullptr;
}

StructApiImp* as_struct(ZAVO_HANDLE handle) {
  return handle == nullptr ? nullptr : dynamic_cast<StructApiImp*>(static_cast<ApiImp*>(handle));
}

RawApiImp* as_raw(ZAVO_HANDLE handle) {
  return handle == nullptr ? nullptr : dynamic_cast<RawApiImp*>(static_cast<ApiImp*>(handle));
}

// Runs one forwarded call; an exception becomes `on_throw`.
template <typename F>
ZAVO_ERROR guarded(F&& f, ZAVO_ERROR on_throw) {
  try {
    return f();
  } catch (...) {
    return on_throw;
  }
}

}  // namespace
}  // namespace zavo

using namespace zavo;

extern "C" {

ZAVO_API ZAVO_HANDLE ZAVO_Open(const ZAVO_OpenSetting* setting, ZAVO_ERROR* error) {
  api_initer();
  return open_session<StructApiImp>(&NewStructApi, setting, error, "struct");
}

ZAVO_API ZAVO_HANDLE ZAVO_OpenRaw(const ZAVO_RawOpenSetting* setting, ZAVO_ERROR* error) {
  return open_session<RawApiImp>(&NewRawApi, setting, error, "raw");
}

ZAVO_API void ZAVO_Close(ZAVO_HANDLE handle) {
  if (handle == nullptr) return;
  ApiImp* api = static_cast<ApiImp*>(handle);
  try {
    api->Close();
  } catch (...) {
    ZAVO_LOG("%p[%s] Close failed with an exception", handle, api->ClassName());
  }
}

ZAVO_API void ZAVO_Wait(ZAVO_HANDLE handle) {
  if (handle == nullptr) return;
  ApiImp* api = static_cast<ApiImp*>(handle);
  try {
    api->Join();
  } catch (...) {
    ZAVO_LOG("%p[%s] Join failed with an exception", handle, api->ClassName());
  }
  try {
    api->Release();
  } catch (...) {
    ZAVO_LOG("%p[%s] Release failed with an exception", handle, "ZAVOApi");
  }
}

ZAVO_API void ZAVO_Free(void* memory) {
  free(memory);
}

ZAVO_API const char* ZAVO_Version(void) {
  return LibraryVersion();
}

ZAVO_API ZAVO_ERROR ZAVO_GetCodeTable(ZAVO_HANDLE handle, const char* market, ZAVO_CODEINFO** table,
                                      unsigned int* count) {
  StructApiImp* api = as_struct(handle);
  if (api == nullptr) return ZAVO_ERR_INVALID;
  return guarded([&] { return api->GetCodeTable(market, table, count); }, ZAVO_ERR_INVALID);
}

ZAVO_API ZAVO_ERROR ZAVO_GetOptionCodeInfo(ZAVO_HANDLE handle, const char* code,
                                           ZAVO_OPTION_CODEINFO* info) {
  StructApiImp* api = as_struct(handle);
  if (api == nullptr) return ZAVO_ERR_INVALID;
  return guarded([&] { return api->GetOptionCodeInfo(code, info); }, ZAVO_ERR_INVALID);
}

ZAVO_API ZAVO_ERROR ZAVO_UpdateSubscription(ZAVO_HANDLE handle, ZAVO_SUBSCRIPTION_UPDATE mode,
                                            const char* codes) {
  StructApiImp* api = as_struct(handle);
  if (api == nullptr) return ZAVO_ERR_INVALID;
  return guarded([&] { return api->UpdateSubscription(mode, codes); }, ZAVO_ERR_INVALID);
}

ZAVO_API ZAVO_ERROR ZAVO_GetLastMarketData(ZAVO_HANDLE handle, const char* market,
                                           ZAVO_SecuritySnapShot** data, int* count) {
  StructApiImp* api = as_struct(handle);
  if (api == nullptr) return ZAVO_ERR_INVALID;
  return guarded([&] { return api->GetLastMarketData(market, data, count); }, ZAVO_ERR_INVALID);
}

ZAVO_API ZAVO_ERROR ZAVO_GetLastIndexData(ZAVO_HANDLE handle, const char* market,
                                          ZAVO_IndexSnapShot** data, int* count) {
  StructApiImp* api = as_struct(handle);
  if (api == nullptr) return ZAVO_ERR_INVALID;
  return guarded([&] { return api->GetLastIndexData(market, data, count); }, ZAVO_ERR_INVALID);
}

ZAVO_API ZAVO_ERROR ZAVO_GetLastFutureData(ZAVO_HANDLE handle, const char* market,
                                           ZAVO_FutureSnapShot** data, int* count) {
  StructApiImp* api = as_struct(handle);
  if (api == nullptr) return ZAVO_ERR_INVALID;
  return guarded([&] { return api->GetLastFutureData(market, data, count); }, ZAVO_ERR_INVALID);
}

ZAVO_API ZAVO_ERROR ZAVO_RebuildStructData(ZAVO_HANDLE handle, uint64_t begin_seq, uint64_t end_seq,
                                           ZAVO_DataHandler handler) {
  StructApiImp* api = as_struct(handle);
  if (api == nullptr) return ZAVO_ERR_INVALID;
  return guarded([&] { return api->Rebuild(begin_seq, end_seq, handler); }, ZAVO_ERR_NETWORK);
}

ZAVO_API ZAVO_ERROR ZAVO_RebuildRawData(ZAVO_HANDLE handle, char market, uint64_t begin_seq,
                                        uint64_t end_seq, ZAVO_DataHandler handler) {
  RawApiImp* api = as_raw(handle);
  if (api == nullptr) return ZAVO_ERR_INVALID;
  return guarded([&] { return api->Rebuild(market, begin_seq, end_seq, handler); },
                 ZAVO_ERR_NETWORK);
}

}  // extern "C"
