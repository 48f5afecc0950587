// Minimal C++ program against the public header: prints the library version,
// opens a raw-mode session and counts what arrives for a few seconds.
//
//   example_cpp [server_ip [server_port [seconds]]]
//
// Without a reachable server it reports the open failure and exits 0.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "zavo_api.h"

namespace {

std::atomic<unsigned long> g_bytes{0};

void on_data(void*, const ZAVO_MSG* msg) {
  if (msg->MsgType == ZAVO_MSG_RAW_DATA) {
    g_bytes += static_cast<const ZAVO_RawDataRef*>(msg->MsgData)->Length;
  }
}

void on_system(void* handle, const ZAVO_MSG* msg) {
  std::printf("session %p: system message kind %u\n", handle, msg->MsgType);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string server = argc > 1 ? argv[1] : "127.0.0.1";
  const int port = argc > 2 ? std::atoi(argv[2]) : 1;
  const int seconds = argc > 3 ? std::atoi(argv[3]) : 3;

  std::printf("library version %s\n", ZAVO_Version());

  ZAVO_RawOpenSetting setting{};
  setting.ConnectID = 2;
  std::strncpy(setting.MulticastIP, "239.1.1.2", sizeof setting.MulticastIP - 1);
  setting.MulticastPort = 30002;
  std::strncpy(setting.LocalIP, "127.0.0.1", sizeof setting.LocalIP - 1);
  std::strncpy(setting.ServerIP, server.c_str(), sizeof setting.ServerIP - 1);
  setting.ServerPort = static_cast<uint16_t>(port);
  setting.DataHandler = &on_data;
  setting.SystemHandler = &on_system;
  setting.SubscribedMarkets = "SH;SZ";
  setting.CpuID = -1;

  ZAVO_ERROR error = ZAVO_SUCCESS;
  ZAVO_HANDLE handle = ZAVO_OpenRaw(&setting, &error);
  if (handle == nullptr) {
    std::printf("ZAVO_OpenRaw to %s:%d failed: %d\n", server.c_str(), port, error);
    return error == ZAVO_ERR_NETWORK ? 0 : 1;
  }
  for (int i = 0; i < seconds; ++i) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::printf("%lu raw bytes so far\n", g_bytes.load());
  }
  ZAVO_Close(handle);
  ZAVO_Wait(handle);
  return 0;
}
