// Minimal C++ program against the public header: prints the library version,
// opens a raw-mode session and counts what arrives for a few seconds.
//
//   example_cpp [server_ip [server_port [seconds [group_ip [group_port]]]]]
//
// The defaults are zavo_sim's: with `zavo_sim --mode raw &` (or `--mode
// both`) running, `example_cpp` alone receives its raw feed. Without a
// reachable server it reports the open failure and exits 1.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "zavo_api.h"

namespace {

// zavo_sim's defaults: its control connection and its raw feed.
constexpr const char* kDefaultServerIp = "127.0.0.1";
constexpr long kDefaultServerPort = 6600;
constexpr const char* kDefaultGroupIp = "239.255.6.1";
constexpr long kDefaultGroupPort = 6602;

std::atomic<unsigned long> g_bytes{0};
std::atomic<unsigned long> g_messages{0};

// A whole number from lo to hi, or -1.
long number_arg(const char* text, long lo, long hi) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  return end != text && *end == '\0' && v >= lo && v <= hi ? v : -1;
}

void on_data(void*, const ZAVO_MSG* msg) {
  if (msg->MsgType == ZAVO_MSG_RAW_DATA) {
    g_bytes += static_cast<const ZAVO_RawDataRef*>(msg->MsgData)->Length;
    ++g_messages;
  }
}

void on_system(void* handle, const ZAVO_MSG* msg) {
  std::printf("session %p: system message kind %u\n", handle, msg->MsgType);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string server = argc > 1 ? argv[1] : kDefaultServerIp;
  const long port = argc > 2 ? number_arg(argv[2], 1, 65535) : kDefaultServerPort;
  const long seconds = argc > 3 ? number_arg(argv[3], 0, 86400) : 3;
  const std::string group = argc > 4 ? argv[4] : kDefaultGroupIp;
  const long group_port = argc > 5 ? number_arg(argv[5], 1, 65535) : kDefaultGroupPort;
  if (port < 0 || seconds < 0 || group_port < 0) {
    std::fprintf(stderr, "usage: %s [server_ip [server_port [seconds [group_ip [group_port]]]]]\n",
                 argv[0]);
    return 2;
  }

  std::printf("library version %s\n", ZAVO_Version());

  ZAVO_RawOpenSetting setting{};
  setting.ConnectID = 2;
  std::strncpy(setting.MulticastIP, group.c_str(), sizeof setting.MulticastIP - 1);
  setting.MulticastPort = static_cast<uint16_t>(group_port);
  std::strncpy(setting.LocalIP, "127.0.0.1", sizeof setting.LocalIP - 1);
  std::strncpy(setting.ServerIP, server.c_str(), sizeof setting.ServerIP - 1);
  setting.ServerPort = static_cast<uint16_t>(port);
  std::strncpy(setting.UserName, "demo", sizeof setting.UserName - 1);
  std::strncpy(setting.Password, "demo", sizeof setting.Password - 1);
  setting.DataHandler = &on_data;
  setting.SystemHandler = &on_system;
  setting.SubscribedMarkets = "SH;SZ";
  setting.CpuID = -1;

  ZAVO_ERROR error = ZAVO_SUCCESS;
  ZAVO_HANDLE handle = ZAVO_OpenRaw(&setting, &error);
  if (handle == nullptr) {
    std::printf("ZAVO_OpenRaw to %s:%ld failed: %d\n", server.c_str(), port, error);
    return 1;
  }
  for (long i = 0; i < seconds; ++i) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::printf("%lu raw messages, %lu bytes so far\n", g_messages.load(), g_bytes.load());
  }
  ZAVO_Close(handle);
  ZAVO_Wait(handle);
  return 0;
}
