#pragma once
// The 16-byte key of one security: an exchange byte and the code. The
// snapshot caches, the code tables, the subscription filter and the order
// books all key on it, so a code turns into exactly the same bytes wherever
// it comes from (a wire record, a public record, a user's text), and all of
// them hash it alike.
//
// The rule: the characters before the first NUL or blank, at most 14. A
// blank ends a code because senders pad short codes with blanks as well as
// with zeros; exchange codes are far shorter, so two codes that share their
// first 14 characters are one security everywhere.
//
// Header only and free of the other internal libraries: the book library
// uses it without depending on the session's.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zavo {

struct SecurityCode {
  static constexpr size_t kMaxCodeLen = 14;

  unsigned char exchange;
  char code[15];  // the code's characters (at most kMaxCodeLen), every following byte 0

  // Builds a key from at most `len` bytes of `text`, stopping at the first
  // NUL or blank and after kMaxCodeLen characters. `text` need not be
  // terminated (wire codes fill all their bytes).
  static SecurityCode Make(unsigned char exchange, const char* text, size_t len) {
    SecurityCode key;
    std::memset(&key, 0, sizeof(key));
    key.exchange = exchange;
    if (text == nullptr) return key;
    if (len > kMaxCodeLen) len = kMaxCodeLen;
    for (size_t i = 0; i < len; ++i) {
      const char c = text[i];
      if (c == '\0' || c == ' ') break;
      key.code[i] = c;
    }
    return key;
  }

  // The same from a NUL-terminated text.
  static SecurityCode Make(unsigned char exchange, const char* text) {
    return Make(exchange, text, kMaxCodeLen);
  }

  // The exchange number a public record's ExchangeID character stands for:
  // '1' -> 1, '2' -> 2, anything else -> 0.
  static unsigned char ExchangeOfChar(char exchange_id) {
    return exchange_id == '1' ? 1 : exchange_id == '2' ? 2 : 0;
  }
};
static_assert(sizeof(SecurityCode) == 16, "SecurityCode is a 16-byte key");

inline bool operator==(const SecurityCode& a, const SecurityCode& b) {
  // Both words at once: one branch per probe of a table, not two.
  uint64_t a0, a1, b0, b1;
  std::memcpy(&a0, reinterpret_cast<const char*>(&a), 8);
  std::memcpy(&a1, reinterpret_cast<const char*>(&a) + 8, 8);
  std::memcpy(&b0, reinterpret_cast<const char*>(&b), 8);
  std::memcpy(&b1, reinterpret_cast<const char*>(&b) + 8, 8);
  return ((a0 ^ b0) | (a1 ^ b1)) == 0;
}
inline bool operator!=(const SecurityCode& a, const SecurityCode& b) {
  return !(a == b);
}

// The one hash of a key: the sum of its two native 64-bit words, wrapping.
// The standard unordered containers (prime bucket counts) use it as it is.
struct CodeHash {
  size_t operator()(const SecurityCode& key) const {
    uint64_t lo, hi;
    std::memcpy(&lo, reinterpret_cast<const char*>(&key), 8);
    std::memcpy(&hi, reinterpret_cast<const char*>(&key) + 8, 8);
    return static_cast<size_t>(lo + hi);
  }
};

// CodeHash spread for the power-of-two tables that take its low bits: codes
// differ mostly in their last characters, which sit in the top bytes of the
// first word, so the high half is folded down before and after a multiply
// and every byte of the key reaches the low bits.
inline size_t SlotHash(const SecurityCode& key) {
  uint64_t x = static_cast<uint64_t>(CodeHash()(key));
  x ^= x >> 32;
  x *= 0xFF51AFD7ED558CCDULL;
  x ^= x >> 29;
  return static_cast<size_t>(x);
}

// Word-at-a-time helpers for 16-byte code arrays on the per-field path.
namespace code_words {

constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHighs = 0x8080808080808080ULL;
constexpr uint64_t kBlanks = 0x2020202020202020ULL;

// High bit set in each zero byte of v. Bytes above the lowest zero byte may
// be flagged falsely (borrow), the lowest flag is always exact, which is all
// the callers use.
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

// The key of `exchange` and the 16 code bytes at `src` (all 16 are read),
// equal to SecurityCode::Make(exchange, src, 16): two loads, a handful of
// mask operations and two stores instead of a loop of up to 14 compares.
inline SecurityCode KeyOfCode16(unsigned char exchange, const char* src) {
  using namespace code_words;
  uint64_t lo = load_word(src);
  uint64_t hi = 0;
  const uint64_t stop = zero_flags(lo) | zero_flags(lo ^ kBlanks);
  if (stop != 0) {
    lo &= bytes_below(stop);
  } else {
    // Characters 15 and 16 never belong to a key.
    hi = load_word(src + 8) & 0x0000FFFFFFFFFFFFULL;
    hi &= bytes_below(zero_flags(hi) | zero_flags(hi ^ kBlanks));
  }
  // Key bytes: exchange, then the 14 characters, then zeros.
  const uint64_t key_lo = static_cast<uint64_t>(exchange) | (lo << 8);
  const uint64_t key_hi = (lo >> 56) | (hi << 8);
  SecurityCode key;
  std::memcpy(reinterpret_cast<char*>(&key), &key_lo, 8);
  std::memcpy(reinterpret_cast<char*>(&key) + 8, &key_hi, 8);
  return key;
}

#else

inline SecurityCode KeyOfCode16(unsigned char exchange, const char* src) {
  return SecurityCode::Make(exchange, src, 16);
}

#endif

}  // namespace zavo
