#pragma once
// SimReplay: publishes the datagrams of capture files through a SimServer,
// instead of the synthetic market. It starts once the first client has
// logged in and joined the feed, so that a session connected to the server
// sees the whole recording; it keeps the recorded spacing (scaled by a
// speed factor) or sends as fast as the server takes them, once or in a
// loop. The server goes on answering logins and heartbeats, and answers
// retransmission requests from the recorded fields replayed so far.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim_config.h"

namespace zavo {
namespace sim {

class SimServer;

// What a replaying server changes in its configuration: no synthetic
// market, no feed heartbeats of its own (the recording has them, with the
// recorded day), and both feeds open.
void ApplyReplayConfig(SimConfig* cfg);

struct ReplayCounts {
  uint64_t datagrams = 0;  // published so far, all passes
  uint64_t passes = 0;     // complete passes over every file
  uint64_t file_errors = 0;
  bool started = false;   // a client has logged in
  bool finished = false;  // the last pass is over (never with loop)
};

class SimReplay {
 public:
  SimReplay(SimServer* server, const ReplayOptions& opts);
  ~SimReplay();  // stops
  SimReplay(const SimReplay&) = delete;
  SimReplay& operator=(const SimReplay&) = delete;

  // Every file opens as a capture file and holds at least one UDP/IPv4
  // datagram; false with a reason naming the first that does not. A
  // program checks this before it offers its service.
  static bool CheckFiles(const std::vector<std::string>& files, std::string* error);
  // CheckFiles, then starts the replay thread. False with a reason in
  // *error; nothing runs then.
  bool Start(std::string* error);
  // Ends the replay thread (at once, mid-file if need be). Idempotent.
  void Stop();

  ReplayCounts Counts() const;
  // Waits until `pred` holds for the counts or `timeout_ms` passes; the
  // replay signals at its start, after every pass and at its end.
  bool WaitFor(const std::function<bool(const ReplayCounts&)>& pred, int timeout_ms) const;

 private:
  void run();
  bool wait_for_client();
  // One pass over every file; false when stopped.
  bool play_all();
  bool play_file(const std::string& path, uint64_t* base_ts, int64_t* base_wall);
  // Sleeps until the steady-clock time `wall_ns`; false when stopped.
  bool sleep_until(int64_t wall_ns);
  void note(const std::string& line);

  SimServer* server_;
  const ReplayOptions opts_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  ReplayCounts counts_;
};

}  // namespace sim
}  // namespace zavo
