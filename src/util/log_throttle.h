#pragma once
// LogThrottle: keeps a log line that input can repeat without end (a server
// sending what the session does not read, on every heartbeat) to one line
// per interval. The first occurrence is logged at once; the ones within an
// interval after a logged line are only counted, and the next line logged
// says how many were held back.
//
// Not thread-safe: one thread (the one that logs the line) uses it.
#include <cstdint>

namespace zavo {

class LogThrottle {
 public:
  static constexpr uint64_t kDefaultIntervalMs = 10000;

  explicit LogThrottle(uint64_t interval_ms = kDefaultIntervalMs) : interval_ms_(interval_ms) {}

  // One occurrence at `now_ms` (any monotonic clock). True when it is to
  // be logged; *held_back is then the number not logged since the last
  // line.
  bool Take(uint64_t now_ms, uint64_t* held_back) {
    if (logged_any_ && now_ms - last_ms_ < interval_ms_) {
      ++held_back_;
      return false;
    }
    *held_back = held_back_;
    held_back_ = 0;
    last_ms_ = now_ms;
    logged_any_ = true;
    return true;
  }

 private:
  uint64_t interval_ms_;
  uint64_t last_ms_ = 0;
  uint64_t held_back_ = 0;
  bool logged_any_ = false;
};

// Logs "TCP Session On Unrecognized Field: <id>" for a control field the
// session does not read, at most once per interval of `throttle` (loop
// thread); a line after held-back ones ends with their count.
void LogUnrecognizedField(LogThrottle* throttle, const void* self, const char* class_name,
                          unsigned field_id);

}  // namespace zavo
