#pragma once
// Branch-free copy of the 16-byte wire codes into the public records on
// the per-field path. A wire code fills its 16 bytes (possibly without a
// terminator); the public Code keeps at most 15 characters and is always
// terminated. Byte by byte that costs a loop of up to 16 compares per
// field; here it is one vector compare, a mask and one store (SSE2, which
// every x86-64 has), or two 64-bit loads, a few mask operations and two
// stores elsewhere, with the result of String<16>::CopyTo into a zeroed
// 16-byte array. The key of such a code (KeyOfCode16) sits with the key itself.
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "api/security_code.h"

namespace zavo {

#if defined(__SSE2__)

namespace code_key_detail {
// Sixteen bytes kept, then sixteen cleared: the 16 bytes from kKeep + 16 - n
// keep the first n bytes of a code.
alignas(32) inline constexpr unsigned char kKeep[32] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
}  // namespace code_key_detail

// Public code from the 16 code bytes at `src` (all 16 are read): the
// characters up to the first NUL, at most 15, then zeros to the end. One
// vector compare finds the end for any length, with no branch on it: the
// words version below spent 19 instructions per record on it.
inline void CopyCode16(char* dst, const char* src) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
  const unsigned nuls =
      static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())));
  // The last byte never survives: 15 characters at most, always terminated.
  const unsigned n = static_cast<unsigned>(__builtin_ctz(nuls | 0x8000u));
  const __m128i keep =
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(code_key_detail::kKeep + 16 - n));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_and_si128(v, keep));
}

#elif defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__

// Public code from the 16 code bytes at `src` (all 16 are read): the
// characters up to the first NUL, at most 15, then zeros to the end.
inline void CopyCode16(char* dst, const char* src) {
  using namespace code_words;
  uint64_t lo = load_word(src);
  uint64_t hi = 0;
  const uint64_t stop = zero_flags(lo);
  if (stop != 0) {
    // The usual case: a code of at most 7 characters ends in the low word.
    lo &= bytes_below(stop);
  } else {
    // The last byte never survives: 15 characters at most, always
    // terminated.
    hi = load_word(src + 8) & 0x00FFFFFFFFFFFFFFULL;
    hi &= bytes_below(zero_flags(hi));
  }
  std::memcpy(dst, &lo, 8);
  std::memcpy(dst + 8, &hi, 8);
}

#else

inline void CopyCode16(char* dst, const char* src) {
  size_t n = 0;
  while (n < 15 && src[n] != '\0') ++n;
  std::memcpy(dst, src, n);
  std::memset(dst + n, 0, 16 - n);
}

#endif

}  // namespace zavo
