#pragma once
// A non-owning view of bytes. The caller keeps the bytes alive for as long as
// the call that receives the slice runs.
#include <cstdint>
#include <string>

namespace zavo {

struct Slice {
  const char* data = nullptr;
  uint64_t size = 0;

  Slice() = default;
  Slice(const char* d, uint64_t n) : data(d), size(n) {}
  explicit Slice(const std::string& s) : data(s.data()), size(s.size()) {}
};

}  // namespace zavo
