#pragma once
// How a polling thread spends the time when there is nothing to do.
//
//   spin     keep polling without pause. For a thread that owns a core (the
//            user pinned it): lowest latency, one core always busy.
//   backoff  keep polling for a short window after the last item, then
//            block until the source signals work (socket readable, item
//            enqueued). A silent feed costs almost no CPU; a busy feed never
//            leaves the polling window, so it is handled as in spin mode.
//
// The choice follows the pinning (spin when a CPU index >= 0 is given,
// backoff otherwise); ZAVO_IDLE_STRATEGY=spin|backoff overrides it for the
// whole process.
#include <cstdint>

namespace zavo {

enum class IdleMode { kSpin = 0, kBackoff = 1 };

// "spin" or "backoff".
const char* IdleModeName(IdleMode mode);
// Accepts "spin" and "backoff" (case-insensitive). False for anything else,
// leaving *out untouched.
bool ParseIdleMode(const char* text, IdleMode* out);
// The mode for a thread pinned to `cpu_id` (< 0: not pinned), after the
// ZAVO_IDLE_STRATEGY override. An unknown override value is ignored.
IdleMode ChooseIdleMode(int cpu_id);

// Per-thread idle state. Not thread-safe: each polling thread owns one.
//
//   IdleStrategy idle(mode);
//   while (running) {
//     if (poll()) { idle.Reset(); continue; }
//     idle.Idle([&] { block_until_work_or_wake(); });
//   }
//
// The block function is only called in backoff mode; it may return early
// (spuriously) and is called again on the next idle round.
class IdleStrategy {
 public:
  // The polling window after the last item, then a yield phase that is
  // kept empty: on a core shared with other runnable processes a yield
  // hands the core over for their whole time slice (milliseconds), while a
  // blocked thread is woken, and usually runs, within microseconds. So
  // backoff goes straight from polling to blocking.
  static constexpr int64_t kSpinNs = 10 * 1000;
  static constexpr int64_t kYieldNs = 0;

  explicit IdleStrategy(IdleMode mode) : mode_(mode) {}

  IdleMode mode() const { return mode_; }
  void set_mode(IdleMode mode) {
    mode_ = mode;
    Reset();
  }

  // Work was found: the next idle round starts a new polling window.
  void Reset() { idle_since_ns_ = -1; }

  template <typename BlockFn>
  void Idle(BlockFn&& block) {
    if (mode_ == IdleMode::kSpin) {
      cpu_relax();
      return;
    }
    switch (next_phase()) {
      case Phase::kSpin:
        cpu_relax();
        break;
      case Phase::kYield:
        yield();
        break;
      case Phase::kBlock:
        block();
        break;
    }
  }

  // Monotonic clock in nanoseconds.
  static int64_t NowNs();

 private:
  enum class Phase { kSpin, kYield, kBlock };
  Phase next_phase();
  static void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
  }
  static void yield();

  IdleMode mode_;
  int64_t idle_since_ns_ = -1;  // start of the idle stretch, -1 while busy
  uint32_t rounds_ = 0;
  Phase phase_ = Phase::kSpin;
};

}  // namespace zavo
