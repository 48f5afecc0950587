// zavo_tail: opens a market-data session and prints what arrives.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "book_view.h"
#include "exit_status.h"
#include "feed_stats.h"
#include "options.h"
#include "pcap_source.h"
#include "record_format.h"
#include "session_watch.h"
#include "zavo_api.h"

namespace {

using zavo_tail::FeedStats;
using zavo_tail::Options;
using zavo_tail::OutputFormat;
using zavo_tail::SessionWatch;

Options g_opt;
FeedStats g_stats;
FeedStats g_rebuild_stats;
std::mutex g_out_mutex;  // g_out is written from the library's threads
std::atomic<bool> g_stop{false};
std::atomic<int> g_signal{0};  // the signal that stopped the run, 0 if none
std::atomic<bool> g_codes_ready{false};
std::atomic<bool> g_rebuild_done{false};
std::atomic<uint64_t> g_logins{0};
std::atomic<uint64_t> g_accepted{0};  // live records let through --max-records
std::atomic<bool> g_opening{true};    // until the session is open
std::atomic<bool> g_closing{false};
FILE* g_raw_out = nullptr;
// Records go here: the original standard output. Descriptor 1 itself is
// pointed at standard error before the session opens, so that what the
// library prints on its own never lands between records.
FILE* g_out = stdout;
// Queries and the summary: with the records in text, on stderr when the
// records are CSV or JSON for a program to read.
FILE* g_human = stdout;
std::string g_refusal;       // the server's reason of the last refused login (g_out_mutex)
std::string g_open_failure;  // why the open failed, as the library said (g_out_mutex)
bool g_csv_header_done[FeedStats::kKinds] = {};  // g_out_mutex
zavo_tail::BookView* g_book = nullptr;           // --book / --book-check
SessionWatch* g_watch = nullptr;                 // live sessions

// Ctrl-C is an interruption, SIGTERM an orderly stop: the same statuses
// whether the session is still logging in or already streaming.
int status_of_signal(int sig) {
  return sig == SIGINT ? zavo::kExitInterrupted : zavo::kExitOk;
}

void on_signal(int sig) {
  if (g_opening.load() && g_logins.load() == 0) {
    // Opening blocks until the login is answered (up to 15 s): give up at
    // once instead. Once a login was accepted the open is a join away from
    // returning, and the session then ends as it does when streaming.
    // Only async-signal-safe calls here.
    static const char kMsg[] = "zavo_tail: interrupted while opening the session\n";
    ssize_t ignored = write(2, kMsg, sizeof(kMsg) - 1);
    (void)ignored;
    _exit(status_of_signal(sig));
  }
  g_signal.store(sig);
  g_stop.store(true);
}

void print_line(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_out_mutex);
  std::fwrite(line.data(), 1, line.size(), g_out);
  std::fputc('\n', g_out);
}

// CSV: each kind has its own columns, announced by a header line before its
// first record, so that a reader can split the stream by the first column.
void print_csv(const ZAVO_MSG& msg, const std::string& line) {
  const int slot = FeedStats::SlotOf(msg.MsgType);
  std::lock_guard<std::mutex> lock(g_out_mutex);
  if (slot >= 0 && !g_csv_header_done[slot]) {
    g_csv_header_done[slot] = true;
    std::string header;
    if (zavo_tail::FormatRecord(msg, OutputFormat::kCsvHeader, &header)) {
      std::fwrite(header.data(), 1, header.size(), g_out);
      std::fputc('\n', g_out);
    }
  }
  std::fwrite(line.data(), 1, line.size(), g_out);
  std::fputc('\n', g_out);
}

void deliver(const ZAVO_MSG* msg, FeedStats* stats, const char* prefix) {
  if (g_closing.load(std::memory_order_relaxed)) return;
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
    if (g_opt.format == OutputFormat::kCsv) {
      print_csv(*msg, line);
    } else {
      print_line(line);
    }
  }
}

// A lost range comes among the records, in its place in the sequence;
// shown like a system event (in the stream in text and JSON, on stderr
// beside CSV).
void on_lost(const ZAVO_MSG* msg) {
  if (g_closing.load(std::memory_order_relaxed)) return;
  g_stats.OnLost(*static_cast<const ZAVO_LostRange*>(msg->MsgData));
  if (g_opt.format == OutputFormat::kNone) return;
  const bool aside = g_opt.format == OutputFormat::kCsv;
  std::string line;
  if (!zavo_tail::FormatSystem(*msg, aside ? OutputFormat::kText : g_opt.format, &line)) return;
  if (aside) {
    std::lock_guard<std::mutex> lock(g_out_mutex);
    std::fprintf(stderr, "[event] %s\n", line.c_str());
  } else {
    print_line(line);
  }
}

void on_data(void*, const ZAVO_MSG* msg) {
  if (msg->MsgType == ZAVO_MSG_LOST_RANGE) {
    on_lost(msg);
    return;
  }
  // The book sees every message, also those past --max-records: a book
  // that missed some would disagree with the next snapshot.
  if (g_book != nullptr) g_book->OnMessage(msg);
  if (g_watch != nullptr) g_watch->OnData(msg);
  if (g_opt.max_records > 0 && FeedStats::SlotOf(msg->MsgType) >= 0) {
    // Records keep arriving between the last one wanted and the close:
    // exactly N are shown and counted, the rest are dropped here.
    const uint64_t n = g_accepted.fetch_add(1) + 1;
    if (n > g_opt.max_records) return;
    if (n == g_opt.max_records) g_stop.store(true);
  }
  deliver(msg, &g_stats, nullptr);
}

void on_rebuild(void*, const ZAVO_MSG* msg) {
  deliver(msg, &g_rebuild_stats, "rebuild ");
}

void on_system(void*, const ZAVO_MSG* msg) {
  if (msg->MsgType == ZAVO_MSG_FEED_STATS) {
    g_stats.SetHealth(*static_cast<const ZAVO_FeedStats*>(msg->MsgData));
    // A line a second: in JSON only; text shows them in the status line.
    if (g_opt.format != OutputFormat::kJson) return;
  }
  if (msg->MsgType == ZAVO_MSG_BASEINFO_FINISH) g_codes_ready.store(true);
  if (msg->MsgType == ZAVO_MSG_REBUILD_FINISH) g_rebuild_done.store(true);
  if (msg->MsgType == ZAVO_MSG_OPEN_FAILED && msg->MsgSize >= sizeof(ZAVO_OpenFailure)) {
    const auto* f = static_cast<const ZAVO_OpenFailure*>(msg->MsgData);
    std::lock_guard<std::mutex> lock(g_out_mutex);
    g_open_failure.assign(f->Reason, strnlen(f->Reason, sizeof(f->Reason)));
    return;  // said once, when the open returns
  }
  if (msg->MsgType == ZAVO_MSG_LOGIN) {
    const auto* r = static_cast<const ZAVO_LoginResult*>(msg->MsgData);
    if (r->ErrorID == 0) {
      g_logins.fetch_add(1);
      std::lock_guard<std::mutex> lock(g_out_mutex);
      g_refusal.clear();
    } else {
      char text[sizeof(r->ErrorMsg) + 1];
      std::memcpy(text, r->ErrorMsg, sizeof(r->ErrorMsg));
      text[sizeof(r->ErrorMsg)] = '\0';
      std::lock_guard<std::mutex> lock(g_out_mutex);
      g_refusal = "error=" + std::to_string(r->ErrorID) + " message=" + text;
    }
  }
  std::string line;
  // System events are always shown: among the records in text and JSON, on
  // stderr in text otherwise, so that a CSV stream holds only records.
  const bool aside = g_opt.format == OutputFormat::kNone || g_opt.format == OutputFormat::kCsv;
  OutputFormat f = aside ? OutputFormat::kText : g_opt.format;
  if (zavo_tail::FormatSystem(*msg, f, &line)) {
    if (aside) {
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
    case ZAVO_SUCCESS:
      return "success";
    case ZAVO_ERR_BUSY:
      return "busy";
    case ZAVO_ERR_INVALID:
      return "invalid argument or settings";
    case ZAVO_ERR_NETWORK:
      return "network error (connection, login or multicast join failed)";
  }
  return "unknown error";
}

void query_caches(ZAVO_HANDLE h, bool full) {
  static const char* const kMarkets[] = {"SH", "SZ"};
  for (const char* m : kMarkets) {
    ZAVO_CODEINFO* table = nullptr;
    unsigned int count = 0;
    ZAVO_ERROR e = ZAVO_GetCodeTable(h, m, &table, &count);
    std::fprintf(g_human, "[query] %s code table: %u entries (%s)\n", m, count, error_text(e));
    for (unsigned i = 0; i < count && i < (full ? count : 5u); ++i) {
      std::fprintf(g_human, "[query]   %-12s %-31s value=%u\n", table[i].KvelCode, table[i].Text,
                   table[i].Value);
    }
    ZAVO_Free(table);

    ZAVO_SecuritySnapShot* snaps = nullptr;
    int n = 0;
    e = ZAVO_GetLastMarketData(h, m, &snaps, &n);
    std::fprintf(g_human, "[query] %s last security snapshots: %d (%s)\n", m, n, error_text(e));
    for (int i = 0; i < n && i < (full ? n : 5); ++i) {
      std::fprintf(g_human, "[query]   %s last=%lld bid1=%llu ask1=%llu volume=%lld time=%u\n",
                   zavo_tail::MarketCode(snaps[i].Code, snaps[i].ExchangeID).c_str(),
                   static_cast<long long>(snaps[i].MatchPx),
                   static_cast<unsigned long long>(snaps[i].BidPrice[0]),
                   static_cast<unsigned long long>(snaps[i].AskPrice[0]),
                   static_cast<long long>(snaps[i].TotalVolumeTrade), snaps[i].Time);
    }
    ZAVO_Free(snaps);

    ZAVO_IndexSnapShot* idx = nullptr;
    e = ZAVO_GetLastIndexData(h, m, &idx, &n);
    std::fprintf(g_human, "[query] %s last index snapshots: %d (%s)\n", m, n, error_text(e));
    ZAVO_Free(idx);
    ZAVO_FutureSnapShot* fut = nullptr;
    e = ZAVO_GetLastFutureData(h, m, &fut, &n);
    std::fprintf(g_human, "[query] %s last future snapshots: %d (%s)\n", m, n, error_text(e));
    ZAVO_Free(fut);
  }
  std::fflush(g_human);
}

// The members both settings records share, in the same order.
template <class Setting>
void fill_common(Setting* s) {
  std::memset(s, 0, sizeof(*s));
  s->ConnectID = g_opt.connect_id;
  copy_text(s->MulticastIP, sizeof(s->MulticastIP), g_opt.group.ip);
  s->MulticastPort = g_opt.group.port;
  copy_text(s->LocalIP, sizeof(s->LocalIP), g_opt.interface_ip);
  copy_text(s->ServerIP, sizeof(s->ServerIP), g_opt.server.ip);
  s->ServerPort = g_opt.server.port;
  copy_text(s->UserName, sizeof(s->UserName), g_opt.user);
  copy_text(s->Password, sizeof(s->Password), g_opt.password);
  s->DataHandler = on_data;
  s->SystemHandler = on_system;
#ifndef _WIN32
  s->CpuID = g_opt.cpu;  // the Windows settings have no CpuID
#endif
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
  if (g_opt.recover) s.SubscribeFlags |= ZAVO_FLAG_RECOVER_GAPS | ZAVO_FLAG_FEED_STATS;
  if (g_opt.stats) s.SubscribeFlags |= ZAVO_FLAG_FEED_STATS;
  return ZAVO_Open(&s, err);
}

// --pcap: the capture's records through the same handler, then the summary.
int run_offline() {
  zavo_tail::PcapResult r;
  if (!zavo_tail::DecodePcap(g_opt.pcap, g_opt, g_opt.pcap_by_group, on_data, &r)) {
    // Missing, unreadable or not a capture: an input error, like a bad option.
    std::fprintf(stderr, "zavo_tail: %s\n", r.error.c_str());
    return zavo::kExitUsage;
  }
  std::fflush(g_out);
  if (!r.complete) {
    std::fprintf(stderr, "zavo_tail: %s; the records before it were decoded\n", r.error.c_str());
  }
  std::fprintf(g_human, "==== summary ====\n%s\n", g_stats.Summary().c_str());
  std::fprintf(g_human, "capture: %llu packets, %llu datagrams decoded, %llu passed over%s\n",
               static_cast<unsigned long long>(r.packets),
               static_cast<unsigned long long>(r.datagrams),
               static_cast<unsigned long long>(r.passed), r.complete ? "" : ", file damaged");
  std::fflush(g_human);
  return r.complete ? zavo::kExitOk : zavo::kExitFailure;
}

// --book needs a stock the code tables know: checked once they arrived, and
// against the snapshots that show an index or a future. "" while it holds.
std::string book_code_problem(ZAVO_HANDLE h, bool* table_checked) {
  if (g_opt.book_code.empty()) return "";
  if (!*table_checked && g_codes_ready.load()) {
    *table_checked = true;
    ZAVO_CODEINFO* table = nullptr;
    unsigned int count = 0;
    const ZAVO_ERROR e =
        ZAVO_GetCodeTable(h, g_opt.book_exchange == '1' ? "SH" : "SZ", &table, &count);
    std::string why = e == ZAVO_SUCCESS ? g_watch->CheckBookCode(table, count) : "";
    ZAVO_Free(table);
    if (!why.empty()) return why;
  }
  return g_watch->BookKindError();
}

}  // namespace

int main(int argc, char** argv) {
  int rc = zavo_tail::ParseOptions(argc, argv, &g_opt);
  if (rc > 0) return 0;
  if (rc < 0) return zavo::cli::kUsageError;
  g_stats.SetFiltered(g_opt.Filtered());
  const bool status = g_opt.status == Options::Status::kOn ||
                      (g_opt.status == Options::Status::kAuto && isatty(2) == 1);

  if (!g_opt.raw_out.empty()) {
    g_raw_out = std::fopen(g_opt.raw_out.c_str(), "ab");
    if (g_raw_out == nullptr) {
      std::fprintf(stderr, "zavo_tail: cannot open %s: %s\n", g_opt.raw_out.c_str(),
                   std::strerror(errno));
      return 1;
    }
  }
  // Keep the original standard output for the records, then point
  // descriptor 1 at standard error for the library's own lines.
  std::fflush(stdout);
  const int out_fd = dup(1);
  if (out_fd < 0 || (g_out = fdopen(out_fd, "w")) == nullptr || dup2(2, 1) < 0) {
    std::fprintf(stderr, "zavo_tail: cannot set up the output: %s\n", std::strerror(errno));
    return 1;
  }
  g_human =
      g_opt.format == OutputFormat::kCsv || g_opt.format == OutputFormat::kJson ? stderr : g_out;
  if (zavo_tail::BookView::Wanted(g_opt)) {
    g_book = zavo_tail::BookView::Create(g_opt, g_out);
    if (g_book == nullptr) {
      std::fprintf(stderr, "zavo_tail: cannot create the book: out of memory\n");
      return 1;
    }
    // The ladder takes the place of the records on standard output.
    if (g_book->owns_stdout()) {
      g_opt.format = OutputFormat::kNone;
      g_human = stderr;
    }
  }
  // A capture file goes through the same handler, book and summary as a
  // live session; there is no session to open.
  if (!g_opt.pcap.empty()) {
    const int offline_rc = run_offline();
    if (g_book != nullptr) {
      g_book->Finish();
      delete g_book;
      g_book = nullptr;
    }
    std::fflush(g_out);
    if (g_raw_out) std::fclose(g_raw_out);
    return offline_rc;
  }

#ifdef _WIN32
  signal(SIGINT, on_signal);
  signal(SIGTERM, on_signal);
#else
  struct sigaction sa;
  std::memset(&sa, 0, sizeof(sa));
  sa.sa_handler = on_signal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
#endif

  std::fprintf(stderr, "zavo_tail %s: %s mode, server %s, group %s on %s\n", ZAVO_Version(),
               g_opt.raw ? "raw" : "struct", g_opt.server.ToString().c_str(),
               g_opt.group.ToString().c_str(), g_opt.interface_ip.c_str());
  ZAVO_ERROR err = ZAVO_SUCCESS;
  // Data may arrive before the open returns: the watch exists first.
  SessionWatch watch(g_opt, std::chrono::steady_clock::now());
  g_watch = &watch;
  ZAVO_HANDLE h = open_session(&err);
  g_opening.store(false);
  if (h == nullptr) {
    std::string refusal, why;
    {
      std::lock_guard<std::mutex> lock(g_out_mutex);
      refusal = g_refusal;
      why = g_open_failure;
    }
    if (!refusal.empty()) {
      std::fprintf(stderr, "zavo_tail: login refused by the server: %s\n", refusal.c_str());
    } else if (!why.empty()) {
      std::fprintf(stderr, "zavo_tail: cannot open the session: %s (%d)\n", why.c_str(), err);
    } else {
      std::fprintf(stderr, "zavo_tail: cannot open the session: %s (%d)\n", error_text(err), err);
    }
    if (g_raw_out) std::fclose(g_raw_out);
    return zavo::kExitFailure;
  }

  if (g_opt.rebuild) {
    ZAVO_ERROR e =
        g_opt.raw ? ZAVO_RebuildRawData(h, g_opt.rebuild_market, g_opt.rebuild_begin,
                                        g_opt.rebuild_end, on_rebuild)
                  : ZAVO_RebuildStructData(h, g_opt.rebuild_begin, g_opt.rebuild_end, on_rebuild);
    std::fprintf(stderr, "rebuild %llu:%llu requested: %s\n",
                 static_cast<unsigned long long>(g_opt.rebuild_begin),
                 static_cast<unsigned long long>(g_opt.rebuild_end), error_text(e));
  }

  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  auto last_status = start;
  bool queried = false;
  bool book_table_checked = false;
  std::string usage_problem;  // found while running: ends the run with status 2
  while (!g_stop.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto now = Clock::now();
    if (g_opt.duration_s > 0 &&
        std::chrono::duration<double>(now - start).count() >= g_opt.duration_s) {
      break;
    }
    if (g_book != nullptr) g_book->Tick();
    usage_problem = book_code_problem(h, &book_table_checked);
    if (!usage_problem.empty()) break;
    const std::string note = watch.Tick(now);
    if (!note.empty()) {
      std::lock_guard<std::mutex> lock(g_out_mutex);
      std::fprintf(stderr, "%s\n", note.c_str());
    }
    if (g_opt.query && !queried && !g_opt.raw && g_codes_ready.load()) {
      queried = true;
      std::lock_guard<std::mutex> lock(g_out_mutex);
      std::fflush(g_out);
      query_caches(h, true);
    }
    const double since = std::chrono::duration<double>(now - last_status).count();
    if (status && since >= 1.0) {
      last_status = now;
      std::string line = g_stats.StatusLine(since);
      std::lock_guard<std::mutex> lock(g_out_mutex);
      std::fprintf(stderr, "%s\n", line.c_str());
    }
  }

  // From here on records are dropped, so that the summary describes
  // exactly what was shown; the session stays open for the cache query.
  g_closing.store(true);
  if (!usage_problem.empty()) {
    std::lock_guard<std::mutex> lock(g_out_mutex);
    std::fprintf(stderr, "zavo_tail: %s\n(see zavo_tail --help)\n", usage_problem.c_str());
  }
  if (g_opt.summary && usage_problem.empty()) {
    std::lock_guard<std::mutex> lock(g_out_mutex);
    std::fflush(g_out);
    std::fprintf(g_human, "==== summary ====\n%s\n", g_stats.Summary().c_str());
    if (g_rebuild_stats.Total() > 0) {
      std::fprintf(g_human, "rebuilt records: %llu\n",
                   static_cast<unsigned long long>(g_rebuild_stats.Total()));
    }
    std::fprintf(g_human, "logins accepted: %llu\n",
                 static_cast<unsigned long long>(g_logins.load()));
    const std::string quiet = watch.SummaryLine(Clock::now());
    if (!quiet.empty()) std::fprintf(g_human, "%s\n", quiet.c_str());
    if (!g_opt.raw) query_caches(h, false);
    std::fflush(g_human);
  }
  ZAVO_Close(h);
  ZAVO_Wait(h);
  g_watch = nullptr;
  if (g_book != nullptr) {
    g_book->Finish();
    delete g_book;
  }
  std::fflush(g_out);
  if (g_raw_out) std::fclose(g_raw_out);
  std::fprintf(stderr, "zavo_tail: closed after %llu records\n",
               static_cast<unsigned long long>(g_stats.Total()));
  if (!usage_problem.empty()) return zavo::kExitUsage;
  return status_of_signal(g_signal.load());
}
