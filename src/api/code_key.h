#pragma once
// Word-at-a-time copy of the 16-byte wire codes into the public records on
// the per-field path. A wire code fills its 16 bytes (possibly without a
// terminator); the public Code keeps at most 15 characters and is always
// terminated. Byte by byte that costs a loop of up to 16 compares per
// field; here it is two 64-bit loads, a few mask operations and two
// stores, with the result of String<16>::CopyTo into a zeroed 16-byte
// array. The key of such a code (KeyOfCode16) sits with the key itself.
#include <cstdint>
#include <cstring>

#include "api/security_code.h"

namespace zavo {

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__

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
