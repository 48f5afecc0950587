// bench_recovery: what gap recovery costs and how fast it repairs a lossy
// feed. One struct session at a time against the in-process simulator; the
// benchmark publishes the feed itself, a batch every millisecond, and notes
// when each batch was handed to the simulator. A record's delay is its
// data-handler call minus that moment.
//
// Per rate (20,000 and 100,000 fields/s) the runs are:
//   off        recovery off, no loss: the floor
//   on         recovery on, no loss: the cost on records with no gap pending
//   loss 0.1%, loss 1%, burst 10/1000: recovery on, datagrams lost at the sender
// and it prints, against the floor of the same rate: holes left (numbers
// neither delivered nor reported lost; target 0), delay p50/p99/p99.9 and
// their ratio, the processing thread's CPU time per record as a ratio, and
// the most bytes recovery held.
//
//   bench_recovery [--quick] [--seconds S] [--rounds N]
#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "sim_server.h"
#include "support/bench_setting.h"
#include "support/bench_stats.h"
#include "support/netns.h"
#include "zavo_api.h"

namespace {

using zavo::bench::mono_ns;
using zavo::bench::quantile;
using zavo::bench::ratio;

struct Scenario {
  const char* name;
  bool recover;
  double loss;
  unsigned burst_lost;
  unsigned burst_period;
};

// What one run saw; written by the session's threads, read after Wait.
struct Run {
  std::vector<int64_t> posted_ns;     // per batch: when it was handed over
  std::vector<int64_t> delivered_ns;  // per sequence number: when delivered (0: not)
  std::vector<char> lost;             // per sequence number: inside a lost range
  unsigned batch = 0;
  std::atomic<uint64_t> first_seq{0};
  std::atomic<uint64_t> last_seq{0};
  std::atomic<uint64_t> records{0};
  std::atomic<uint64_t> lost_ranges{0};
  std::atomic<uint64_t> held_peak{0};
  std::atomic<uint64_t> recovered{0};
  int64_t cpu_start_ns = -1;  // processing thread
  int64_t cpu_end_ns = 0;
};

Run* g_run = nullptr;

int64_t thread_cpu() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void on_data(void*, const ZAVO_MSG* m) {
  Run& r = *g_run;
  const int64_t now = mono_ns();
  if (r.cpu_start_ns < 0) r.cpu_start_ns = thread_cpu();
  if (m->MsgType == ZAVO_MSG_LOST_RANGE) {
    const auto* l = static_cast<const ZAVO_LostRange*>(m->MsgData);
    for (uint64_t s = l->BeginSeq; s < l->EndSeq && s < r.lost.size(); ++s) r.lost[s] = 1;
    r.lost_ranges.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  const uint64_t seq = m->SeqNum;
  if (seq >= r.delivered_ns.size()) return;
  r.delivered_ns[seq] = now;
  if (r.first_seq.load(std::memory_order_relaxed) == 0) r.first_seq.store(seq);
  r.last_seq.store(seq, std::memory_order_relaxed);
  r.records.fetch_add(1, std::memory_order_relaxed);
  r.cpu_end_ns = thread_cpu();
}

void on_system(void*, const ZAVO_MSG* m) {
  if (m->MsgType != ZAVO_MSG_FEED_STATS) return;
  const auto* s = static_cast<const ZAVO_FeedStats*>(m->MsgData);
  g_run->held_peak.store(s->HeldPeakBytes);
  g_run->recovered.store(s->Recovered);
}

struct Result {
  uint64_t records = 0;
  uint64_t holes = 0;
  uint64_t lost = 0;
  uint64_t recovered = 0;
  double p50_us = 0, p99_us = 0, p999_us = 0;
  double cpu_ns_per_record = 0;
  uint64_t held_peak = 0;
  bool ok = false;
};

Result run_once(const Scenario& sc, unsigned rate, double seconds, int port) {
  Result res;
  zavo::sim::SimConfig cfg;
  cfg.listen_port = 0;
  cfg.group = "239.255.9.1";
  cfg.port = port;
  cfg.raw_port = port + 1;
  cfg.rate = 0;  // the benchmark publishes
  cfg.raw_rate = 0;
  cfg.heartbeat_ms = 3600 * 1000;
  cfg.seed = 5;
  cfg.faults.loss = sc.loss;
  cfg.faults.burst_lost = sc.burst_lost;
  cfg.faults.burst_period = sc.burst_period;
  cfg.history = 1000000;
  zavo::sim::SimServer sim(cfg);
  std::string why;
  if (sim.Start(&why) != 0) {
    std::fprintf(stderr, "simulator: %s\n", why.c_str());
    return res;
  }
  const unsigned batch = std::max(1u, rate / 1000);
  const size_t batches = static_cast<size_t>(seconds * 1000);
  Run run;
  run.batch = batch;
  run.posted_ns.assign(batches + 1, 0);
  run.delivered_ns.assign(batches * batch + batch + 16, 0);
  run.lost.assign(run.delivered_ns.size(), 0);
  g_run = &run;

  ZAVO_OpenSetting s =
      zavo::bench::BenchSetting(1, cfg.group.c_str(), port, sim.ListenPort(), on_data, on_system);
  if (sc.recover) s.SubscribeFlags |= ZAVO_FLAG_RECOVER_GAPS | ZAVO_FLAG_FEED_STATS;
  ZAVO_ERROR err;
  ZAVO_HANDLE h = ZAVO_Open(&s, &err);
  if (h == nullptr) {
    std::fprintf(stderr, "open failed: %d\n", static_cast<int>(err));
    return res;
  }
  // A batch a millisecond, on the clock: a late step publishes its batch at
  // once rather than sleeping again.
  const int64_t start = mono_ns();
  for (size_t b = 0; b < batches; ++b) {
    const int64_t due = start + static_cast<int64_t>(b) * 1000000;
    int64_t now = mono_ns();
    if (due > now) {
      const timespec pause{0, static_cast<long>(due - now)};
      nanosleep(&pause, nullptr);  // the load's pacing, not a synchronisation
    }
    run.posted_ns[b] = mono_ns();
    sim.PublishNow(batch);
  }
  const uint64_t published = static_cast<uint64_t>(batches) * batch;
  // A loss at the very end shows only with a later datagram: a few more
  // batches, not timed, until the stream has passed the timed ones.
  for (int extra = 0; extra < 200 && run.last_seq.load() < published; ++extra) {
    sim.PublishNow(batch);
    const timespec pause{0, 5 * 1000000};
    nanosleep(&pause, nullptr);
  }
  if (sc.recover) {
    // The counters of the last second.
    const timespec pause{1, 100 * 1000000};
    nanosleep(&pause, nullptr);
  }
  ZAVO_Close(h);
  ZAVO_Wait(h);
  sim.Stop();

  const uint64_t first = run.first_seq.load();
  std::vector<int64_t> delays;
  delays.reserve(published);
  for (uint64_t q = first; q <= published && q > 0; ++q) {
    if (run.delivered_ns[q] != 0) {
      const int64_t posted = run.posted_ns[(q - 1) / batch];
      delays.push_back(run.delivered_ns[q] - posted);
    } else if (!run.lost[q]) {
      ++res.holes;
    } else {
      ++res.lost;
    }
  }
  res.records = delays.size();
  if (delays.empty()) return res;
  res.p50_us = quantile(delays, 0.5) / 1e3;
  res.p99_us = quantile(delays, 0.99) / 1e3;
  res.p999_us = quantile(delays, 0.999) / 1e3;
  const uint64_t all = run.records.load();
  res.cpu_ns_per_record =
      all > 0 ? static_cast<double>(run.cpu_end_ns - run.cpu_start_ns) / static_cast<double>(all)
              : 0;
  res.held_peak = run.held_peak.load();
  res.recovered = run.recovered.load();
  res.ok = true;
  return res;
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  double seconds = 3;
  int rounds = 3;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      quick = true;
      seconds = 0.3;
      rounds = 1;
    } else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: bench_recovery [--quick] [--seconds S] [--rounds N]\n");
      return 2;
    }
  }
  std::string why;
  if (!zavo::test::enter_private_netns(&why)) {
    std::fprintf(stderr, "bench_recovery: no private network namespace: %s\n", why.c_str());
    return 1;
  }
  const Scenario scenarios[] = {
      {"off", false, 0, 0, 0},
      {"on", true, 0, 0, 0},
      {"loss 0.1%", true, 0.001, 0, 0},
      {"loss 1%", true, 0.01, 0, 0},
      {"burst 10/1000", true, 0, 10, 1000},
  };
  const unsigned rates[] = {20000, 100000};
  const size_t kScenarios = sizeof(scenarios) / sizeof(scenarios[0]);
  std::printf(
      "bench_recovery: %.1f s per run, %d rounds (runs interleaved, medians shown), a batch "
      "every ms; delay = handler call - hand-over\n",
      seconds, rounds);
  int port = 17601;
  bool failed = false;
  for (unsigned rate : rates) {
    if (quick && rate != rates[0]) break;
    std::vector<std::vector<Result>> got(kScenarios);
    for (int round = 0; round < rounds; ++round) {
      for (size_t i = 0; i < kScenarios; ++i) {
        const Result r = run_once(scenarios[i], rate, seconds, port);
        port += 4;
        if (!r.ok || (scenarios[i].recover && r.holes != 0)) failed = true;
        if (r.ok) got[i].push_back(r);
      }
    }
    // Medians over the rounds, each figure on its own.
    auto median = [](std::vector<Result> v, auto member) {
      std::vector<double> x;
      for (const Result& r : v) x.push_back(static_cast<double>(r.*member));
      return quantile(x, 0.5);
    };
    std::printf("\n%u fields/s\n", rate);
    std::printf("%-14s %9s %6s %6s %9s %9s %9s %9s %7s %7s %8s %8s %10s\n", "run", "records",
                "holes", "lost", "recovered", "p50 us", "p99 us", "p99.9 us", "p50 x", "p99 x",
                "cpu ns/r", "cpu x", "held peak");
    const double floor_p50 = got[0].empty() ? 0 : median(got[0], &Result::p50_us);
    const double floor_p99 = got[0].empty() ? 0 : median(got[0], &Result::p99_us);
    const double floor_cpu = got[0].empty() ? 0 : median(got[0], &Result::cpu_ns_per_record);
    for (size_t i = 0; i < kScenarios; ++i) {
      if (got[i].empty()) {
        std::printf("%-14s failed\n", scenarios[i].name);
        continue;
      }
      uint64_t holes = 0;
      for (const Result& r : got[i]) holes = std::max(holes, r.holes);  // the worst round
      const double p50 = median(got[i], &Result::p50_us);
      const double p99 = median(got[i], &Result::p99_us);
      const double cpu = median(got[i], &Result::cpu_ns_per_record);
      std::printf(
          "%-14s %9.0f %6llu %6.0f %9.0f %9.1f %9.1f %9.1f %7.2f %7.2f %8.0f %8.2f %10.0f\n",
          scenarios[i].name, median(got[i], &Result::records),
          static_cast<unsigned long long>(holes), median(got[i], &Result::lost),
          median(got[i], &Result::recovered), p50, p99, median(got[i], &Result::p999_us),
          ratio(p50, floor_p50), ratio(p99, floor_p99), cpu, ratio(cpu, floor_cpu),
          median(got[i], &Result::held_peak));
    }
  }
  if (failed) std::printf("\nFAILED: a run failed or left holes\n");
  return failed ? 1 : 0;
}
