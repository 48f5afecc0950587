#pragma once
// The targets bench_wire --check holds the backoff session to, each a ratio
// against the blocking floor measured in the same run (or a count), and the
// table that reports them.
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace zavo {
namespace bench {

// One receiver's figures at one rate, over all its rounds.
struct WireRow {
  const char* name = "";
  unsigned rate = 0;     // asked of the publisher
  double sent_rate = 0;  // what the publisher sent during this receiver's rounds
  double p50 = 0, p99 = 0, p999 = 0, max = 0;  // delay, microseconds
  uint64_t sent = 0;                           // measured datagrams sent
  uint64_t lost = 0;                           // sent but not seen by the receiver
  uint64_t failed = 0;                         // sends the publisher's socket refused
  double cores = 0;            // receive-side CPU: process CPU minus the publisher's, in cores
  double publisher_cores = 0;  // the publishing thread's CPU, in cores
};

// The publisher reached the asked rate (within 2%) during the row's rounds.
// A ratio against a rate nobody sent would compare nothing.
bool rate_reached(const WireRow& row);

enum class TargetState { kMet, kMissed, kUnmeasured, kNotRun };

struct TargetResult {
  std::string name;
  std::string measured;
  std::string limit;
  TargetState state = TargetState::kNotRun;
};

// Finds the row of the blocking floor (floor = true) or of the backoff
// session under test at `rate`; null when that rate was not run.
using RowFinder = std::function<const WireRow*(unsigned rate, bool floor)>;

std::vector<TargetResult> evaluate_wire_targets(const RowFinder& find);

// The table (target, measured, limit, result) on `out`, and a line on
// `err` for each target missed or not measurable. Returns the number of
// those (a target whose rate was not run counts as neither), or 1 when no
// target's rate was run at all.
int report_wire_targets(const std::vector<TargetResult>& results, FILE* out, FILE* err);

}  // namespace bench
}  // namespace zavo
