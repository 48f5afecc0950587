#pragma once
// Map from a security's code and exchange to its book's index: open
// addressing over a power-of-two table, so a lookup is a multiply, a mask
// and usually one comparison (a standard unordered map divides by a prime
// and follows a list on every call).
#include <cstdint>
#include <cstring>
#include <vector>

namespace zavo {
namespace book {

// Code and exchange as one comparable key (codes are at most 15
// characters, so they fit in 16 bytes with their terminator).
struct CodeKey {
  uint64_t w[2] = {0, 0};
  char exchange = 0;

  // From a record's 16-byte code array (max_len 16) or a caller's text
  // (max_len 15: read byte by byte, never past its terminator).
  static CodeKey Make(const char* code, size_t max_len, char exchange);
  bool operator==(const CodeKey& o) const {
    return w[0] == o.w[0] && w[1] == o.w[1] && exchange == o.exchange;
  }
};

class CodeTable {
 public:
  CodeTable() { rehash(64); }

  // Index stored for the key, or UINT32_MAX.
  uint32_t Find(const CodeKey& k) const {
    for (size_t i = home(k);; i = (i + 1) & mask_) {
      const Entry& e = table_[i];
      if (e.value == UINT32_MAX) return UINT32_MAX;
      if (e.key == k) return e.value;
    }
  }
  // Adds a key that is not present.
  void Insert(const CodeKey& k, uint32_t value);
  void Reserve(size_t count);

 private:
  struct Entry {
    CodeKey key;
    uint32_t value = UINT32_MAX;  // UINT32_MAX: empty
  };
  size_t home(const CodeKey& k) const {
    uint64_t h = (k.w[0] ^ (k.w[1] * 0x9E3779B97F4A7C15ULL) ^ static_cast<uint64_t>(k.exchange)) *
                 0xC2B2AE3D27D4EB4FULL;
    return static_cast<size_t>(h >> 32) & mask_;
  }
  void rehash(size_t capacity);

  std::vector<Entry> table_;
  size_t mask_ = 0;
  size_t size_ = 0;
};

}  // namespace book
}  // namespace zavo
