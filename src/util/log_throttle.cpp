#include "util/log_throttle.h"

#include <chrono>

#include "util/logger.h"

namespace zavo {

void LogUnrecognizedField(LogThrottle* throttle, const void* self, const char* class_name,
                          unsigned field_id) {
  const uint64_t now_ms =
      static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now().time_since_epoch())
                                .count());
  uint64_t held_back = 0;
  if (!throttle->Take(now_ms, &held_back)) return;
  if (held_back == 0) {
    ZAVO_LOG("%p[%s] TCP Session On Unrecognized Field: %u", self, class_name, field_id);
  } else {
    ZAVO_LOG(
        "%p[%s] TCP Session On Unrecognized Field: %u (%llu more not logged since the last "
        "line)",
        self, class_name, field_id, static_cast<unsigned long long>(held_back));
  }
}

}  // namespace zavo
