#pragma once
// Map from a security's code and exchange to its book's index: open
// addressing over a power-of-two table, so a lookup is a multiply, a mask
// and usually one comparison (a standard unordered map divides by a prime
// and follows a list on every call).
#include <cstdint>
#include <cstring>
#include <vector>

#include "util/security_code.h"

namespace zavo {
namespace book {

// A book is keyed on the record's ExchangeID character and its code, by the
// rule every other code lookup follows (util/security_code.h).
using CodeKey = SecurityCode;

// The key of a record's 16-byte Code (all 16 bytes are read).
inline CodeKey KeyOfRecordCode(const char (&code)[16], char exchange) {
  return KeyOfCode16(static_cast<unsigned char>(exchange), code);
}

// The key of a caller's NUL-terminated text (never read past its end).
inline CodeKey KeyOfText(const char* code, char exchange) {
  return SecurityCode::Make(static_cast<unsigned char>(exchange), code);
}

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
    CodeKey key{};
    uint32_t value = UINT32_MAX;  // UINT32_MAX: empty
  };
  size_t home(const CodeKey& k) const { return SlotHash(k) & mask_; }
  void rehash(size_t capacity);

  std::vector<Entry> table_;
  size_t mask_ = 0;
  size_t size_ = 0;
};

}  // namespace book
}  // namespace zavo
