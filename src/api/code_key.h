#pragma once
// Word-at-a-time handling of the 16-byte security codes on the per-field
// path. A wire code fills its 16 bytes (possibly without a terminator); the
// public records and the cache and filter keys each want a different cut of
// it. Doing that byte by byte costs a loop of up to 16 compares per field;
// here both cuts are two 64-bit loads, a handful of mask operations and two
// stores, with results identical to the byte loops they replace
// (String<16>::CopyTo into a zeroed 16-byte array, SecurityCode::Make).
#include <cstdint>
#include <cstring>

#include "api/security_code.h"

namespace zavo {
namespace code_words {

constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHighs = 0x8080808080808080ULL;
constexpr uint64_t kBlanks = 0x2020202020202020ULL;

// High bit set in each zero byte of v. Bytes above the lowest zero byte may
// be flagged falsely (borrow), the lowest flag is always exact, which is all
// the callers below use.
inline uint64_t zero_flags(uint64_t v) {
  return (v - kOnes) & ~v & kHighs;
}

// Mask of the bytes below the lowest flagged byte (all bytes when none is).
inline uint64_t bytes_below(uint64_t flags) {
  return ((flags & (0 - flags)) >> 7) - 1;
}

inline uint64_t load_word(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

}  // namespace code_words

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

// The key of `exchange` and the 16 code bytes at `src` (all 16 are read):
// the characters before the first NUL or blank, at most 14.
inline SecurityCode KeyOfCode16(unsigned char exchange, const char* src) {
  using namespace code_words;
  uint64_t lo = load_word(src);
  uint64_t hi = 0;
  const uint64_t stop = zero_flags(lo) | zero_flags(lo ^ kBlanks);
  if (stop != 0) {
    lo &= bytes_below(stop);
  } else {
    // Characters 14 and 15 never belong to a key.
    hi = load_word(src + 8) & 0x0000FFFFFFFFFFFFULL;
    hi &= bytes_below(zero_flags(hi) | zero_flags(hi ^ kBlanks));
  }
  // Key bytes: exchange, the 14 characters, a zero.
  const uint64_t key_lo = static_cast<uint64_t>(exchange) | (lo << 8);
  const uint64_t key_hi = (lo >> 56) | (hi << 8);
  SecurityCode key;
  std::memcpy(reinterpret_cast<char*>(&key), &key_lo, 8);
  std::memcpy(reinterpret_cast<char*>(&key) + 8, &key_hi, 8);
  return key;
}

#else

inline void CopyCode16(char* dst, const char* src) {
  size_t n = 0;
  while (n < 15 && src[n] != '\0') ++n;
  std::memcpy(dst, src, n);
  std::memset(dst + n, 0, 16 - n);
}

inline SecurityCode KeyOfCode16(unsigned char exchange, const char* src) {
  return SecurityCode::Make(exchange, src, 16);
}

#endif

}  // namespace zavo
