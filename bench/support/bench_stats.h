#pragma once
// Small helpers shared by the benchmarks: clocks, CPU time, percentiles.
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace zavo {
namespace bench {

inline int64_t clock_ns(clockid_t id) {
  timespec ts;
  clock_gettime(id, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}
inline int64_t mono_ns() {
  return clock_ns(CLOCK_MONOTONIC);
}
inline int64_t wall_ns() {
  return clock_ns(CLOCK_REALTIME);
}
inline int64_t process_cpu_ns() {
  return clock_ns(CLOCK_PROCESS_CPUTIME_ID);
}
inline int64_t thread_cpu_ns() {
  return clock_ns(CLOCK_THREAD_CPUTIME_ID);
}

// Keeps the compiler from dropping a computation whose result is unused.
template <class T>
inline void keep(T const& value) {
  asm volatile("" : : "r,m"(value) : "memory");
}
inline void clobber() {
  asm volatile("" : : : "memory");
}

// The value at quantile q (0..1) of `v`, which is sorted in place.
template <class T>
T quantile(std::vector<T>& v, double q) {
  if (v.empty()) return T();
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(q * static_cast<double>(v.size() - 1) + 0.5);
  if (i >= v.size()) i = v.size() - 1;
  return v[i];
}

inline double ratio(double value, double floor) {
  return floor > 0 ? value / floor : 0.0;
}

}  // namespace bench
}  // namespace zavo
