/* The Windows DLL end to end, as a Windows program sees it: run under wine
 * by run_wine_test.sh against the Linux simulator in the same private
 * network namespace.
 *
 *   zavo_win_test.exe SERVER_IP CONTROL_PORT GROUP STRUCT_PORT RAW_PORT
 *
 * The server drop is asked of the script through a file: the program
 * creates "drop.request" in its working directory, the script restarts the
 * simulator and removes the file. Every wait is bounded. The last line is
 * "N passed, N failed". */
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "zavo_api.h"

/* Sizes and offsets of every public record, checked by this compiler. */
#define ZAVO_CHECK(cond, msg) _Static_assert(cond, msg)
#include "../header/layout_checks.h"

/* ---------------------------------------------------------------- checks */

static int g_passed, g_failed;

static void check(int ok, const char* what, ...) {
  va_list ap;
  va_start(ap, what);
  printf("%s ", ok ? "ok  " : "FAIL");
  vprintf(what, ap);
  printf("\n");
  fflush(stdout);
  va_end(ap);
  if (ok) {
    ++g_passed;
  } else {
    ++g_failed;
  }
}

/* ------------------------------------------------ what the handlers saw */

typedef struct Seen {
  unsigned kinds[256]; /* data messages per kind (kind - 100, 200 -> 100) */
  unsigned system[8];  /* system messages per kind */
  unsigned bad_size, bad_flag, bad_delay, foreign_thread, after_filter;
  DWORD system_thread, data_thread;
  unsigned long long last_seq;
  unsigned long long last_sh_raw_seq; /* raw mode: sequences are per exchange */
  ZAVO_LoginResult login;
  ZAVO_BaseInfoFinish base;
  ZAVO_RebuildResult rebuilt;
  unsigned rebuild_records, rebuild_out_of_range, rebuild_foreign_thread;
  unsigned long long rebuild_begin, rebuild_end;
  char only_code[16]; /* after a subscription update: the one code wanted */
  unsigned raw_bad;
  int close_in_handler; /* data handler closes its session once */
  int closed_in_handler;
} Seen;

/* Guarded by g_lock; g_changed is signalled whenever it changes. */
static Seen g;
static CRITICAL_SECTION g_lock;
static CONDITION_VARIABLE g_changed;

static void seen_reset(void) {
  EnterCriticalSection(&g_lock);
  memset(&g, 0, sizeof g);
  LeaveCriticalSection(&g_lock);
}

typedef int (*Pred)(void);

/* Waits until `pred` holds (evaluated under the lock), at most `ms`. */
static int wait_for(Pred pred, DWORD ms) {
  ULONGLONG deadline = GetTickCount64() + ms;
  EnterCriticalSection(&g_lock);
  int ok = pred();
  while (!ok) {
    ULONGLONG now = GetTickCount64();
    if (now >= deadline) break;
    SleepConditionVariableCS(&g_changed, &g_lock, (DWORD)(deadline - now));
    ok = pred();
  }
  LeaveCriticalSection(&g_lock);
  return ok;
}

static void on_system(void* handle, const ZAVO_MSG* msg) {
  (void)handle;
  EnterCriticalSection(&g_lock);
  g.system_thread = GetCurrentThreadId();
  if (msg->MsgType < 8) g.system[msg->MsgType]++;
  if (msg->MsgType == ZAVO_MSG_LOGIN) memcpy(&g.login, msg->MsgData, sizeof g.login);
  if (msg->MsgType == ZAVO_MSG_BASEINFO_FINISH) memcpy(&g.base, msg->MsgData, sizeof g.base);
  if (msg->MsgType == ZAVO_MSG_REBUILD_FINISH) memcpy(&g.rebuilt, msg->MsgData, sizeof g.rebuilt);
  WakeAllConditionVariable(&g_changed);
  LeaveCriticalSection(&g_lock);
}

static unsigned expected_size(unsigned kind) {
  switch (kind) {
    case ZAVO_MSG_INDEX_SNAPSHOT:
      return sizeof(ZAVO_IndexSnapShot);
    case ZAVO_MSG_SECURITY_SNAPSHOT:
      return sizeof(ZAVO_SecuritySnapShot);
    case ZAVO_MSG_FUTURE_SNAPSHOT:
      return sizeof(ZAVO_FutureSnapShot);
    case ZAVO_MSG_TRADE_DETAIL:
      return 88; /* the Windows trade record */
    case ZAVO_MSG_ORDER_DETAIL:
      return sizeof(ZAVO_OrderDetail);
    case ZAVO_MSG_ORDER_QUEUE:
      return sizeof(ZAVO_OrderQueue);
    case ZAVO_MSG_RAW_DATA:
      return sizeof(ZAVO_RawDataRef);
    default:
      return 0;
  }
}

static void on_data(void* handle, const ZAVO_MSG* msg) {
  EnterCriticalSection(&g_lock);
  g.data_thread = GetCurrentThreadId();
  /* Windows: the data handler runs on the event loop thread, the one that
   * also calls the system handler. */
  if (g.system_thread != 0 && g.data_thread != g.system_thread) g.foreign_thread++;
  unsigned k = msg->MsgType == ZAVO_MSG_RAW_DATA ? 100 : msg->MsgType - 100;
  if (k < 256) g.kinds[k]++;
  if (msg->MsgSize != expected_size(msg->MsgType)) g.bad_size++;
  g.last_seq = msg->SeqNum;
  if (msg->MsgType == ZAVO_MSG_TRADE_DETAIL) {
    const ZAVO_TradeDetail* t = (const ZAVO_TradeDetail*)msg->MsgData;
    if (t->BSFlag != 'B' && t->BSFlag != 'S' && t->BSFlag != ' ' && t->BSFlag != 0) g.bad_flag++;
  }
  if (msg->MsgType == ZAVO_MSG_SECURITY_SNAPSHOT) {
    const ZAVO_SecuritySnapShot* s = (const ZAVO_SecuritySnapShot*)msg->MsgData;
    if (s->LocalDelay != 0) g.bad_delay++;
    if (g.only_code[0] != '\0' && strcmp(s->Code, g.only_code) != 0) g.after_filter++;
  }
  if (msg->MsgType == ZAVO_MSG_RAW_DATA) {
    const ZAVO_RawDataRef* r = (const ZAVO_RawDataRef*)msg->MsgData;
    if ((r->ExchangeID != '1' && r->ExchangeID != '2') || r->Length == 0 || r->Data == NULL)
      g.raw_bad++;
    if (r->ExchangeID == '1') g.last_sh_raw_seq = msg->SeqNum;
  }
  int close_now = g.close_in_handler && !g.closed_in_handler;
  if (close_now) g.closed_in_handler = 1;
  WakeAllConditionVariable(&g_changed);
  LeaveCriticalSection(&g_lock);
  if (close_now) ZAVO_Close(handle);
}

static void on_rebuild(void* handle, const ZAVO_MSG* msg) {
  (void)handle;
  EnterCriticalSection(&g_lock);
  g.rebuild_records++;
  if (msg->SeqNum < g.rebuild_begin || msg->SeqNum >= g.rebuild_end) g.rebuild_out_of_range++;
  if (GetCurrentThreadId() != g.system_thread) g.rebuild_foreign_thread++;
  WakeAllConditionVariable(&g_changed);
  LeaveCriticalSection(&g_lock);
}

/* ------------------------------------------------------------ predicates */

static int logged_in(void) {
  return g.system[ZAVO_MSG_LOGIN] > 0;
}
static int base_done(void) {
  return g.system[ZAVO_MSG_BASEINFO_FINISH] > 0;
}
static int every_kind(void) {
  return g.kinds[0] && g.kinds[1] && g.kinds[2] && g.kinds[3] && g.kinds[4] && g.kinds[5];
}
/* The cache holds what has come since the day's first heartbeat emptied
 * it: every kind may have been delivered before an SH security is in it. */
static ZAVO_HANDLE g_query_handle;
static int sh_security_cached(void) {
  ZAVO_SecuritySnapShot* sec = NULL;
  int n = 0;
  if (ZAVO_GetLastMarketData(g_query_handle, "SH", &sec, &n) != ZAVO_SUCCESS) return 0;
  ZAVO_Free(sec);
  return n > 0;
}
static int some_securities(void) {
  return g.kinds[1] >= 40;
}
static int rebuild_finished(void) {
  return g.system[ZAVO_MSG_REBUILD_FINISH] > 0;
}
static int disconnected(void) {
  return g.system[ZAVO_MSG_DISCONNECT] > 0;
}
static int closed_in_handler(void) {
  return g.closed_in_handler;
}
static int raw_flowing(void) {
  return g.kinds[100] >= 20 && g.last_sh_raw_seq > 5;
}

/* ---------------------------------------------------------------- setup */

static const char* g_server;
static unsigned g_port, g_struct_port, g_raw_port;
static const char* g_group;

static void fill_struct(ZAVO_OpenSetting* s, unsigned flags) {
  memset(s, 0, sizeof *s);
  s->ConnectID = 7;
  strncpy(s->MulticastIP, g_group, sizeof s->MulticastIP - 1);
  s->MulticastPort = (uint16_t)g_struct_port;
  strcpy(s->LocalIP, "127.0.0.1");
  strncpy(s->ServerIP, g_server, sizeof s->ServerIP - 1);
  s->ServerPort = (uint16_t)g_port;
  strcpy(s->UserName, "win");
  strcpy(s->Password, "win");
  s->DataHandler = on_data;
  s->SystemHandler = on_system;
  s->SubscribeFlags = flags;
}

static ZAVO_HANDLE open_struct(unsigned flags) {
  ZAVO_OpenSetting s;
  fill_struct(&s, flags);
  ZAVO_ERROR err = ZAVO_ERR_INVALID;
  ZAVO_HANDLE h = ZAVO_Open(&s, &err);
  check(h != NULL && err == ZAVO_SUCCESS, "ZAVO_Open struct session (result %d)", (int)err);
  return h;
}

/* ----------------------------------------------------------------- tests */

static void test_interface_basics(void) {
  const char* v = ZAVO_Version();
  check(strncmp(v, "v1.0.202001.win", 15) == 0 && v == ZAVO_Version(), "version %s", v);
  check(ZAVO_GetCodeTable(NULL, "SH", NULL, NULL) == ZAVO_ERR_INVALID, "null handle: -98");
  ZAVO_Free(NULL);
  ZAVO_OpenSetting s;
  fill_struct(&s, 0);
  s.DataHandler = NULL;
  ZAVO_ERROR err = ZAVO_SUCCESS;
  check(ZAVO_Open(&s, &err) == NULL && err == ZAVO_ERR_INVALID, "no data handler: -98");
  WIN32_FIND_DATAA found;
  HANDLE f = FindFirstFileA("zavo_api_*.log", &found);
  check(f != INVALID_HANDLE_VALUE && strlen(found.cFileName) == strlen("zavo_api_.log") + 17,
        "log file in the working directory: %s",
        f != INVALID_HANDLE_VALUE ? found.cFileName : "(none)");
  if (f != INVALID_HANDLE_VALUE) FindClose(f);
  printf("sizes: settings %u/%u, trade %u, security %u, msg %u\n",
         (unsigned)sizeof(ZAVO_OpenSetting), (unsigned)sizeof(ZAVO_RawOpenSetting),
         (unsigned)sizeof(ZAVO_TradeDetail), (unsigned)sizeof(ZAVO_SecuritySnapShot),
         (unsigned)sizeof(ZAVO_MSG));
}

static void test_code_tables(ZAVO_HANDLE h) {
  check(wait_for(base_done, 20000), "code tables complete (kind 4)");
  check(g.login.ErrorID == 0 && strcmp(g.login.ErrorMsg, "success") == 0, "login accepted");
  check(g.base.MarketCount == 2 && strcmp(g.base.Markets[0], "SH") == 0, "both markets listed");
  ZAVO_CODEINFO* table = NULL;
  unsigned int count = 0;
  ZAVO_ERROR rc = ZAVO_GetCodeTable(h, "SH", &table, &count);
  check(rc == ZAVO_SUCCESS && count > 0 && count == g.base.CodeCount[0],
        "SH code table: %u entries", count);
  unsigned options = 0;
  for (unsigned i = 0; table != NULL && i < count; ++i) {
    ZAVO_OPTION_CODEINFO info;
    if (ZAVO_GetOptionCodeInfo(h, table[i].KvelCode, &info) == ZAVO_SUCCESS) {
      options += strcmp(info.Code, table[i].Code) == 0 ? 1u : 0u;
    }
  }
  check(table != NULL && table[0].ExchangeID == '1' && options > 0 && options < count,
        "SH options found in the table: %u", options);
  ZAVO_Free(table);
}

static void test_records_and_queries(ZAVO_HANDLE h) {
  check(wait_for(every_kind, 30000), "kinds 100 to 105 delivered");
  EnterCriticalSection(&g_lock);
  check(g.kinds[6] == 0, "no kind 106 on Windows");
  check(g.bad_size == 0, "MsgSize matches every record (trade 88)");
  check(g.bad_flag == 0 && g.bad_delay == 0, "trade flags mapped, LocalDelay 0");
  check(g.foreign_thread == 0 && g.data_thread == g.system_thread,
        "data handler on the event loop thread");
  LeaveCriticalSection(&g_lock);

  g_query_handle = h;
  wait_for(sh_security_cached, 30000);
  ZAVO_SecuritySnapShot* sec = NULL;
  int n = 0;
  ZAVO_ERROR rc = ZAVO_GetLastMarketData(h, "SH", &sec, &n);
  check(rc == ZAVO_SUCCESS && n > 0 && sec[0].ExchangeID == '1' && sec[0].LocalDelay == 0,
        "last SH securities: %d", n);
  ZAVO_Free(sec);
  ZAVO_IndexSnapShot* idx = NULL;
  rc = ZAVO_GetLastIndexData(h, "SZ", &idx, &n);
  check(rc == ZAVO_SUCCESS && (n == 0 || idx[0].ExchangeID == '2'), "last SZ indices: %d", n);
  ZAVO_Free(idx);
  ZAVO_FutureSnapShot* fut = NULL;
  rc = ZAVO_GetLastFutureData(h, "SH", &fut, &n);
  check(rc == ZAVO_SUCCESS, "last SH futures: %d", n);
  ZAVO_Free(fut);
  check(ZAVO_RebuildRawData(h, '1', 1, 2, on_rebuild) == ZAVO_ERR_INVALID,
        "raw call on a struct handle: -98");
}

static void test_subscription(ZAVO_HANDLE h) {
  ZAVO_SecuritySnapShot* sec = NULL;
  int n = 0;
  if (ZAVO_GetLastMarketData(h, "SH", &sec, &n) != ZAVO_SUCCESS || n == 0) {
    check(0, "a code to subscribe to");
    return;
  }
  char item[32];
  snprintf(item, sizeof item, "%s.SH", sec[0].Code);
  EnterCriticalSection(&g_lock);
  strcpy(g.only_code, sec[0].Code);
  LeaveCriticalSection(&g_lock);
  ZAVO_Free(sec);
  check(ZAVO_UpdateSubscription(h, ZAVO_SUBSCRIBE_REPLACE, item) == ZAVO_SUCCESS,
        "subscription replaced by %s", item);
  EnterCriticalSection(&g_lock);
  g.after_filter = 0;
  g.kinds[1] = 0;
  LeaveCriticalSection(&g_lock);
  /* Records are filtered on the loop thread; at most the one in hand
   * while the update was made passes the old filter. */
  int flowing = wait_for(some_securities, 30000);
  EnterCriticalSection(&g_lock);
  check(flowing && g.after_filter <= 1, "only %s delivered afterwards (%u others)", item,
        g.after_filter);
  g.only_code[0] = '\0';
  LeaveCriticalSection(&g_lock);
  check(ZAVO_UpdateSubscription(h, ZAVO_SUBSCRIBE_ALL, NULL) == ZAVO_SUCCESS, "all subscribed");
  check(ZAVO_UpdateSubscription(h, ZAVO_SUBSCRIBE_ADD, "600000") == ZAVO_ERR_INVALID,
        "unparsable list: -98");
}

static void test_rebuild(ZAVO_HANDLE h) {
  EnterCriticalSection(&g_lock);
  unsigned long long end = g.last_seq;
  g.rebuild_begin = end > 50 ? end - 50 : 1;
  g.rebuild_end = end;
  g.system[ZAVO_MSG_REBUILD_FINISH] = 0;
  g.rebuild_records = 0;
  unsigned long long begin = g.rebuild_begin;
  LeaveCriticalSection(&g_lock);
  check(ZAVO_RebuildStructData(h, 5, 5, on_rebuild) == ZAVO_ERR_INVALID, "empty range: -98");
  check(ZAVO_RebuildStructData(h, begin, end, NULL) == ZAVO_ERR_INVALID, "null handler: -98");
  check(ZAVO_RebuildStructData(h, begin, end, on_rebuild) == ZAVO_SUCCESS,
        "rebuild [%llu, %llu) accepted", begin, end);
  check(wait_for(rebuild_finished, 20000), "rebuild finished (kind 5)");
  EnterCriticalSection(&g_lock);
  check(g.rebuilt.BeginSeq == begin && g.rebuilt.EndSeq == end, "finish names the range");
  check(g.rebuild_records > 0 && g.rebuild_out_of_range == 0 && g.rebuild_foreign_thread == 0,
        "%u records resent, in range, on the loop thread", g.rebuild_records);
  LeaveCriticalSection(&g_lock);
}

static int relogged(void) {
  return g.system[ZAVO_MSG_LOGIN] > 0 && g.kinds[1] > 0;
}

static void test_drop_and_reconnect(ZAVO_HANDLE h) {
  EnterCriticalSection(&g_lock);
  memset(g.system, 0, sizeof g.system);
  LeaveCriticalSection(&g_lock);
  FILE* req = fopen("drop.request", "w");
  if (req != NULL) fclose(req);
  check(req != NULL && wait_for(disconnected, 30000), "server drop seen (kind 2)");
  check(ZAVO_RebuildStructData(h, 1, 10, on_rebuild) == ZAVO_ERR_NETWORK,
        "rebuild while disconnected: -99");
  EnterCriticalSection(&g_lock);
  g.kinds[1] = 0;
  LeaveCriticalSection(&g_lock);
  /* Reconnects every 5 s; the restarted simulator needs a moment too. */
  check(wait_for(relogged, 40000), "reconnected, logged in again, data flowing");
}

static void test_close_from_handler(void) {
  seen_reset();
  EnterCriticalSection(&g_lock);
  g.close_in_handler = 1;
  LeaveCriticalSection(&g_lock);
  ZAVO_HANDLE h = open_struct(0);
  if (h == NULL) return;
  check(wait_for(closed_in_handler, 20000), "data handler closed its session");
  check(ZAVO_RebuildStructData(h, 1, 10, on_rebuild) == ZAVO_ERR_NETWORK,
        "rebuild after close: -99");
  ZAVO_Close(h);
  ZAVO_Wait(h);
  check(1, "waited for a session closed by its handler");
}

static HANDLE g_go;

static DWORD WINAPI close_thread(LPVOID handle) {
  WaitForSingleObject(g_go, 10000);
  ZAVO_Close(handle);
  return 0;
}

static void test_close_from_two_threads(void) {
  seen_reset();
  ZAVO_HANDLE h = open_struct(ZAVO_FLAG_TRADE_DETAIL);
  if (h == NULL) return;
  wait_for(some_securities, 20000);
  g_go = CreateEventA(NULL, TRUE, FALSE, NULL);
  HANDLE t[2];
  t[0] = CreateThread(NULL, 0, close_thread, h, 0, NULL);
  t[1] = CreateThread(NULL, 0, close_thread, h, 0, NULL);
  SetEvent(g_go);
  DWORD r = WaitForMultipleObjects(2, t, TRUE, 20000);
  check(r == WAIT_OBJECT_0, "two threads closed the session at once");
  ZAVO_Wait(h);
  CloseHandle(t[0]);
  CloseHandle(t[1]);
  CloseHandle(g_go);
}

static void test_raw(void) {
  seen_reset();
  ZAVO_RawOpenSetting s;
  memset(&s, 0, sizeof s);
  s.ConnectID = 9;
  strncpy(s.MulticastIP, g_group, sizeof s.MulticastIP - 1);
  s.MulticastPort = (uint16_t)g_raw_port;
  strcpy(s.LocalIP, "127.0.0.1");
  strncpy(s.ServerIP, g_server, sizeof s.ServerIP - 1);
  s.ServerPort = (uint16_t)g_port;
  strcpy(s.UserName, "win");
  strcpy(s.Password, "win");
  s.DataHandler = on_data;
  s.SystemHandler = on_system;
  s.SubscribedMarkets = "SH;SZ";
  ZAVO_ERROR err = ZAVO_ERR_INVALID;
  ZAVO_HANDLE h = ZAVO_OpenRaw(&s, &err);
  check(h != NULL && err == ZAVO_SUCCESS, "ZAVO_OpenRaw (result %d)", (int)err);
  if (h == NULL) return;
  check(wait_for(raw_flowing, 20000), "raw messages delivered");
  EnterCriticalSection(&g_lock);
  check(g.raw_bad == 0 && g.bad_size == 0, "raw references well formed");
  check(g.foreign_thread == 0, "raw data handler on the event loop thread");
  /* Sequences are per exchange: the range is Shanghai's. */
  unsigned long long end = g.last_sh_raw_seq;
  unsigned long long begin = end - 5;
  g.rebuild_begin = begin;
  g.rebuild_end = end;
  LeaveCriticalSection(&g_lock);
  ZAVO_SecuritySnapShot* sec = NULL;
  int n = 0;
  check(ZAVO_GetLastMarketData(h, "SH", &sec, &n) == ZAVO_ERR_INVALID,
        "struct query on a raw handle: -98");
  check(ZAVO_RebuildRawData(h, '0', begin, end, on_rebuild) == ZAVO_ERR_INVALID,
        "raw rebuild of market '0': -98");
  ZAVO_ERROR r1 = ZAVO_RebuildRawData(h, '1', begin, end, on_rebuild);
  check(r1 == ZAVO_SUCCESS, "raw rebuild of SH [%llu, %llu) accepted (%d)", begin, end, (int)r1);
  check(wait_for(rebuild_finished, 20000), "raw rebuild finished (kind 5)");
  EnterCriticalSection(&g_lock);
  check(g.rebuilt.BeginSeq == begin && g.rebuilt.EndSeq == end && g.rebuild_records > 0 &&
            g.rebuild_out_of_range == 0,
        "%u raw messages resent, in range", g.rebuild_records);
  LeaveCriticalSection(&g_lock);
  ZAVO_Close(h);
  ZAVO_Wait(h);
}

int main(int argc, char** argv) {
  if (argc != 6) {
    fprintf(stderr, "usage: %s SERVER_IP CONTROL_PORT GROUP STRUCT_PORT RAW_PORT\n", argv[0]);
    return 2;
  }
  g_server = argv[1];
  g_port = (unsigned)atoi(argv[2]);
  g_group = argv[3];
  g_struct_port = (unsigned)atoi(argv[4]);
  g_raw_port = (unsigned)atoi(argv[5]);
  InitializeCriticalSection(&g_lock);
  InitializeConditionVariable(&g_changed);
  setvbuf(stdout, NULL, _IONBF, 0);

  test_interface_basics();
  ZAVO_HANDLE h =
      open_struct(ZAVO_FLAG_TRADE_DETAIL | ZAVO_FLAG_ORDER_DETAIL | ZAVO_FLAG_ORDER_QUEUE);
  if (h != NULL) {
    check(wait_for(logged_in, 1000), "login reported before ZAVO_Open returned");
    test_code_tables(h);
    test_records_and_queries(h);
    test_subscription(h);
    test_rebuild(h);
    test_drop_and_reconnect(h);
    ZAVO_Close(h);
    ZAVO_Wait(h);
  }
  test_close_from_handler();
  test_close_from_two_threads();
  test_raw();

  printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}
