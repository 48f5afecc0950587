#include "sim_replay.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pcap_reader.h"
#include "sim_server.h"

namespace zavo {
namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

int64_t steady_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

// Datagrams handed to the server but not yet sent; bounds the server's task
// queue when replaying as fast as possible.
constexpr uint64_t kMaxInFlight = 512;
// A raw-mode client does not confirm its login; the replay starts this
// long after the login was accepted, time enough for it to join the feed.
constexpr int kJoinGraceMs = 500;
// How far a time stamp may fall behind before it starts a new time line.
constexpr uint64_t kBackwardsReset = 1000000000ULL;

}  // namespace

void ApplyReplayConfig(SimConfig* cfg) {
  cfg->rate = 0;
  cfg->raw_rate = 0;
  cfg->feed_heartbeats = false;
  cfg->feed_mode = FeedMode::kBoth;
}

SimReplay::SimReplay(SimServer* server, const ReplayOptions& opts) : server_(server), opts_(opts) {}

SimReplay::~SimReplay() {
  Stop();
}

bool SimReplay::CheckFiles(const std::vector<std::string>& files, std::string* error) {
  for (const std::string& f : files) {
    record::PcapReader reader;
    if (!reader.Open(f, error)) return false;
    // Only up to the first datagram: a long file costs no more than a
    // short one, and damage further on is reported when it is reached.
    record::CapturedDatagram d;
    const record::PcapReader::Result r = reader.Next(&d);
    if (r == record::PcapReader::kDatagram) continue;
    if (error) {
      *error = f + ": no datagram to replay (" + std::to_string(reader.packets()) +
               " packets, none of them UDP/IPv4" +
               (r == record::PcapReader::kError ? "; then: " + reader.error() : "") + ")";
    }
    return false;
  }
  return true;
}

bool SimReplay::Start(std::string* error) {
  if (!CheckFiles(opts_.files, error)) return false;
  stop_.store(false);
  thread_ = std::thread(&SimReplay::run, this);
  return true;
}

void SimReplay::Stop() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    stop_.store(true);
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

ReplayCounts SimReplay::Counts() const {
  std::lock_guard<std::mutex> lk(mu_);
  return counts_;
}

bool SimReplay::WaitFor(const std::function<bool(const ReplayCounts&)>& pred,
                        int timeout_ms) const {
  std::unique_lock<std::mutex> lk(mu_);
  return cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms), [&] { return pred(counts_); });
}

void SimReplay::note(const std::string& line) {
  std::printf("replay: %s\n", line.c_str());
  std::fflush(stdout);
}

bool SimReplay::wait_for_client() {
  // Short slices, so that Stop is never kept waiting.
  while (!stop_.load()) {
    if (server_->WaitFor([](const SimCounters& c) { return c.login_echoes > 0; }, 100)) return true;
    if (server_->Counters().logins_accepted > 0) {
      server_->WaitFor([](const SimCounters& c) { return c.login_echoes > 0; }, kJoinGraceMs);
      return !stop_.load();
    }
  }
  return false;
}

void SimReplay::run() {
  note("waiting for the first client to log in");
  if (!wait_for_client()) return;
  {
    std::lock_guard<std::mutex> lk(mu_);
    counts_.started = true;
  }
  cv_.notify_all();
  note("a client is logged in, starting");
  do {
    if (!play_all()) return;
    uint64_t passes = 0;
    {
      std::lock_guard<std::mutex> lk(mu_);
      passes = ++counts_.passes;
    }
    cv_.notify_all();
    note("pass " + std::to_string(passes) + " over, " + std::to_string(Counts().datagrams) +
         " datagrams so far");
  } while (opts_.loop && !stop_.load());
  if (stop_.load()) return;
  {
    std::lock_guard<std::mutex> lk(mu_);
    counts_.finished = true;
  }
  cv_.notify_all();
  note("finished; the server keeps answering until it is stopped");
}

bool SimReplay::play_all() {
  // One time line across the files of a pass: each datagram goes out at
  // its recorded distance from the first one, divided by the speed.
  uint64_t base_ts = 0;
  int64_t base_wall = 0;
  for (const std::string& f : opts_.files) {
    if (!play_file(f, &base_ts, &base_wall)) return false;
  }
  return !stop_.load();
}

bool SimReplay::play_file(const std::string& path, uint64_t* base_ts, int64_t* base_wall) {
  record::PcapReader reader;
  std::string error;
  if (!reader.Open(path, &error)) {
    note(error);
    std::lock_guard<std::mutex> lk(mu_);
    ++counts_.file_errors;
    return !stop_.load();
  }
  record::CapturedDatagram d;
  uint64_t sent = 0;
  uint64_t submitted = server_->Counters().recorded_sent;
  record::PcapReader::Result r;
  while ((r = reader.Next(&d)) == record::PcapReader::kDatagram) {
    if (stop_.load()) return false;
    if (!opts_.max) {
      // A time stamp far behind the time line (files out of order, a
      // clock step) starts a new one; a little behind goes out at once.
      if (*base_wall == 0 || d.ts_ns + kBackwardsReset < *base_ts) {
        *base_ts = d.ts_ns;
        *base_wall = steady_ns();
      }
      if (d.ts_ns > *base_ts) {
        const double offset = static_cast<double>(d.ts_ns - *base_ts) / opts_.speed;
        if (!sleep_until(*base_wall + static_cast<int64_t>(offset))) return false;
      }
    }
    server_->PublishRecorded(d.data, d.len);
    ++submitted;
    ++sent;
    {
      std::lock_guard<std::mutex> lk(mu_);
      ++counts_.datagrams;
    }
    if (submitted > kMaxInFlight) {
      const uint64_t want = submitted - kMaxInFlight / 2;
      while (!server_->WaitFor([want](const SimCounters& c) { return c.recorded_sent >= want; },
                               100)) {
        if (stop_.load()) return false;
      }
    }
  }
  if (r == record::PcapReader::kError) {
    note(path + ": " + reader.error() + " (after " + std::to_string(sent) +
         " datagrams, which were replayed)");
    std::lock_guard<std::mutex> lk(mu_);
    ++counts_.file_errors;
  }
  return !stop_.load();
}

bool SimReplay::sleep_until(int64_t wall_ns) {
  std::unique_lock<std::mutex> lk(mu_);
  const auto deadline = Clock::time_point(std::chrono::nanoseconds(wall_ns));
  cv_.wait_until(lk, deadline, [this] { return stop_.load(); });
  return !stop_.load();
}

}  // namespace sim
}  // namespace zavo
