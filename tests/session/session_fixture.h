#pragma once
// A simulator in-process and a recorder of what a session's handlers
// receive, for end-to-end tests through the public C interface.
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim_server.h"
#include "zavo_api.h"

namespace zavo {
namespace test {

// One message as a handler saw it, with a copy of its record.
struct Seen {
  uint32_t type = 0;
  uint32_t time = 0;
  int32_t connect_id = 0;
  uint64_t seq = 0;
  std::string code;  // market-data records: the record's code
  char exchange = 0;
  std::vector<char> record;

  template <class T>
  const T& as() const {
    return *reinterpret_cast<const T*>(record.data());
  }
};

// Collects messages from any thread; tests wait for conditions on them.
class Recorder {
 public:
  void Add(const ZAVO_MSG* msg);
  std::vector<Seen> Snapshot() const;
  size_t Count(uint32_t type) const;
  size_t Size() const;
  void Clear();
  // Waits until `pred` holds over everything recorded so far.
  bool WaitFor(const std::function<bool(const std::vector<Seen>&)>& pred, int timeout_ms) const;
  bool WaitForCount(uint32_t type, size_t n, int timeout_ms) const {
    return WaitFor(
        [&](const std::vector<Seen>& v) {
          size_t c = 0;
          for (const Seen& s : v) c += s.type == type;
          return c >= n;
        },
        timeout_ms);
  }

 private:
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::vector<Seen> seen_;
};

// Handlers are plain C functions: they find their recorders through the
// ConnectID every message carries, so that messages arriving while
// ZAVO_Open still runs are kept too.
struct SessionRecorders {
  Recorder data;
  Recorder system;
  Recorder rebuild;
  SessionRecorders(int connect_id);
  ~SessionRecorders();
  int connect_id;
};
// Messages whose ConnectID has no recorders.
Recorder& Orphans();

void OnData(void* handle, const ZAVO_MSG* msg);
void OnSystem(void* handle, const ZAVO_MSG* msg);
void OnRebuild(void* handle, const ZAVO_MSG* msg);

// Settings for a session against `sim`.
ZAVO_OpenSetting MakeSetting(const sim::SimServer& sim, int connect_id = 1);

// Simulator configuration for tests: system-chosen TCP port, no automatic
// publishing, heartbeats only on request.
sim::SimConfig TestSimConfig(int feed_port);

// Counts of this process's threads and open descriptors.
int ThreadCount();
int DescriptorCount();

// A simulator in this process and the sessions a test opens against it:
// TearDown closes and waits for every session the test kept, then stops the
// simulator, then drops the recorders, which outlive the sessions.
class SimSessionTest : public ::testing::Test {
 protected:
  void StartSim(const sim::SimConfig& cfg) {
    sim_ = std::make_unique<sim::SimServer>(cfg);
    std::string why;
    ASSERT_EQ(sim_->Start(&why), 0) << why;
  }
  void TearDown() override {
    for (ZAVO_HANDLE h : open_) {
      ZAVO_Close(h);
      ZAVO_Wait(h);
    }
    open_.clear();
    if (sim_) sim_->Stop();
    recorders_.clear();
  }
  SessionRecorders& Recorders(int connect_id) {
    recorders_.push_back(std::make_unique<SessionRecorders>(connect_id));
    return *recorders_.back();
  }

  std::unique_ptr<sim::SimServer> sim_;
  std::vector<ZAVO_HANDLE> open_;  // closed by TearDown
  std::vector<std::unique_ptr<SessionRecorders>> recorders_;
};

}  // namespace test
}  // namespace zavo
