#pragma once
// Small helpers shared by every subsystem of the library.
#include <string>
#include <vector>

namespace zavo {

// The pieces of `s` between separators, in order. Empty pieces are dropped:
// leading, trailing and repeated separators produce nothing, and an empty
// string gives no piece.
std::vector<std::string> StringSplit(const std::string& s, char sep);

// Pins the calling thread to one CPU, using a CPU set of 1024 entries.
// Returns the result of pthread_setaffinity_np (0 on success). An index
// outside 0..1023 gives an empty set, which the system rejects.
int bind_2_cpu(int cpu);

}  // namespace zavo
