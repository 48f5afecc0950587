#pragma once
// The login server the session benchmarks run against: the simulator, in
// process, answering logins only; each benchmark publishes its feed itself.
#include <cstdio>
#include <memory>
#include <string>

#include "sim_server.h"

namespace zavo {
namespace bench {

// Simulator that answers logins and publishes nothing but heartbeats (on a
// group of its own, which the session does not join).
inline std::unique_ptr<sim::SimServer> StartLoginServer() {
  sim::SimConfig cfg;
  cfg.listen_port = 0;
  cfg.group = "239.255.90.1";
  cfg.port = 39001;
  cfg.raw_port = 39002;
  cfg.rate = 0;
  cfg.raw_rate = 0;
  cfg.sh_securities = 2;
  cfg.sz_securities = 2;
  cfg.sh_options = 0;
  cfg.sz_options = 0;
  cfg.indices = 0;
  cfg.futures = 0;
  std::unique_ptr<sim::SimServer> sim(new sim::SimServer(cfg));
  std::string why;
  if (sim->Start(&why) != 0) {
    std::fprintf(stderr, "simulator: %s\n", why.c_str());
    return nullptr;
  }
  return sim;
}

}  // namespace bench
}  // namespace zavo
