#pragma once
// LogThrottle: keeps a log line that input can repeat without end (a server
// sending what the session does not read, a feed of broken datagrams) to a
// few lines per interval. The first `burst` occurrences of an interval are
// logged at once; later ones within it are only counted, and the next line
// logged says how many were held back.
//
// Not thread-safe: one thread (the one that logs the line) uses it.
#include <cstdint>

#include "util/logger.h"

namespace zavo {

class LogThrottle {
 public:
  static constexpr uint64_t kDefaultIntervalMs = 10000;

  explicit LogThrottle(uint64_t interval_ms = kDefaultIntervalMs, uint32_t burst = 1)
      : interval_ms_(interval_ms), burst_(burst == 0 ? 1 : burst) {}

  // One occurrence at `now_ms` (any monotonic clock). True when it is to
  // be logged; *held_back is then the number not logged since the last
  // line.
  bool Take(uint64_t now_ms, uint64_t* held_back) {
    if (logged_any_ && now_ms - window_ms_ < interval_ms_) {
      if (in_window_ >= burst_) {
        ++held_back_;
        return false;
      }
      ++in_window_;
    } else {
      window_ms_ = now_ms;
      in_window_ = 1;
    }
    *held_back = held_back_;
    held_back_ = 0;
    logged_any_ = true;
    return true;
  }

  // Take at the steady clock's now.
  bool TakeNow(uint64_t* held_back) { return Take(NowMs(), held_back); }

  // The steady clock in milliseconds.
  static uint64_t NowMs();

 private:
  uint64_t interval_ms_;
  uint32_t burst_;
  uint32_t in_window_ = 0;
  uint64_t window_ms_ = 0;  // start of the interval the last lines fell in
  uint64_t held_back_ = 0;
  bool logged_any_ = false;
};

// Logs a line formatted as ZAVO_LOG does, unless `throttle` holds it back;
// a line logged after held-back ones ends with " (N more not logged since
// the last line)". Formats into a buffer on the stack: no allocation before
// the logger's own.
void LogThrottled(LogThrottle* throttle, const char* format, ...) ZAVO_PRINTF_FORMAT(2, 3);

// Logs "TCP Session On Unrecognized Field: <id>" for a control field the
// session does not read, at most once per interval of `throttle` (loop
// thread); a line after held-back ones ends with their count.
void LogUnrecognizedField(LogThrottle* throttle, const void* self, const char* class_name,
                          unsigned field_id);

}  // namespace zavo
