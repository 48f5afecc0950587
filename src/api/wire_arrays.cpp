#include "api/wire_arrays.h"

#include <cstring>

#include "proto/field_codec.h"

#if defined(__x86_64__) && defined(__GNUC__) && defined(__BYTE_ORDER__) && \
    __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define ZAVO_SWAP_AVX2 1
#include <immintrin.h>
#endif

namespace zavo {

namespace {

template <class T>
void swap_plain(const char* src, T* dst, size_t n) {
  for (size_t i = 0; i < n; ++i) dst[i] = LoadBigEndian<T>(src + i * sizeof(T));
}

#if ZAVO_SWAP_AVX2

// Shuffle control reversing the bytes of every `Width`-byte value in each
// 16-byte half of a 32-byte register (the shuffle works per half).
struct ReverseMask {
  alignas(32) unsigned char b[32];
};

template <size_t Width>
constexpr ReverseMask make_reverse_mask() {
  ReverseMask m{};
  for (size_t i = 0; i < 32; ++i) {
    m.b[i] = static_cast<unsigned char>(i / Width * Width + (Width - 1 - i % Width));
  }
  return m;
}

template <size_t Width>
inline constexpr ReverseMask kReverseMask = make_reverse_mask<Width>();

template <class T>
__attribute__((target("avx2"))) void swap_avx2(const char* src, T* dst, size_t n) {
  const __m256i mask =
      _mm256_load_si256(reinterpret_cast<const __m256i*>(kReverseMask<sizeof(T)>.b));
  constexpr size_t kPerStep = 32 / sizeof(T);
  size_t i = 0;
#pragma GCC unroll 8
  for (; i + kPerStep <= n; i += kPerStep) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i * sizeof(T)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), _mm256_shuffle_epi8(v, mask));
  }
  for (; i < n; ++i) dst[i] = LoadBigEndian<T>(src + i * sizeof(T));
}

// Asked once, when the library is loaded: the answer is a process-wide
// constant, and a plain flag costs less per call than a guarded static.
bool ask_cpu_for_avx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
}
const bool g_has_avx2 = ask_cpu_for_avx2();

#endif

}  // namespace

void LoadBigEndianU64s(const char* src, uint64_t* dst, size_t n) {
#if ZAVO_SWAP_AVX2
  if (g_has_avx2) return swap_avx2(src, dst, n);
#endif
  swap_plain(src, dst, n);
}

void LoadBigEndianU32s(const char* src, uint32_t* dst, size_t n) {
#if ZAVO_SWAP_AVX2
  if (g_has_avx2) return swap_avx2(src, dst, n);
#endif
  swap_plain(src, dst, n);
}

}  // namespace zavo
