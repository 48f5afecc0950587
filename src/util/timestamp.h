#pragma once
// Broken-down local time with milliseconds, and its integer encodings.
#include <cstdint>

namespace zavo {

struct Timestamp {
  uint16_t year = 0;
  uint16_t month = 0;
  uint16_t day = 0;
  uint16_t hour = 0;
  uint16_t minute = 0;
  uint16_t second = 0;
  uint16_t millisecond = 0;

  // The current local time (microsecond clock, milliseconds truncated).
  static Timestamp Now();
  // Local broken-down time of `seconds`/`microseconds` since the epoch.
  static Timestamp FromEpoch(int64_t seconds, int64_t microseconds);

  // hhmmssmmm, e.g. 09:30:05.120 -> 93005120.
  uint32_t TimeOfDay() const {
    return hour * 10000000u + minute * 100000u + second * 1000u + millisecond;
  }
  // YYYYMMDD, e.g. 20210517.
  uint32_t Date() const { return year * 10000u + month * 100u + day; }
  // YYYYMMDDhhmmssmmm.
  uint64_t FullStamp() const { return uint64_t{Date()} * 1000000000ull + TimeOfDay(); }
};

}  // namespace zavo
