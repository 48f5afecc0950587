#include "net/idle_strategy.h"

#include <sched.h>
#include <strings.h>
#include <time.h>

#include <atomic>
#include <cstdlib>

#include "util/logger.h"

namespace zavo {

const char* IdleModeName(IdleMode mode) {
  return mode == IdleMode::kSpin ? "spin" : "backoff";
}

bool ParseIdleMode(const char* text, IdleMode* out) {
  if (text == nullptr) return false;
  if (strcasecmp(text, "spin") == 0) {
    *out = IdleMode::kSpin;
    return true;
  }
  if (strcasecmp(text, "backoff") == 0) {
    *out = IdleMode::kBackoff;
    return true;
  }
  return false;
}

IdleMode ChooseIdleMode(int cpu_id) {
  IdleMode mode = cpu_id >= 0 ? IdleMode::kSpin : IdleMode::kBackoff;
  const char* env = std::getenv("ZAVO_IDLE_STRATEGY");
  if (env != nullptr && *env != '\0' && !ParseIdleMode(env, &mode)) {
    // A misspelt value would otherwise leave the user believing it took
    // effect. Said once per process, once the log is there to say it.
    static std::atomic<bool> warned{false};
    Logger* log = Logger::Instance();
    if (log != nullptr && !warned.exchange(true)) {
      log->LogError(
          "ZAVO_IDLE_STRATEGY=%s is not a known idle strategy (accepted: spin, "
          "backoff); using %s",
          env, IdleModeName(mode));
    }
  }
  return mode;
}

int64_t IdleStrategy::NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void IdleStrategy::yield() {
  sched_yield();
}

IdleStrategy::Phase IdleStrategy::next_phase() {
  if (idle_since_ns_ < 0) {
    idle_since_ns_ = NowNs();
    rounds_ = 0;
    phase_ = Phase::kSpin;
    return phase_;
  }
  // Reading the clock costs about as much as a few pauses; while spinning,
  // look at it only every 32 rounds.
  // Between clock reads keep doing what the last read decided.
  if ((++rounds_ & 31u) != 0) return phase_;
  const int64_t idle_ns = NowNs() - idle_since_ns_;
  if (idle_ns < kSpinNs) {
    phase_ = Phase::kSpin;
  } else if (idle_ns < kSpinNs + kYieldNs) {
    phase_ = Phase::kYield;
  } else {
    phase_ = Phase::kBlock;
  }
  return phase_;
}

}  // namespace zavo
