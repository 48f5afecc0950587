// zavo_sim: runs the market-data server simulator until Ctrl-C, SIGTERM or
// the end of --duration, printing what it does and a status line per second.
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

#include "cli_support.h"
#include "sim_options.h"
#include "sim_replay.h"
#include "sim_server.h"

using zavo::sim::SimCounters;
using zavo::sim::SimOptions;
using zavo::sim::SimServer;

int main(int argc, char** argv) {
  SimOptions opts;
  opts.config.verbose = true;  // the program tells what it does
  std::string error;
  if (!zavo::sim::ParseSimOptions(argc, argv, &opts, &error)) {
    std::fprintf(stderr, "zavo_sim: %s\n(see zavo_sim --help)\n", error.c_str());
    return zavo::cli::kUsageError;
  }
  if (opts.help) {
    std::fputs(zavo::sim::SimUsage("zavo_sim").c_str(), stdout);
    return 0;
  }

  // Signals are taken synchronously by this thread; blocking them before any
  // thread exists keeps them away from the server's threads.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  // A replay that cannot play is a mistake in how the program was started:
  // said at once, before anything listens and clients start to connect.
  if (opts.replay.enabled() && !zavo::sim::SimReplay::CheckFiles(opts.replay.files, &error)) {
    std::fprintf(stderr, "zavo_sim: --replay: %s\n", error.c_str());
    return zavo::cli::kUsageError;
  }

  SimServer server(opts.config);
  int rc = server.Start(&error);
  if (rc != 0) {
    std::fprintf(stderr, "zavo_sim: %s\n", error.c_str());
    return 1;
  }
  std::unique_ptr<zavo::sim::SimReplay> replayer;
  if (opts.replay.enabled()) {
    replayer.reset(new zavo::sim::SimReplay(&server, opts.replay));
    if (!replayer->Start(&error)) {
      std::fprintf(stderr, "zavo_sim: %s\n", error.c_str());
      return 1;
    }
  }

  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  SimCounters prev = server.Counters();
  int stop_signal = 0;
  for (;;) {
    timespec wait = {1, 0};
    if (opts.duration_s > 0) {
      timespec now;
      clock_gettime(CLOCK_MONOTONIC, &now);
      double left =
          opts.duration_s - ((now.tv_sec - start.tv_sec) + (now.tv_nsec - start.tv_nsec) / 1e9);
      if (left <= 0) break;
      if (left < 1) {
        wait.tv_sec = 0;
        wait.tv_nsec = static_cast<long>(left * 1e9);
      }
    }
    int sig = sigtimedwait(&stop_signals, nullptr, &wait);
    if (sig == SIGINT || sig == SIGTERM) {
      stop_signal = sig;
      break;
    }
    SimCounters c = server.Counters();
    std::printf(
        "status: seq %llu (+%llu fields, %llu datagrams), raw SH %llu SZ %llu, "
        "connections %llu open, logins %llu/%llu refused, retransmissions %llu+%llu\n",
        static_cast<unsigned long long>(c.last_seq),
        static_cast<unsigned long long>(c.fields_published - prev.fields_published),
        static_cast<unsigned long long>(c.datagrams_sent - prev.datagrams_sent),
        static_cast<unsigned long long>(c.raw_last_seq[0]),
        static_cast<unsigned long long>(c.raw_last_seq[1]),
        static_cast<unsigned long long>(c.connections - c.disconnections),
        static_cast<unsigned long long>(c.logins_accepted),
        static_cast<unsigned long long>(c.logins_refused),
        static_cast<unsigned long long>(c.retransmit_requests),
        static_cast<unsigned long long>(c.raw_requests));
    std::fflush(stdout);
    prev = c;
  }
  if (stop_signal) {
    std::printf("%s received, stopping\n", stop_signal == SIGINT ? "SIGINT" : "SIGTERM");
  } else {
    std::printf("duration over, stopping\n");
  }
  replayer.reset();
  server.Stop();
  SimCounters c = server.Counters();
  std::printf(
      "published %llu fields in %llu datagrams (%llu send errors), %llu raw messages; "
      "%llu connections, %llu logins\n",
      static_cast<unsigned long long>(c.fields_published),
      static_cast<unsigned long long>(c.datagrams_sent),
      static_cast<unsigned long long>(c.send_errors),
      static_cast<unsigned long long>(c.raw_messages),
      static_cast<unsigned long long>(c.connections),
      static_cast<unsigned long long>(c.logins_accepted));
  if (opts.config.faults.active()) {
    std::printf(
        "faults: %llu datagrams lost (%llu fields), %llu duplicated, %llu reordered; "
        "%llu connections dropped; %llu retransmissions delayed, %llu refused\n",
        static_cast<unsigned long long>(c.datagrams_lost),
        static_cast<unsigned long long>(c.fields_lost),
        static_cast<unsigned long long>(c.datagrams_duplicated),
        static_cast<unsigned long long>(c.datagrams_reordered),
        static_cast<unsigned long long>(c.connections_dropped),
        static_cast<unsigned long long>(c.retransmits_delayed),
        static_cast<unsigned long long>(c.retransmits_refused));
  }
  // Ctrl-C is an interruption, SIGTERM an orderly stop (see exit_status.h).
  return stop_signal == SIGINT ? zavo::kExitInterrupted : 0;
}
