#pragma once
// Counts every allocation of the process through a replaced operator new
// (alloc_counter.cpp, linked into the benchmark that wants it), so that a
// benchmark can prove its measured step allocates nothing per record and
// exit non-zero when it does.
#include <cstdint>

namespace zavo {
namespace bench {

// Allocations through operator new (and new[]) since the process started.
uint64_t AllocationCount();

}  // namespace bench
}  // namespace zavo
