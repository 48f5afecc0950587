// zavo_tail: opens a market-data session and prints what arrives.
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "book_view.h"
#include "feed_stats.h"
#include "options.h"
#include "record_format.h"
#include "zavo_api.h"

namespace {

using zavo_tail::FeedStats;
using zavo_tail::Options;
using zavo_tail::OutputFormat;

Options g_opt;
FeedStats g_stats;
FeedStats g_rebuild_stats;
std::mutex g_out_mutex;  // stdout is written from the library's threads
std::atomic<bool> g_stop{false};
std::atomic<bool> g_codes_ready{false};
std::atomic<bool> g_rebuild_done{false};
std::atomic<uint64_t> g_logins{0};
FILE* g_raw_out = nullptr;
zavo_tail::BookView* g_book = nullptr;  // --book / --book-check

void on_signal(int) { g_stop.store(true); }

void print_line(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_out_mutex);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
}

void deliver(const ZAVO_MSG* msg, FeedStats* stats, const char* prefix) {
  int stream = 0;
  if (msg->MsgType == ZAVO_MSG_RAW_DATA) {
    const auto* ref = static_cast<const ZAVO_RawDataRef*>(msg->MsgData);
    stream = ref->ExchangeID == '1' ? 1 : 2;
    if (g_raw_out != nullptr && ref->Data != nullptr) {
      std::fwrite(ref->Data, 1, ref->Length, g_raw_out);
    }
  }
  stats->OnRecord(msg->MsgType, msg->SeqNum, stream);
  if (g_opt.format == OutputFormat::kNone) return;
  thread_local std::string line;
  if (zavo_tail::FormatRecord(*msg, g_opt.format, &line)) {
    if (prefix != nullptr && g_opt.format == OutputFormat::kText) line.insert(0, prefix);
    print_line(line);
  }
}

void on_data(void*, const ZAVO_MSG* msg) {
  if (g_book != nullptr) g_book->OnMessage(msg);
  deliver(msg, &g_stats, nullptr);
}

void on_rebuild(void*, const ZAVO_MSG* msg) { deliver(msg, &g_rebuild_stats, "rebuild "); }

void on_system(void*, const ZAVO_MSG* msg) {
  if (msg->MsgType == ZAVO_MSG_BASEINFO_FINISH) g_codes_ready.store(true);
  if (msg->MsgType == ZAVO_MSG_REBUILD_FINISH) g_rebuild_done.store(true);
  if (msg->MsgType == ZAVO_MSG_LOGIN &&
      static_cast<const ZAVO_LoginResult*>(msg->MsgData)->ErrorID == 0) {
    g_logins.fetch_add(1);
  }
  std::string line;
  // System events are always shown, in text unless another format was asked.
  OutputFormat f = g_opt.format == OutputFormat::kNone ? OutputFormat::kText : g_opt.format;
  if (zavo_tail::FormatSystem(*msg, f, &line)) {
    if (g_opt.format == OutputFormat::kNone) {
      std::lock_guard<std::mutex> lock(g_out_mutex);
      std::fprintf(stderr, "[event] %s\n", line.c_str());
    } else {
      print_line(line);
    }
  }
}

void copy_text(char* dst, size_t size, const std::string& src) {
  std::memset(dst, 0, size);
  std::strncpy(dst, src.c_str(), size - 1);
}

const char* error_text(ZAVO_ERROR e) {
  switch (e) {
    case ZAVO_SUCCESS: return "success";
    case ZAVO_ERR_BUSY: return "busy";
    case ZAVO_ERR_INVALID: return "invalid argument or settings";
    case ZAVO_ERR_NETWORK: return "network error (connection, login or multicast join failed)";
  }
  return "unknown error";
}

void query_caches(ZAVO_HANDLE h, bool full) {
  static const char* const kMarkets[] = {"SH", "SZ"};
  for (const char* m : kMarkets) {
    ZAVO_CODEINFO* table = nullptr;
    unsigned int count = 0;
    ZAVO_ERROR e = ZAVO_GetCodeTable(h, m, &table, &count);
    std::printf("[query] %s code table: %u entries (%s)\n", m, count, error_text(e));
    for (unsigned i = 0; i < count && i < (full ? count : 5u); ++i) {
      std::printf("[query]   %-12s %-31s value=%u\n", table[i].KvelCode, table[i].Text,
                  table[i].Value);
    }
    ZAVO_Free(table);

    ZAVO_SecuritySnapShot* snaps = nullptr;
    int n = 0;
    e = ZAVO_GetLastMarketData(h, m, &snaps, &n);
    std::printf("[query] %s last security snapshots: %d (%s)\n", m, n, error_text(e));
    for (int i = 0; i < n && i < (full ? n : 5); ++i) {
      std::printf("[query]   %s last=%lld bid1=%llu ask1=%llu volume=%lld time=%u\n",
                  zavo_tail::MarketCode(snaps[i].Code, snaps[i].ExchangeID).c_str(),
                  static_cast<long long>(snaps[i].MatchPx),
                  static_cast<unsigned long long>(snaps[i].BidPrice[0]),
                  static_cast<unsigned long long>(snaps[i].AskPrice[0]),
                  static_cast<long long>(snaps[i].TotalVolumeTrade), snaps[i].Time);
    }
    ZAVO_Free(snaps);

    ZAVO_IndexSnapShot* idx = nullptr;
    e = ZAVO_GetLastIndexData(h, m, &idx, &n);
    std::printf("[query] %s last index snapshots: %d (%s)\n", m, n, error_text(e));
    ZAVO_Free(idx);
    ZAVO_FutureSnapShot* fut = nullptr;
    e = ZAVO_GetLastFutureData(h, m, &fut, &n);
    std::printf("[query] %s last future snapshots: %d (%s)\n", m, n, error_text(e));
    ZAVO_Free(fut);
  }
  std::fflush(stdout);
}

// The members both settings records share, in the same order.
template <class Setting>
void fill_common(Setting* s) {
  std::memset(s, 0, sizeof(*s));
  s->ConnectID = g_opt.connect_id;
  copy_text(s->MulticastIP, sizeof(s->MulticastIP), g_opt.group_ip);
  s->MulticastPort = g_opt.group_port;
  copy_text(s->LocalIP, sizeof(s->LocalIP), g_opt.interface_ip);
  copy_text(s->ServerIP, sizeof(s->ServerIP), g_opt.server_ip);
  s->ServerPort = g_opt.server_port;
  copy_text(s->UserName, sizeof(s->UserName), g_opt.user);
  copy_text(s->Password, sizeof(s->Password), g_opt.password);
  s->DataHandler = on_data;
  s->SystemHandler = on_system;
  s->CpuID = g_opt.cpu;
}

ZAVO_HANDLE open_session(ZAVO_ERROR* err) {
  if (g_opt.raw) {
    ZAVO_RawOpenSetting s;
    fill_common(&s);
    const std::string markets = g_opt.markets.empty() ? "SH;SZ" : g_opt.markets;
    s.SubscribedMarkets = markets.c_str();
    return ZAVO_OpenRaw(&s, err);
  }
  ZAVO_OpenSetting s;
  fill_common(&s);
  s.SubscribedMarkets = g_opt.markets.c_str();
  s.SubscribedCodes = g_opt.codes.c_str();
  s.SubscribeFlags = g_opt.flags;
  return ZAVO_Open(&s, err);
}

}  // namespace

int main(int argc, char** argv) {
  bool book_error = false;
  g_book = zavo_tail::BookView::FromArgs(&argc, argv, &book_error);
  if (book_error) return 2;
  int rc = zavo_tail::ParseOptions(argc, argv, &g_opt);
  if (rc > 0) return 0;
  if (rc < 0) return 2;
  if (g_book != nullptr && g_book->owns_stdout()) g_opt.format = OutputFormat::kNone;

  struct sigaction sa;
  std::memset(&sa, 0, sizeof(sa));
  sa.sa_handler = on_signal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  if (!g_opt.raw_out.empty()) {
    g_raw_out = std::fopen(g_opt.raw_out.c_str(), "ab");
    if (g_raw_out == nullptr) {
      std::fprintf(stderr, "cannot open %s: %s\n", g_opt.raw_out.c_str(), std::strerror(errno));
      return 1;
    }
  }

  std::fprintf(stderr, "zavo_tail %s: %s mode, server %s:%u, group %s:%u on %s\n",
               ZAVO_Version(), g_opt.raw ? "raw" : "struct", g_opt.server_ip.c_str(),
               g_opt.server_port, g_opt.group_ip.c_str(), g_opt.group_port,
               g_opt.interface_ip.c_str());
  ZAVO_ERROR err = ZAVO_SUCCESS;
  ZAVO_HANDLE h = open_session(&err);
  if (h == nullptr) {
    std::fprintf(stderr, "cannot open the session: %s (%d)\n", error_text(err), err);
    if (g_raw_out) std::fclose(g_raw_out);
    return 1;
  }

  if (g_opt.rebuild) {
    ZAVO_ERROR e = g_opt.raw ? ZAVO_RebuildRawData(h, g_opt.rebuild_market, g_opt.rebuild_begin,
                                                   g_opt.rebuild_end, on_rebuild)
                             : ZAVO_RebuildStructData(h, g_opt.rebuild_begin, g_opt.rebuild_end,
                                                      on_rebuild);
    std::fprintf(stderr, "rebuild %llu:%llu requested: %s\n",
                 static_cast<unsigned long long>(g_opt.rebuild_begin),
                 static_cast<unsigned long long>(g_opt.rebuild_end), error_text(e));
  }

  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  auto last_status = start;
  bool queried = false;
  while (!g_stop.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto now = Clock::now();
    if (g_opt.duration_s > 0 &&
        std::chrono::duration<double>(now - start).count() >= g_opt.duration_s) {
      break;
    }
    if (g_opt.max_records > 0 && g_stats.Total() >= g_opt.max_records) break;
    if (g_book != nullptr) g_book->Tick();
    if (g_opt.query && !queried && !g_opt.raw && g_codes_ready.load()) {
      queried = true;
      std::lock_guard<std::mutex> lock(g_out_mutex);
      query_caches(h, true);
    }
    const double since = std::chrono::duration<double>(now - last_status).count();
    if (g_opt.status && since >= 1.0) {
      last_status = now;
      std::string line = g_stats.StatusLine(since);
      std::lock_guard<std::mutex> lock(g_out_mutex);
      std::fprintf(stderr, "%s\n", line.c_str());
    }
  }

  if (g_opt.summary) {
    std::lock_guard<std::mutex> lock(g_out_mutex);
    std::fflush(stdout);
    std::printf("==== summary ====\n%s\n", g_stats.Summary().c_str());
    if (g_rebuild_stats.Total() > 0) {
      std::printf("rebuilt records: %llu\n", static_cast<unsigned long long>(g_rebuild_stats.Total()));
    }
    std::printf("logins accepted: %llu\n", static_cast<unsigned long long>(g_logins.load()));
    if (!g_opt.raw) query_caches(h, false);
    std::fflush(stdout);
  }

  ZAVO_Close(h);
  ZAVO_Wait(h);
  if (g_book != nullptr) {
    g_book->Finish();
    delete g_book;
  }
  if (g_raw_out) std::fclose(g_raw_out);
  std::fprintf(stderr, "zavo_tail: closed after %llu records\n",
               static_cast<unsigned long long>(g_stats.Total()));
  return 0;
}
