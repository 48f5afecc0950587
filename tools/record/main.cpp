// zavo_record: records multicast feeds into capture files until Ctrl-C,
// SIGTERM or the end of --duration, with a status line per second.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "cli_support.h"
#include "feed_recorder.h"
#include "record_options.h"

namespace {

volatile sig_atomic_t g_signal = 0;

void on_signal(int sig) {
  g_signal = sig;
}

double mono_s() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  zavo::record::RecordOptions opts;
  std::string error;
  if (!zavo::record::ParseRecordOptions(argc, argv, &opts, &error)) {
    std::fprintf(stderr, "zavo_record: %s\n(see zavo_record --help)\n", error.c_str());
    return zavo::cli::kUsageError;
  }
  if (opts.help) {
    std::fputs(zavo::record::RecordUsage("zavo_record").c_str(), stdout);
    return 0;
  }
  // No SA_RESTART: a signal ends the poll at once, and the loop flushes.
  struct sigaction sa;
  std::memset(&sa, 0, sizeof(sa));
  sa.sa_handler = on_signal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  // A capture is often the only copy of a morning: it is replaced only
  // when asked for, and that is a matter of how the program was started.
  const std::string first = zavo::record::FeedRecorder::FirstFile(opts.recorder);
  if (!opts.recorder.overwrite && access(first.c_str(), F_OK) == 0) {
    std::fprintf(stderr, "zavo_record: %s exists; --force replaces it\n(see zavo_record --help)\n",
                 first.c_str());
    return zavo::cli::kUsageError;
  }
  zavo::record::FeedRecorder recorder(opts.recorder);
  if (!recorder.Start(&error)) {
    std::fprintf(stderr, "zavo_record: %s\n", error.c_str());
    return 1;
  }
  std::fprintf(stderr, "zavo_record: recording");
  for (const std::string& g : opts.recorder.groups) std::fprintf(stderr, " %s", g.c_str());
  std::fprintf(stderr, " on %s into %s\n", opts.recorder.interface_ip.c_str(),
               recorder.current_file().c_str());

  const double start = mono_s();
  double last_status = start;
  zavo::record::RecorderCounts prev;
  int rc = 0;
  while (g_signal == 0) {
    const double now = mono_s();
    if (opts.duration_s > 0 && now - start >= opts.duration_s) break;
    if (!recorder.Poll(100, &error)) {
      std::fprintf(stderr, "zavo_record: %s\n", error.c_str());
      rc = 1;
      break;
    }
    if (now - last_status >= 1.0) {
      const zavo::record::RecorderCounts c = recorder.Counts();
      // Also makes a file that is read while it grows current to the second.
      (void)recorder.Flush();
      if (opts.status) {
        std::printf("status: +%llu datagrams +%llu B, file %s; %s\n",
                    static_cast<unsigned long long>(c.datagrams - prev.datagrams),
                    static_cast<unsigned long long>(c.bytes - prev.bytes),
                    recorder.current_file().c_str(), recorder.gaps().Line().c_str());
        std::fflush(stdout);
      }
      prev = c;
      last_status = now;
    }
  }
  if (g_signal != 0) {
    std::fprintf(stderr, "zavo_record: %s received, flushing\n",
                 g_signal == SIGINT ? "SIGINT" : "SIGTERM");
  }
  if (!recorder.Stop()) {
    std::fprintf(stderr, "zavo_record: the last packets could not be written\n");
    rc = 1;
  }
  const zavo::record::RecorderCounts c = recorder.Counts();
  std::printf("recorded %llu datagrams, %llu B in %zu file(s):",
              static_cast<unsigned long long>(c.datagrams),
              static_cast<unsigned long long>(c.bytes), recorder.files().size());
  for (const std::string& f : recorder.files()) std::printf(" %s", f.c_str());
  std::printf("\n%s\n", recorder.gaps().Line().c_str());
  // Ctrl-C is an interruption (see exit_status.h), even though the file is whole.
  if (rc == 0 && g_signal == SIGINT) rc = zavo::kExitInterrupted;
  return rc;
}
