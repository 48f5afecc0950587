#pragma once
// Command-line options of the zavo_sim program.
#include <string>

#include "sim_config.h"

namespace zavo {
namespace sim {

struct SimOptions {
  SimConfig config;
  ReplayOptions replay;            // --replay: the recording instead of the synthetic market
  double duration_s = 0;           // 0: run until SIGINT/SIGTERM
  std::string market = "default";  // --market: default, or full (the real markets' size)
  bool help = false;
};

// Parses argv into *out (starting from the defaults). Returns false with a
// one-line reason in *error on an unknown option, a missing or malformed
// value, or an inconsistent combination. With --replay the configuration is
// already the replaying server's (ApplyReplayConfig).
bool ParseSimOptions(int argc, const char* const* argv, SimOptions* out, std::string* error);

// Sizes of --market full: about the listed securities, indices and options
// of the two exchanges. Options given with it (--sh, ...) win.
void ApplyFullMarket(SimConfig* c);

// The --help text.
std::string SimUsage(const char* program);

}  // namespace sim
}  // namespace zavo
