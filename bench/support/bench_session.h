#pragma once
// A struct session of the library against an in-process simulator, for the
// benchmarks that need one. The simulator only answers the login; the
// benchmark publishes the feed itself on its own group and port.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "api/udp_api_imp.h"
#include "sim_server.h"
#include "support/bench_setting.h"
#include "support/login_server.h"

namespace zavo {
namespace bench {

// Opens a session on group:port with the given idle strategy ("spin" or
// "backoff"); null on failure.
inline UdpStructApiImp* OpenSession(const sim::SimServer& sim, const char* group, int port,
                                    const char* strategy, ZAVO_DataHandler data,
                                    ZAVO_DataHandler system, int connect_id) {
  // The strategy is read when the session is created and when it joins.
  setenv("ZAVO_IDLE_STRATEGY", strategy, 1);
  UdpStructApiImp* api = new UdpStructApiImp();
  const ZAVO_OpenSetting s = BenchSetting(connect_id, group, port, sim.ListenPort(), data, system);
  const ZAVO_ERROR rc = api->Open(s);
  if (rc != ZAVO_SUCCESS) {
    std::fprintf(stderr, "session open failed: %d\n", static_cast<int>(rc));
    api->Close();
    api->Join();
    api->Release();
    return nullptr;
  }
  return api;
}

// What ZAVO_Close followed by ZAVO_Wait does.
inline void CloseSession(UdpStructApiImp* api) {
  if (api == nullptr) return;
  api->Close();
  api->Join();
  api->Release();
}

}  // namespace bench
}  // namespace zavo
