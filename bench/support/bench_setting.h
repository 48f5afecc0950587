#pragma once
// The settings every benchmark session opens with: a multicast group on the
// loopback interface, the in-process login server, every delivery flag, no
// CPU pinning. Callers change what their measurement needs.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "zavo_api.h"

namespace zavo {
namespace bench {

inline ZAVO_OpenSetting BenchSetting(int connect_id, const char* group, int port, int server_port,
                                     ZAVO_DataHandler data, ZAVO_DataHandler system) {
  ZAVO_OpenSetting s;
  std::memset(&s, 0, sizeof(s));
  s.ConnectID = connect_id;
  std::snprintf(s.MulticastIP, sizeof(s.MulticastIP), "%s", group);
  s.MulticastPort = static_cast<uint16_t>(port);
  std::snprintf(s.LocalIP, sizeof(s.LocalIP), "127.0.0.1");
  std::snprintf(s.ServerIP, sizeof(s.ServerIP), "127.0.0.1");
  s.ServerPort = static_cast<uint16_t>(server_port);
  std::snprintf(s.UserName, sizeof(s.UserName), "bench");
  std::snprintf(s.Password, sizeof(s.Password), "bench");
  s.DataHandler = data;
  s.SystemHandler = system;
  s.SubscribedMarkets = "";
  s.SubscribedCodes = "";
  s.SubscribeFlags = ZAVO_FLAG_TRADE_DETAIL | ZAVO_FLAG_ORDER_DETAIL | ZAVO_FLAG_ORDER_QUEUE;
  s.CpuID = -1;
  return s;
}

}  // namespace bench
}  // namespace zavo
