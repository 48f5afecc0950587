#include "util/log_throttle.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>

namespace zavo {

uint64_t LogThrottle::NowMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

void LogThrottled(LogThrottle* throttle, const char* format, ...) {
  uint64_t held_back = 0;
  if (!throttle->TakeNow(&held_back)) return;
  Logger* log = Logger::Instance();
  if (log == nullptr) return;
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  if (held_back == 0) {
    log->Log("%s", text);
  } else {
    log->Log("%s (%llu more not logged since the last line)", text,
             static_cast<unsigned long long>(held_back));
  }
}

void LogUnrecognizedField(LogThrottle* throttle, const void* self, const char* class_name,
                          unsigned field_id) {
  LogThrottled(throttle, "%p[%s] TCP Session On Unrecognized Field: %u", self, class_name,
               field_id);
}

}  // namespace zavo
