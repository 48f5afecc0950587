#pragma once
// The soak itself: a simulator in this process publishing at a high rate
// while it injects faults, one struct and one raw session open throughout,
// then many open/close cycles, with every check recorded in a SoakReport.
#include <cstdint>
#include <memory>
#include <string>

#include "soak_api.h"
#include "soak_report.h"

namespace zavo {
namespace sim {
class SimServer;
}
}  // namespace zavo

namespace zavo_soak {

class SessionState;

struct SoakOptions {
  int seconds = 120;            // length of the fault phase
  int cycles = 200;             // open/close cycles afterwards
  unsigned rate = 20000;        // struct fields per second
  unsigned raw_rate = 500;      // raw messages per second per exchange
  bool raw = true;              // keep a raw session open too
  bool recover = true;          // and a struct session that recovers gaps itself
  bool verbose = false;         // the simulator's own log on stdout
  int64_t rss_growth_kb = 0;    // allowed peak above the start; 0: default
  int64_t cycle_growth_kb = 0;  // allowed growth over the cycles; 0: default
};

class SoakRun {
 public:
  SoakRun(const SoakOptions& options, const LibApi& api, SoakReport* report);
  ~SoakRun();
  // Runs every phase; false when a check failed.
  bool Run();

 private:
  bool start_server();
  bool refused_opens();
  bool open_long_sessions();
  void fault_round(int round);
  void drop_and_reconnect(const char* why);
  void refuse_then_accept();
  void rebuild_across_drop(int round);
  void query_caches();
  void finish_long_sessions();
  void check_accounting(const SessionState& st, int stream, const char* name,
                        uint64_t at_least_missing);
  void check_recovered_stream(uint64_t skipped_by_server);
  void open_close_cycles();
  void check_log_file();
  void sample_rss();

  ZAVO_HANDLE open_struct(SessionState* st, ZAVO_ERROR* err, uint32_t extra_flags = 0);
  ZAVO_HANDLE open_raw(SessionState* st, ZAVO_ERROR* err);
  void close_session(ZAVO_HANDLE h);
  // Waits until the server has closed its side of every connection and the
  // process is back to `threads`/`fds`; false (with the counts seen) if not.
  bool back_to_baseline(int* threads, int* fds);
  bool wait_logins(uint64_t struct_ok, uint64_t raw_ok, int timeout_ms);

  SoakOptions o_;
  const LibApi& api_;
  SoakReport* rep_;
  std::unique_ptr<zavo::sim::SimServer> sim_;
  std::unique_ptr<SessionState> struct_;
  std::unique_ptr<SessionState> raw_;
  ZAVO_HANDLE struct_h_ = nullptr;
  std::unique_ptr<SessionState> recovering_;  // null without SoakOptions::recover
  ZAVO_HANDLE recovering_h_ = nullptr;
  ZAVO_HANDLE raw_h_ = nullptr;
  bool raw_available_ = false;

  int base_threads_ = 0;
  int base_fds_ = 0;
  int64_t base_rss_kb_ = 0;
  int64_t peak_rss_kb_ = 0;

  // Tallies for the table and the log checks.
  uint64_t sessions_created_ = 0;  // every open attempt that got past the settings
  uint64_t sessions_opened_ = 0;   // successful opens
  uint64_t connects_seen_ = 0;     // system messages of closed sessions
  uint64_t disconnects_seen_ = 0;
  uint64_t drops_ = 0;
  uint64_t rebuilds_sent_ = 0;
  uint64_t rebuilds_verified_ = 0;
  uint64_t rebuilds_busy_after_drop_ = 0;
  uint64_t raw_rebuilds_verified_ = 0;
  uint64_t refusals_seen_ = 0;
  uint64_t queries_ = 0;
  uint64_t slow_rounds_ = 0;
  int rounds_ = 0;
};

}  // namespace zavo_soak
