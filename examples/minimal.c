/* Minimal C program against the public header: prints the library version,
 * opens a struct-mode session and prints what arrives for a few seconds.
 *
 *   example_c [server_ip [server_port [seconds [group_ip [group_port]]]]]
 *
 * The defaults are zavo_sim's: with `zavo_sim &` running, `example_c` alone
 * receives its feed. Without a reachable server it reports the open failure
 * and exits 1, so that a script running it sees the failure. */

/* nanosleep is POSIX, not C11: a strict -std=c11 build declares it only when
 * POSIX is asked for, before the first system header. */
#if !defined(_WIN32) && !defined(_POSIX_C_SOURCE)
#define _POSIX_C_SOURCE 200809L
#endif

#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "zavo_api.h"

/* zavo_sim's defaults: its control connection and its struct feed. */
#define DEFAULT_SERVER_IP "127.0.0.1"
#define DEFAULT_SERVER_PORT 6600
#define DEFAULT_GROUP_IP "239.255.6.1"
#define DEFAULT_GROUP_PORT 6601

static atomic_ulong g_data_messages;

/* A whole number from lo to hi, or -1. */
static long number_arg(const char* text, long lo, long hi) {
  char* end = NULL;
  long v = strtol(text, &end, 10);
  return end != text && *end == '\0' && v >= lo && v <= hi ? v : -1;
}

static void on_data(void* handle, const ZAVO_MSG* msg) {
  (void)handle;
  (void)msg;
  atomic_fetch_add(&g_data_messages, 1);
}

static void on_system(void* handle, const ZAVO_MSG* msg) {
  printf("session %p: system message kind %u at %09u\n", handle, msg->MsgType, msg->MsgTime);
  if (msg->MsgType == ZAVO_MSG_LOGIN) {
    const ZAVO_LoginResult* r = (const ZAVO_LoginResult*)msg->MsgData;
    printf("  login: error %u, %s\n", r->ErrorID, r->ErrorMsg);
  }
  fflush(stdout);
}

int main(int argc, char** argv) {
  const char* server = argc > 1 ? argv[1] : DEFAULT_SERVER_IP;
  long port = argc > 2 ? number_arg(argv[2], 1, 65535) : DEFAULT_SERVER_PORT;
  long seconds = argc > 3 ? number_arg(argv[3], 0, 86400) : 3;
  const char* group = argc > 4 ? argv[4] : DEFAULT_GROUP_IP;
  long group_port = argc > 5 ? number_arg(argv[5], 1, 65535) : DEFAULT_GROUP_PORT;
  if (port < 0 || seconds < 0 || group_port < 0) {
    fprintf(stderr, "usage: %s [server_ip [server_port [seconds [group_ip [group_port]]]]]\n",
            argv[0]);
    return 2;
  }

  printf("library version %s\n", ZAVO_Version());

  ZAVO_OpenSetting setting;
  memset(&setting, 0, sizeof setting);
  setting.ConnectID = 1;
  strncpy(setting.MulticastIP, group, sizeof setting.MulticastIP - 1);
  setting.MulticastPort = (uint16_t)group_port;
  strncpy(setting.LocalIP, "127.0.0.1", sizeof setting.LocalIP - 1);
  strncpy(setting.ServerIP, server, sizeof setting.ServerIP - 1);
  setting.ServerPort = (uint16_t)port;
  strncpy(setting.UserName, "demo", sizeof setting.UserName - 1);
  strncpy(setting.Password, "demo", sizeof setting.Password - 1);
  setting.DataHandler = on_data;
  setting.SystemHandler = on_system;
  setting.SubscribedMarkets = "SH;SZ";
  setting.SubscribeFlags = ZAVO_FLAG_TRADE_DETAIL;
#ifndef _WIN32
  setting.CpuID = -1; /* the Windows settings have no CpuID */
#endif

  ZAVO_ERROR error = ZAVO_SUCCESS;
  ZAVO_HANDLE handle = ZAVO_Open(&setting, &error);
  if (handle == NULL) {
    printf("ZAVO_Open to %s:%ld failed: %d\n", server, port, (int)error);
    return 1;
  }
  for (long i = 0; i < seconds; ++i) {
    struct timespec one = {1, 0};
    nanosleep(&one, NULL);
    printf("%lu data messages so far\n", (unsigned long)atomic_load(&g_data_messages));
  }
  ZAVO_SecuritySnapShot* snaps = NULL;
  int count = 0;
  if (ZAVO_GetLastMarketData(handle, "SH", &snaps, &count) == ZAVO_SUCCESS) {
    printf("%d Shanghai securities cached\n", count);
    ZAVO_Free(snaps);
  }
  ZAVO_Close(handle);
  ZAVO_Wait(handle);
  return 0;
}
