#include "util/helpers.h"

#ifndef _WIN32
#include <pthread.h>
#include <sched.h>
#else
#include <cerrno>
#endif

namespace zavo {

std::vector<std::string> StringSplit(const std::string& s, char sep) {
  std::vector<std::string> pieces;
  std::string::size_type start = 0;
  while (start <= s.size()) {
    std::string::size_type end = s.find(sep, start);
    if (end == std::string::npos) end = s.size();
    if (end > start) pieces.emplace_back(s, start, end - start);
    start = end + 1;
  }
  return pieces;
}

int bind_2_cpu(int cpu) {
#ifdef _WIN32
  // The Windows build pins no thread.
  (void)cpu;
  return ENOSYS;
#else
  // A fixed 1024-entry set keeps the call independent of the machine's size.
  constexpr int kSetSize = 1024;
  cpu_set_t* set = CPU_ALLOC(kSetSize);
  if (set == nullptr) return -1;
  const size_t bytes = CPU_ALLOC_SIZE(kSetSize);
  CPU_ZERO_S(bytes, set);
  if (cpu >= 0 && cpu < kSetSize) CPU_SET_S(static_cast<size_t>(cpu), bytes, set);
  int rc = pthread_setaffinity_np(pthread_self(), bytes, set);
  CPU_FREE(set);
  return rc;
#endif
}

}  // namespace zavo
