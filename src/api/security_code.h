#pragma once
// The 16-byte key of one security: its exchange number and code. The caches,
// the code tables and the subscription filter all key on it, so a code must
// turn into exactly the same bytes wherever it comes from (a wire record, a
// public record, a user's text).
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zavo {

struct SecurityCode {
  // Longest code kept in a key; longer codes share the key of their prefix.
  static constexpr size_t kMaxCodeLen = 14;

  unsigned char exchange;
  char code[15];  // up to kMaxCodeLen characters, every following byte 0

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
  return std::memcmp(&a, &b, sizeof(SecurityCode)) == 0;
}
inline bool operator!=(const SecurityCode& a, const SecurityCode& b) {
  return !(a == b);
}

// Sum of the key's two 64-bit words (native order, wrapping). Cheap and good
// enough: codes differ mostly in their last digits, which land in the
// second word.
struct CodeHash {
  size_t operator()(const SecurityCode& key) const {
    uint64_t lo, hi;
    std::memcpy(&lo, reinterpret_cast<const char*>(&key), 8);
    std::memcpy(&hi, reinterpret_cast<const char*>(&key) + 8, 8);
    return static_cast<size_t>(lo + hi);
  }
};

// The exchange number of a market text: "SH" -> 1, "SZ" -> 2, in any case;
// anything else (null, empty, longer texts such as "SHSZ") -> 0.
inline unsigned char MarketOfText(const char* text) {
  if (text == nullptr || text[0] == '\0' || text[1] == '\0' || text[2] != '\0') return 0;
  if (text[0] != 'S' && text[0] != 's') return 0;
  if (text[1] == 'H' || text[1] == 'h') return 1;
  if (text[1] == 'Z' || text[1] == 'z') return 2;
  return 0;
}

}  // namespace zavo
