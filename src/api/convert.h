#pragma once
// Conversion of the decoded code-table records into the public code-info
// records, and the one-letter mappings and delay arithmetic that the
// per-field decoding (record_decode.h) builds the market records with. The
// code-table conversions run on the event loop thread as the base
// information arrives; the inline mappings run on the processing thread
// once per field, so nothing here allocates or takes a lock, and every
// conversion zero-fills its output first.
#include <cstddef>
#include <cstdint>
#include <ctime>

#include "proto/sys_field.h"
#include "zavo_api.h"

namespace zavo {

namespace convert_detail {

// Wire exchange number -> public ExchangeID, one entry per byte value.
struct ExchangeMap {
  char to[256];
};
constexpr ExchangeMap make_exchange_map() {
  ExchangeMap m{};
  for (char& c : m.to) c = '0';
  m.to[1] = '1';
  m.to[2] = '2';
  return m;
}
inline constexpr ExchangeMap kExchangeChar = make_exchange_map();

}  // namespace convert_detail

// Wire exchange number -> public ExchangeID: 1 -> '1', 2 -> '2', else '0'.
inline char ExchangeChar(CExchangeIDType exchange) {
  // One load from a table: no branch for the feed's alternating markets to
  // mispredict, and fewer instructions than the compare and conditional
  // move it replaces.
  return convert_detail::kExchangeChar.to[static_cast<unsigned char>(exchange)];
}

namespace convert_detail {

// One output character per input byte: the one-letter mappings below run
// for every order and trade, and a table lookup beats a chain of compares.
struct CharMap {
  char to[256];
};

template <size_t N>
constexpr CharMap make_char_map(const char (&from)[N], const char (&to)[N]) {
  CharMap m{};
  for (size_t i = 0; i + 1 < N; ++i) m.to[static_cast<unsigned char>(from[i])] = to[i];
  return m;
}

inline constexpr CharMap kOrderSide = make_char_map("12FG", "BSFG");
inline constexpr CharMap kBSFlag = make_char_map(" 12", "NBS");
inline constexpr CharMap kExecType = make_char_map("12", "TC");
inline constexpr CharMap kOrderType = make_char_map("12U", "12U");

}  // namespace convert_detail

// Order side of queues and order details: '1' -> 'B', '2' -> 'S', 'F' and
// 'G' kept, anything else -> 0.
inline char MapOrderSide(signed char side) {
  return convert_detail::kOrderSide.to[static_cast<unsigned char>(side)];
}

// Buy/sell flag of trades and Shanghai orders: ' ' -> 'N', '1' -> 'B',
// '2' -> 'S', anything else -> 0.
inline char MapBSFlag(signed char flag) {
  return convert_detail::kBSFlag.to[static_cast<unsigned char>(flag)];
}

// Trade execution type: '1' -> 'T' (trade), '2' -> 'C' (cancel), else 0.
inline char MapExecType(signed char type) {
  return convert_detail::kExecType.to[static_cast<unsigned char>(type)];
}

// Order type: '1', '2' and 'U' kept, anything else -> 0.
inline char MapOrderType(signed char type) {
  return convert_detail::kOrderType.to[static_cast<unsigned char>(type)];
}

// Microseconds from the sender's stamp (sec, nsec) to `now`, the nanosecond
// part divided truncating toward zero. The stamp comes from upstream and may
// be anything, so the arithmetic wraps instead of overflowing.
inline int64_t LocalDelayMicros(int64_t stamp_sec, int64_t stamp_nsec, const timespec& now) {
  const uint64_t sec_diff =
      static_cast<uint64_t>(static_cast<int64_t>(now.tv_sec)) - static_cast<uint64_t>(stamp_sec);
  const int64_t nsec_diff = static_cast<int64_t>(
      static_cast<uint64_t>(static_cast<int64_t>(now.tv_nsec)) - static_cast<uint64_t>(stamp_nsec));
  return static_cast<int64_t>(sec_diff * 1000000u + static_cast<uint64_t>(nsec_diff / 1000));
}

void ConvertField(const SecurityBaseInfoField* in, ZAVO_CODEINFO* out);
void ConvertField(const OptionBaseInfoField* in, ZAVO_OPTION_CODEINFO* out);

// Writes code, '.', and "SH" for exchange 1 or "SZ" for exchange 2 (nothing
// after the point for any other exchange), NUL-terminated. At most 15
// characters of `code` are used, so the result always fits.
void FillKvelCode(char (&out)[32], const char* code, const CExchangeIDType& exchange);

}  // namespace zavo
