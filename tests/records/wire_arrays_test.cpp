// Runs of big-endian integers against the one-value loads they stand in for,
// for every length around the 32-byte steps and at every misalignment.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "api/wire_arrays.h"
#include "proto/field_codec.h"

namespace zavo {
namespace {

template <class T, class Load>
void check_runs(Load load) {
  std::mt19937_64 rng(11);
  std::vector<char> wire(8 * 210 + 8);
  for (char& b : wire) b = static_cast<char>(rng());
  for (size_t n : {0, 1, 3, 4, 5, 7, 8, 9, 15, 16, 17, 20, 40, 41, 200}) {
    for (size_t offset = 0; offset < 8; ++offset) {
      const char* src = wire.data() + offset;
      // One value past the run must stay as it was.
      std::vector<T> out(n + 1, T(0x5A5A5A5A5A5A5A5AULL));
      load(src, out.data(), n);
      for (size_t i = 0; i < n; ++i) {
        ASSERT_EQ(out[i], LoadBigEndian<T>(src + i * sizeof(T))) << n << " " << offset << " " << i;
      }
      ASSERT_EQ(out[n], T(0x5A5A5A5A5A5A5A5AULL)) << n << " " << offset;
    }
  }
}

TEST(WireArrays, RunsMatchValueByValueLoads) {
  check_runs<uint64_t>(LoadBigEndianU64s);
  check_runs<uint32_t>(LoadBigEndianU32s);
}

}  // namespace
}  // namespace zavo
