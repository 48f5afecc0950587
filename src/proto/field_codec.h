#pragma once
// Value codec of the wire records: fixed-width big-endian integers, fixed
// character arrays and arrays of integers, with no padding and no alignment.
//
// A record decodes by handing all of its members, in wire order, to one call
// of Field::load_from_memory (and encodes with Field::write_into_memory). The
// helpers walk a cursor and a remaining count: each value is bounds-checked
// once (an array as a whole), transferred, and the cursor advanced. The first
// value that does not fit stops the walk, so the values before it have been
// transferred and it and everything after it are left untouched. Nothing here
// allocates, logs or calls virtually: this sits on the multicast hot path.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <typeinfo>
#ifdef _WIN32
#include <cxxabi.h>

#include <cstdlib>
#endif

namespace zavo {

// Wire members are declared with fixed-width types (int64_t, not long), so a
// record has the same wire size where long is 32 bits wide (Windows x64).
static_assert(sizeof(int) == 4, "the wire format relies on 32-bit int");

// Market number: 1 Shanghai, 2 Shenzhen. One byte on the wire, as is.
using CExchangeIDType = unsigned char;

namespace codec_detail {

template <class U>
inline U byte_swap(U u) {
  static_assert(std::is_unsigned<U>::value, "swap unsigned values only");
  if constexpr (sizeof(U) == 1) {
    return u;
  } else if constexpr (sizeof(U) == 2) {
    return static_cast<U>(__builtin_bswap16(u));
  } else if constexpr (sizeof(U) == 4) {
    return static_cast<U>(__builtin_bswap32(u));
  } else {
    static_assert(sizeof(U) == 8, "unsupported integer width");
    return static_cast<U>(__builtin_bswap64(u));
  }
}

template <class U>
inline U to_big_endian(U u) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  return u;
#else
  return byte_swap(u);
#endif
}

}  // namespace codec_detail

// Reads a big-endian integer of width sizeof(T) at `src` (any alignment).
template <class T>
inline T LoadBigEndian(const char* src) {
  using U = std::make_unsigned_t<T>;
  U u;
  std::memcpy(&u, src, sizeof(U));
  return static_cast<T>(codec_detail::to_big_endian(u));
}

// Writes `v` as a big-endian integer of width sizeof(T) at `dst`.
template <class T>
inline void StoreBigEndian(char* dst, T v) {
  using U = std::make_unsigned_t<T>;
  U u = codec_detail::to_big_endian(static_cast<U>(v));
  std::memcpy(dst, &u, sizeof(U));
}

// One integer of type T; wire width sizeof(T), big-endian. Converts to and
// from T so that record members read like plain integers.
template <class T>
class Int {
  static_assert(std::is_integral<T>::value, "Int<T> wraps an integer type");

 public:
  using value_type = T;
  static constexpr unsigned int kWireSize = sizeof(T);

  constexpr Int() = default;
  constexpr Int(T v) : v_(v) {}  // NOLINT: implicit by design
  constexpr operator T() const { return v_; }
  constexpr T get() const { return v_; }

  // No bounds check: the caller guarantees kWireSize bytes.
  void load_from_memory(const char* src) { v_ = LoadBigEndian<T>(src); }
  void write_into_memory(char* dst) const { StoreBigEndian<T>(dst, v_); }

 private:
  T v_ = 0;
};

// Local date and time as the decimal number YYYYMMDDHHMMSSmmm; travels
// exactly like Int<uint64_t>.
class LocalTimeStamp : public Int<uint64_t> {
 public:
  using Int<uint64_t>::Int;
  constexpr LocalTimeStamp() = default;
  constexpr LocalTimeStamp(const Int<uint64_t>& v) : Int<uint64_t>(v) {}  // NOLINT

  // YYYYMMDD and HHMMSSmmm halves.
  constexpr unsigned int Date() const { return static_cast<unsigned int>(get() / 1000000000ULL); }
  constexpr unsigned int TimeOfDay() const {
    return static_cast<unsigned int>(get() % 1000000000ULL);
  }
};

// N characters copied unchanged: no terminator is added or required, and
// nothing is padded or trimmed by the codec.
template <unsigned int N>
class String {
 public:
  static constexpr unsigned int kWireSize = N;

  char* Data() { return data_; }
  const char* Data() const { return data_; }
  static constexpr unsigned int Capacity() { return N; }
  char& operator[](unsigned int i) { return data_[i]; }
  const char& operator[](unsigned int i) const { return data_[i]; }

  // Length up to the first zero byte, at most N.
  unsigned int Length() const {
    const void* z = std::memchr(data_, 0, N);
    return z ? static_cast<unsigned int>(static_cast<const char*>(z) - data_) : N;
  }
  std::string ToString() const { return std::string(data_, Length()); }

  // Sender side: clears the array, then copies at most N - 1 characters of
  // `s` so that the last byte always stays zero (longer texts are cut).
  void Set(const char* s) {
    std::memset(data_, 0, N);
    if (s == nullptr) return;
    // strnlen stops at the terminator: a literal shorter than N - 1 is never
    // read past its end, as a bounded memchr over N - 1 bytes would be.
    std::memcpy(data_, s, strnlen(s, N - 1));
  }
  // Copies all N bytes as they are (e.g. a code that fills the array).
  void SetRaw(const char* src) { std::memcpy(data_, src, N); }

  // Reader side: copies at most min(N, cap - 1) characters up to the first
  // zero into `dst` and terminates it. Returns the characters copied.
  size_t CopyTo(char* dst, size_t cap) const {
    if (cap == 0) return 0;
    size_t n = Length();
    if (n > cap - 1) n = cap - 1;
    std::memcpy(dst, data_, n);
    dst[n] = '\0';
    return n;
  }

  void load_from_memory(const char* src) { std::memcpy(data_, src, N); }
  void write_into_memory(char* dst) const { std::memcpy(dst, data_, N); }

 private:
  char data_[N] = {};
};

// N values of T in index order, each in T's wire form. Bounds are tested
// once for the whole array.
template <class T, unsigned int N>
class Array {
 public:
  static constexpr unsigned int kWireSize = N * T::kWireSize;

  static constexpr unsigned int Count() { return N; }
  T& operator[](unsigned int i) { return v_[i]; }
  const T& operator[](unsigned int i) const { return v_[i]; }
  T* begin() { return v_; }
  T* end() { return v_ + N; }
  const T* begin() const { return v_; }
  const T* end() const { return v_ + N; }

  void load_from_memory(const char* src) {
    for (unsigned int i = 0; i < N; ++i) v_[i].load_from_memory(src + i * T::kWireSize);
  }
  void write_into_memory(char* dst) const {
    for (unsigned int i = 0; i < N; ++i) v_[i].write_into_memory(dst + i * T::kWireSize);
  }

 private:
  T v_[N] = {};
};

namespace codec_detail {

// Width and transfer of one value. Codec types carry kWireSize; single bytes
// and plain character arrays travel as they are.
template <class V>
struct codec {
  static constexpr unsigned int kWidth = V::kWireSize;
  static void load(V& v, const char* src) { v.load_from_memory(src); }
  static void store(const V& v, char* dst) { v.write_into_memory(dst); }
};

template <class B>
struct byte_codec {
  static constexpr unsigned int kWidth = 1;
  static void load(B& v, const char* src) { std::memcpy(&v, src, 1); }
  static void store(const B& v, char* dst) { std::memcpy(dst, &v, 1); }
};
template <>
struct codec<unsigned char> : byte_codec<unsigned char> {};
template <>
struct codec<char> : byte_codec<char> {};
template <>
struct codec<signed char> : byte_codec<signed char> {};

template <size_t N>
struct codec<char[N]> {
  static constexpr unsigned int kWidth = static_cast<unsigned int>(N);
  static void load(char (&v)[N], const char* src) { std::memcpy(v, src, N); }
  static void store(const char (&v)[N], char* dst) { std::memcpy(dst, v, N); }
};

template <class V>
inline bool load_one(const char** cursor, unsigned int* remaining, V& v) {
  using C = codec<std::remove_cv_t<V>>;
  if (*cursor == nullptr || *remaining < C::kWidth) return false;
  C::load(v, *cursor);
  *cursor += C::kWidth;
  *remaining -= C::kWidth;
  return true;
}

template <class V>
inline bool store_one(char** cursor, unsigned int* remaining, const V& v) {
  using C = codec<std::remove_cv_t<V>>;
  if (*cursor == nullptr || *remaining < C::kWidth) return false;
  C::store(v, *cursor);
  *cursor += C::kWidth;
  *remaining -= C::kWidth;
  return true;
}

}  // namespace codec_detail

namespace Field {

// Decodes `values` in order from *cursor, advancing it and decrementing
// *remaining per value. False at the first value that does not fit (or on a
// null cursor); the values before it keep what was transferred.
template <class... V>
inline bool load_from_memory(const char** cursor, unsigned int* remaining, V&... values) {
  return (codec_detail::load_one(cursor, remaining, values) && ...);
}

// Encodes `values` in order at *cursor with the same discipline.
template <class... V>
inline bool write_into_memory(char** cursor, unsigned int* remaining, const V&... values) {
  return (codec_detail::store_one(cursor, remaining, values) && ...);
}

// Sum of the wire widths of the given member types.
template <class... V>
constexpr unsigned int wire_size() {
  return (0u + ... + codec_detail::codec<V>::kWidth);
}

}  // namespace Field

// The run-time type name used in log lines, e.g. "N4zavo21SecuritySnapShotFieldE";
// on Windows the readable form, "zavo::SecuritySnapShotField".
#ifdef _WIN32
template <class T>
inline const char* TypeName() {
  static const std::string name = [] {
    int status = 0;
    char* readable = abi::__cxa_demangle(typeid(T).name(), nullptr, nullptr, &status);
    std::string s = status == 0 && readable != nullptr ? readable : typeid(T).name();
    std::free(readable);
    return s;
  }();
  return name.c_str();
}
#else
template <class T>
inline const char* TypeName() {
  return typeid(T).name();
}
#endif

}  // namespace zavo
