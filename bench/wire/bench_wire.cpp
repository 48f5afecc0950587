// Wire to callback, inside a private network namespace: a publisher sends
// struct packets of one security snapshot each, stamped with the send time,
// at a fixed rate (wire_feed.h); receivers, one at a time, compute the delay
// from the stamp to the moment their code sees the record:
//   (a) floor:   a bare thread polling a non-blocking socket with recvfrom
//   (a') the same thread blocking in recvfrom, where the scheduler lets it
//        share the publisher's core; (a'') the same pinned to another core
//        than the publisher: the price of waking a thread on an idle core,
//        which any receiver that blocks pays in a real deployment (the
//        datagram arrives on some other core)
//   (b) backoff: a struct session of the client library, backoff strategy
//   (c) spin:    the same in the spin strategy
//   (d) libuv:   a libuv UDP receiver on an event loop
// With --pinned also: (a*) the polling floor pinned to core 1 with the
// publisher on core 0, and (c*) a spin session whose read thread is pinned
// to core 1 (CpuID 1) with the publisher on core 0; its processing thread
// is not pinned and shares the cores with both.
// The sessions use a build of the shared library through its C interface:
// by default the one built beside this program, or --library PATH. With
// --base-library PATH the sessions of a second build (say, the one before a
// change) run too, in the same rounds, alternating with the first, so that
// both are measured against the same floors under the same load.
//
// For each receiver: the rate the publisher actually sent, p50, p99, p99.9
// and max delay, datagrams lost, and the receive-side CPU (the process's CPU
// time during the receiver's rounds minus the publisher thread's, in cores),
// then the ratios against the floors. Rounds alternate the receivers so that
// machine noise hits all of them alike. --check then holds the backoff
// session to its targets (wire_targets.cpp) and exits with 3 if one is
// missed or could not be measured; it is for a person at a quiet machine,
// not for CI: timing on a shared machine is no test.
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim_server.h"
#include "support/bench_stats.h"
#include "support/login_server.h"
#include "support/netns.h"
#include "support/session_library.h"
#include "util/helpers.h"
#include "wire_feed.h"
#include "wire_receivers.h"
#include "wire_targets.h"

namespace {

using namespace zavo;
using namespace zavo::bench;

const std::vector<unsigned> kDefaultRates = {10000, 100000, 200000};

struct Totals {
  std::vector<int64_t> delays;
  uint64_t sent = 0;
  uint64_t failed = 0;
  uint64_t received = 0;
  int64_t span_ns = 0;  // sum of the rounds' send spans
  double cpu_s = 0;
  double publisher_cpu_s = 0;
  double publisher_wall_s = 0;
  double wall_s = 0;
};

bool run_one(Receiver& receiver, int port, unsigned rate, double seconds, Totals* t) {
  if (!receiver.start(port)) return false;
  g_wire_rec.reset(static_cast<uint64_t>(rate * seconds) + 16);
  const int64_t cpu0 = process_cpu_ns();
  const int64_t wall0 = mono_ns();
  PublishResult pub;
  const int publisher_cpu = receiver.publisher_cpu();
  std::thread publisher([&] {
    if (publisher_cpu >= 0) (void)bind_2_cpu(publisher_cpu);
    pub = publish_wire(port, rate, seconds);
  });
  publisher.join();
  // Let the receiver drain what is still in flight (bounded).
  const int64_t drain_until = mono_ns() + 300 * 1000000LL;
  while (g_wire_rec.received.load(std::memory_order_acquire) < pub.sent &&
         mono_ns() < drain_until) {
    usleep(1000);
  }
  const int64_t cpu = process_cpu_ns() - cpu0 - pub.cpu_ns;
  const int64_t wall = mono_ns() - wall0;
  receiver.stop();
  t->delays.insert(t->delays.end(), g_wire_rec.delays.begin(), g_wire_rec.delays.end());
  t->sent += pub.sent;
  t->failed += pub.failed;
  t->received += g_wire_rec.received.load();
  // n sends one interval apart span n - 1 intervals.
  t->span_ns += pub.span_ns + 1000000000LL / rate;
  t->cpu_s += static_cast<double>(cpu) / 1e9;
  t->publisher_cpu_s += static_cast<double>(pub.cpu_ns) / 1e9;
  t->publisher_wall_s += static_cast<double>(pub.wall_ns) / 1e9;
  t->wall_s += static_cast<double>(wall) / 1e9;
  return true;
}

WireRow row_of(const char* name, unsigned rate, Totals& t) {
  WireRow r;
  r.name = name;
  r.rate = rate;
  r.sent = t.sent;
  r.failed = t.failed;
  r.lost = t.sent - std::min(t.sent, t.received);
  r.sent_rate = t.span_ns > 0 ? static_cast<double>(t.sent) * 1e9 / t.span_ns : 0;
  r.cores = t.wall_s > 0 ? t.cpu_s / t.wall_s : 0;
  r.publisher_cores = t.publisher_wall_s > 0 ? t.publisher_cpu_s / t.publisher_wall_s : 0;
  if (!t.delays.empty()) {
    r.p50 = quantile(t.delays, 0.5) / 1e3;
    r.p99 = quantile(t.delays, 0.99) / 1e3;
    r.p999 = quantile(t.delays, 0.999) / 1e3;
    r.max = static_cast<double>(t.delays.back()) / 1e3;
  }
  return r;
}

double load_average() {
  double load = -1;
  if (FILE* f = std::fopen("/proc/loadavg", "r")) {
    if (std::fscanf(f, "%lf", &load) != 1) load = -1;
    std::fclose(f);
  }
  return load;
}

struct Options {
  double seconds = 1.0;
  int rounds = 3;
  std::vector<unsigned> rates = kDefaultRates;
  bool check = false;
  bool pinned = false;
  std::string library = ZAVO_BENCH_LIBRARY;
  std::string base_library;
};

bool parse_rates(const char* text, std::vector<unsigned>* rates) {
  rates->clear();
  for (const char* p = text; *p != '\0';) {
    char* end = nullptr;
    const unsigned long v = std::strtoul(p, &end, 10);
    if (end == p || v < 100 || v > 1000000) return false;
    rates->push_back(static_cast<unsigned>(v));
    p = end;
    if (*p == ',')
      ++p;
    else if (*p != '\0')
      return false;
  }
  return !rates->empty();
}

bool parse_options(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const bool has_value = i + 1 < argc;
    if (std::strcmp(argv[i], "--quick") == 0) {
      o->seconds = 0.5;
      o->rounds = 1;
    } else if (std::strcmp(argv[i], "--check") == 0) {
      o->check = true;
    } else if (std::strcmp(argv[i], "--pinned") == 0) {
      o->pinned = true;
    } else if (std::strcmp(argv[i], "--seconds") == 0 && has_value) {
      o->seconds = std::atof(argv[++i]);
      if (o->seconds < 0.05 || o->seconds > 60) return false;
    } else if (std::strcmp(argv[i], "--rounds") == 0 && has_value) {
      o->rounds = std::atoi(argv[++i]);
      if (o->rounds < 1 || o->rounds > 50) return false;
    } else if (std::strcmp(argv[i], "--rates") == 0 && has_value) {
      if (!parse_rates(argv[++i], &o->rates)) return false;
    } else if (std::strcmp(argv[i], "--library") == 0 && has_value) {
      o->library = argv[++i];
    } else if (std::strcmp(argv[i], "--base-library") == 0 && has_value) {
      o->base_library = argv[++i];
    } else {
      return false;
    }
  }
  return true;
}

// A receiver of the table; `pair` links a session of the base build and the
// same session of the build under test, which swap places every other round.
struct Entry {
  const char* name;
  Receiver* rx;
  int pair = -1;
};

void print_rows(unsigned rate, const std::vector<WireRow>& rows, double load0, double load1) {
  std::printf("\nrate %u/s (load average %.2f at the start, %.2f at the end)\n", rate, load0,
              load1);
  std::printf("%-22s %9s %9s %9s %9s %9s %8s %9s %8s\n", "receiver", "sent/s", "p50 us", "p99 us",
              "p99.9 us", "max us", "lost", "recv CPU", "pub CPU");
  for (const WireRow& r : rows) {
    std::printf("%-22s %9.0f %9.1f %9.1f %9.1f %9.1f %8llu %9.3f %8.3f%s\n", r.name, r.sent_rate,
                r.p50, r.p99, r.p999, r.max, static_cast<unsigned long long>(r.lost), r.cores,
                r.publisher_cores, rate_reached(r) ? "" : "  (rate not reached)");
    if (r.failed != 0) {
      std::printf("%-22s   the publisher's socket refused %llu sends\n", "",
                  static_cast<unsigned long long>(r.failed));
    }
  }
}

// Ratios of each non-floor receiver against each floor; none against a rate
// that was not sent.
void add_ratio_lines(const std::vector<WireRow>& rows, size_t floors,
                     std::vector<std::string>* lines) {
  static const char* const kFloorTags[] = {"(a)", "(a')", "(a'')", "(a*)"};
  for (size_t base = 0; base < floors; ++base) {
    for (size_t e = floors; e < rows.size(); ++e) {
      const WireRow& r = rows[e];
      const WireRow& f = rows[base];
      char line[256];
      if (!rate_reached(r) || !rate_reached(f)) {
        std::snprintf(line, sizeof(line), "rate %6u/s %-20s / %-5s not compared: rate not reached",
                      r.rate, r.name, kFloorTags[base]);
      } else {
        std::snprintf(line, sizeof(line),
                      "rate %6u/s %-20s / %-5s p50 %6.2fx  p99 %6.2fx  p99.9 %6.2fx  cpu %5.2fx",
                      r.rate, r.name, kFloorTags[base], ratio(r.p50, f.p50), ratio(r.p99, f.p99),
                      ratio(r.p999, f.p999), ratio(r.cores, f.cores));
      }
      lines->push_back(line);
    }
  }
}

// A ratio for the comparison table, or "-" where the publisher did not
// reach the rate for the receiver or for the floor.
std::string over(double value, double base, const WireRow& r, const WireRow& floor) {
  if (!rate_reached(r) || !rate_reached(floor) || !(base > 0)) return "-";
  char buf[32];
  std::snprintf(buf, sizeof(buf), "%.2fx", value / base);
  return buf;
}

// Before/after in markdown, each pair from the same rounds, ratios against
// the blocking floor (a') of those rounds.
void print_comparison(const SessionLibrary& base, const SessionLibrary& lib,
                      const std::vector<std::vector<WireRow>>& all,
                      const std::vector<Entry>& entries, const std::vector<double>& loads) {
  std::printf("\nbefore/after, same run; base: %s (%s); this: %s (%s)\n", base.path().c_str(),
              base.version(), lib.path().c_str(), lib.version());
  std::printf("ratios over the blocking floor (a'); - : the publisher did not reach the rate\n\n");
  std::printf("| rate | figure | base | this |\n|---|---|---|---|\n");
  for (size_t k = 0; k < all.size(); ++k) {
    const std::vector<WireRow>& rows = all[k];
    const WireRow& fl = rows[1];
    const unsigned rate = fl.rate;
    std::printf("| %u/s | load average (1 min), start / end | %.2f / %.2f | (same run) |\n", rate,
                loads[2 * k], loads[2 * k + 1]);
    std::printf(
        "| %u/s | (a') blocking floor sent/s, p50 / p99 us, CPU | %.0f, %.1f / %.1f, %.3f | "
        "(same run) |\n",
        rate, fl.sent_rate, fl.p50, fl.p99, fl.cores);
    for (size_t e = 0; e < entries.size(); ++e) {
      const int p = entries[e].pair;
      if (p < 0 || static_cast<size_t>(p) < e) continue;  // each pair once, base first
      const WireRow* side[2] = {&rows[e], &rows[static_cast<size_t>(p)]};
      const char* what = side[1]->name;
      std::printf("| %u/s | %s sent/s | %.0f | %.0f |\n", rate, what, side[0]->sent_rate,
                  side[1]->sent_rate);
      std::printf("| %u/s | %s p50 / p99 us | %.1f / %.1f | %.1f / %.1f |\n", rate, what,
                  side[0]->p50, side[0]->p99, side[1]->p50, side[1]->p99);
      std::printf("| %u/s | %s p50 / p99 over (a') |", rate, what);
      for (const WireRow* r : side) {
        std::printf(" %s / %s |", over(r->p50, fl.p50, *r, fl).c_str(),
                    over(r->p99, fl.p99, *r, fl).c_str());
      }
      std::printf("\n| %u/s | %s receive-side CPU, cores (over (a')) |", rate, what);
      for (const WireRow* r : side) {
        std::printf(" %.3f (%s) |", r->cores, over(r->cores, fl.cores, *r, fl).c_str());
      }
      std::printf("\n| %u/s | %s lost |", rate, what);
      for (const WireRow* r : side) {
        std::printf(" %llu of %llu |", static_cast<unsigned long long>(r->lost),
                    static_cast<unsigned long long>(r->sent));
      }
      std::printf("\n");
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread: multicast only ever runs in a private namespace.
  std::string why;
  if (!zavo::test::enter_private_netns(&why)) {
    std::fprintf(stderr, "bench_wire: cannot make a private network namespace: %s\n", why.c_str());
    return 1;
  }
  Options opt;
  const bool help = argc == 2 && std::strcmp(argv[1], "--help") == 0;
  if (help || !parse_options(argc, argv, &opt)) {
    std::fprintf(help ? stdout : stderr,
                 "usage: %s [--quick] [--seconds S] [--rounds N] [--rates R1,R2,...] [--check]\n"
                 "          [--pinned] [--library PATH] [--base-library PATH]\n"
                 "defaults: --seconds 1 --rounds 3 --rates 10000,100000,200000, the library\n"
                 "  %s; --quick: 1 round of 0.5 s; --check: hold the backoff session\n"
                 "  to its targets, exit 3 if one is missed or not measured\n",
                 argv[0], ZAVO_BENCH_LIBRARY);
    return help ? 0 : 2;
  }
  SessionLibrary lib;
  SessionLibrary base;
  if (!lib.Load(opt.library, &why) ||
      (!opt.base_library.empty() && !base.Load(opt.base_library, &why))) {
    std::fprintf(stderr, "bench_wire: cannot load the library: %s\n", why.c_str());
    return 1;
  }

  std::unique_ptr<sim::SimServer> sim = StartLoginServer();
  if (!sim) return 1;
  const int server_port = sim->ListenPort();
  FloorReceiver floor_rx(true);
  FloorReceiver floor_block_rx(false);
  // Another core than the publisher's (core 0), when there is one.
  FloorReceiver floor_other_rx(false, std::thread::hardware_concurrency() > 1 ? 1 : -1);
  SessionReceiver backoff_rx(lib, server_port, "backoff");
  SessionReceiver spin_rx(lib, server_port, "spin");
  SessionReceiver base_backoff_rx(base, server_port, "backoff");
  SessionReceiver base_spin_rx(base, server_port, "spin");
  LibuvReceiver libuv_rx;
  const int other_core = std::thread::hardware_concurrency() > 1 ? 1 : -1;
  FloorReceiver floor_pinned_rx(true, other_core);
  SessionReceiver spin_pinned_rx(lib, server_port, "spin", other_core);
  SessionReceiver base_spin_pinned_rx(base, server_port, "spin", other_core);
  std::vector<Entry> entries = {{"(a) floor recvfrom", &floor_rx},
                                {"(a') floor blocking", &floor_block_rx},
                                {"(a'') floor other core", &floor_other_rx}};
  if (opt.pinned) entries.push_back({"(a*) floor pinned", &floor_pinned_rx});
  const size_t kFloors = entries.size();
  const bool compare = base.loaded();
  // Adds the session under test, after the base build's when there is one.
  auto add_session = [&](const char* name, Receiver* rx, const char* base_name, Receiver* base_rx) {
    if (compare) {
      const int b = static_cast<int>(entries.size());
      entries.push_back({base_name, base_rx, b + 1});
      entries.push_back({name, rx, b});
    } else {
      entries.push_back({name, rx});
    }
    return entries.size() - 1;
  };
  const size_t backoff_index =
      add_session("(b) session backoff", &backoff_rx, "(b) base backoff", &base_backoff_rx);
  add_session("(c) session spin", &spin_rx, "(c) base spin", &base_spin_rx);
  if (opt.pinned) {
    add_session("(c*) spin pinned", &spin_pinned_rx, "(c*) base spin pinned", &base_spin_pinned_rx);
  }
  entries.push_back({"(d) libuv loop", &libuv_rx});

  std::printf("wire to callback: %zu rates, %d rounds x %.2f s per receiver and rate\n",
              opt.rates.size(), opt.rounds, opt.seconds);
  std::printf("library: %s (%s)\n", lib.path().c_str(), lib.version());
  if (compare) std::printf("base library: %s (%s)\n", base.path().c_str(), base.version());
  std::vector<std::string> ratio_lines;
  std::vector<std::vector<WireRow>> all_rows;
  std::vector<double> loads;
  int port = 40000;
  for (unsigned rate : opt.rates) {
    std::vector<Totals> totals(entries.size());
    loads.push_back(load_average());
    for (int r = 0; r < opt.rounds; ++r) {
      for (size_t i = 0; i < entries.size(); ++i) {
        // Every other round the base build's session goes second.
        size_t e = i;
        if (r % 2 == 1 && entries[i].pair >= 0) e = static_cast<size_t>(entries[i].pair);
        if (!run_one(*entries[e].rx, ++port, rate, opt.seconds, &totals[e])) {
          std::fprintf(stderr, "%s: receiver did not start\n", entries[e].name);
          return 1;
        }
      }
    }
    loads.push_back(load_average());
    std::vector<WireRow> rows;
    for (size_t e = 0; e < entries.size(); ++e)
      rows.push_back(row_of(entries[e].name, rate, totals[e]));
    print_rows(rate, rows, loads[loads.size() - 2], loads.back());
    add_ratio_lines(rows, kFloors, &ratio_lines);
    all_rows.push_back(std::move(rows));
  }
  sim->Stop();
  std::printf(
      "\nsent/s: the rate the publisher achieved; recv CPU: receive-side CPU in cores (process CPU "
      "during the rounds minus the publisher thread's); pub CPU: the publisher thread's\n"
      "ratios against the floors:\n");
  for (const std::string& l : ratio_lines) std::printf("%s\n", l.c_str());
  if (compare) print_comparison(base, lib, all_rows, entries, loads);
  if (!opt.check) return 0;
  const RowFinder find = [&](unsigned rate, bool floor) -> const WireRow* {
    for (const std::vector<WireRow>& rows : all_rows) {
      if (rows[0].rate == rate) return &rows[floor ? 1 : backoff_index];
    }
    return nullptr;
  };
  return report_wire_targets(evaluate_wire_targets(find), stdout, stderr) == 0 ? 0 : 3;
}
