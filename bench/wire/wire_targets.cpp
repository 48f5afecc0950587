#include "wire_targets.h"

namespace zavo {
namespace bench {

namespace {

enum class Metric { kP50, kP99, kCpu, kLoss };

struct Target {
  const char* name;
  unsigned rate;
  Metric metric;
  double limit;
};

// Ratios are backoff / blocking floor (a') of the same run.
constexpr Target kTargets[] = {
    {"backoff p50 / blocking floor p50, 10000/s", 10000, Metric::kP50, 1.2},
    {"backoff p99 / blocking floor p99, 10000/s", 10000, Metric::kP99, 1.5},
    {"backoff p50 / blocking floor p50, 100000/s", 100000, Metric::kP50, 2.0},
    {"backoff p99 / blocking floor p99, 100000/s", 100000, Metric::kP99, 2.0},
    {"receive-side CPU backoff / blocking floor, 100000/s", 100000, Metric::kCpu, 1.3},
    {"backoff datagrams lost, 200000/s", 200000, Metric::kLoss, 0.0},
};

std::string format(const char* fmt, double a, double b = 0, double c = 0) {
  char buf[128];
  std::snprintf(buf, sizeof(buf), fmt, a, b, c);
  return buf;
}

std::string short_of_rate(const WireRow& row) {
  return format("publisher sent %.0f/s of %.0f/s", row.sent_rate, row.rate);
}

TargetResult evaluate(const Target& t, const RowFinder& find) {
  TargetResult r;
  r.name = t.name;
  r.limit = t.metric == Metric::kLoss ? "== 0" : format("<= %.1fx", t.limit);
  const WireRow* floor = find(t.rate, true);
  const WireRow* backoff = find(t.rate, false);
  if (floor == nullptr || backoff == nullptr) {
    r.measured = "rate not run";
    return r;
  }
  r.state = TargetState::kUnmeasured;
  if (!rate_reached(*backoff)) {
    r.measured = short_of_rate(*backoff);
    return r;
  }
  if (t.metric == Metric::kLoss) {
    r.measured = format("%.0f of %.0f (sent at %.0f/s)", static_cast<double>(backoff->lost),
                        static_cast<double>(backoff->sent), backoff->sent_rate);
    r.state = backoff->lost == 0 ? TargetState::kMet : TargetState::kMissed;
    return r;
  }
  if (!rate_reached(*floor)) {
    r.measured = "floor: " + short_of_rate(*floor);
    return r;
  }
  double value = backoff->p50;
  double base = floor->p50;
  const char* unit = "us";
  if (t.metric == Metric::kP99) {
    value = backoff->p99;
    base = floor->p99;
  } else if (t.metric == Metric::kCpu) {
    value = backoff->cores;
    base = floor->cores;
    unit = "core";
  }
  if (!(base > 0) || backoff->sent == backoff->lost) {
    r.measured = "no figure to compare";
    return r;
  }
  const double ratio = value / base;
  r.measured = format(t.metric == Metric::kCpu ? "%.2fx (%.3f / %.3f " : "%.2fx (%.1f / %.1f ",
                      ratio, value, base) +
               unit + ")";
  r.state = ratio <= t.limit ? TargetState::kMet : TargetState::kMissed;
  return r;
}

const char* state_text(TargetState s) {
  switch (s) {
    case TargetState::kMet:
      return "met";
    case TargetState::kMissed:
      return "missed";
    case TargetState::kUnmeasured:
      return "not measured";
    case TargetState::kNotRun:
      break;
  }
  return "not run";
}

}  // namespace

bool rate_reached(const WireRow& row) {
  return row.sent_rate >= 0.98 * static_cast<double>(row.rate);
}

std::vector<TargetResult> evaluate_wire_targets(const RowFinder& find) {
  std::vector<TargetResult> out;
  for (const Target& t : kTargets) out.push_back(evaluate(t, find));
  return out;
}

int report_wire_targets(const std::vector<TargetResult>& results, FILE* out, FILE* err) {
  std::fprintf(out, "\ntargets (the floor is the blocking floor (a') of this run):\n");
  std::fprintf(out, "%-52s %-34s %-8s %s\n", "target", "measured", "limit", "result");
  int failed = 0;
  for (const TargetResult& r : results) {
    std::fprintf(out, "%-52s %-34s %-8s %s\n", r.name.c_str(), r.measured.c_str(), r.limit.c_str(),
                 state_text(r.state));
  }
  std::fflush(out);
  size_t not_run = 0;
  for (const TargetResult& r : results) not_run += r.state == TargetState::kNotRun ? 1 : 0;
  if (not_run == results.size()) {
    std::fprintf(err, "bench_wire: no target checked: run the rates 10000,100000,200000\n");
    return 1;
  }
  for (const TargetResult& r : results) {
    if (r.state != TargetState::kMissed && r.state != TargetState::kUnmeasured) continue;
    ++failed;
    std::fprintf(err, "bench_wire: %s: %s (%s, limit %s)\n", state_text(r.state), r.name.c_str(),
                 r.measured.c_str(), r.limit.c_str());
  }
  return failed;
}

}  // namespace bench
}  // namespace zavo
