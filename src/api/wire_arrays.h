#pragma once
// Runs of big-endian integers into host order: the price and volume ladders
// of the snapshots (40 or 20 eight-byte values) and the order queue (200
// four-byte values), which are most of those records' bytes. Where the CPU
// has AVX2 (checked once) a run is swapped 32 bytes per step with a byte
// shuffle; elsewhere value by value.
#include <cstddef>
#include <cstdint>

namespace zavo {

// n big-endian 64-bit values at `src` (any alignment) into `dst`.
void LoadBigEndianU64s(const char* src, uint64_t* dst, size_t n);
// n big-endian 32-bit values at `src` (any alignment) into `dst`.
void LoadBigEndianU32s(const char* src, uint32_t* dst, size_t n);

}  // namespace zavo
