#include "util/timestamp.h"

#include <sys/time.h>
#include <time.h>

namespace zavo {

Timestamp Timestamp::FromEpoch(int64_t seconds, int64_t microseconds) {
  time_t t = static_cast<time_t>(seconds);
  struct tm tmv {};
  // localtime_r: callers on several threads at once must not share a result.
  localtime_r(&t, &tmv);
  Timestamp ts;
  ts.year = static_cast<uint16_t>(tmv.tm_year + 1900);
  ts.month = static_cast<uint16_t>(tmv.tm_mon + 1);
  ts.day = static_cast<uint16_t>(tmv.tm_mday);
  ts.hour = static_cast<uint16_t>(tmv.tm_hour);
  ts.minute = static_cast<uint16_t>(tmv.tm_min);
  ts.second = static_cast<uint16_t>(tmv.tm_sec);
  ts.millisecond = static_cast<uint16_t>(microseconds / 1000);
  return ts;
}

Timestamp Timestamp::Now() {
  struct timeval tv {};
  gettimeofday(&tv, nullptr);
  return FromEpoch(tv.tv_sec, tv.tv_usec);
}

}  // namespace zavo
