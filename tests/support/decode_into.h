#pragma once
// The per-field decoding of the library (record_decode.h) with the length
// check the field walk makes once per field: for tests that hold single
// records' wire bytes. `len` is the number of bytes readable at `data`;
// when it is less than the record's wire size nothing is written and the
// answer is false. A security snapshot's LocalDelay is measured against
// `now`; the form without it reads the clock.
#include <ctime>

#include "api/record_decode.h"
#include "proto/sys_field.h"

namespace zavo {

namespace decode_into_detail {

template <class Field, class R>
bool checked(const char* data, unsigned int len, R* out) {
  if (data == nullptr || len < Field::Size()) return false;
  DecodeRecord(data, out);
  return true;
}

}  // namespace decode_into_detail

inline bool DecodeInto(const char* data, unsigned int len, ZAVO_SecuritySnapShot* out,
                       const timespec& now) {
  if (data == nullptr || len < SecuritySnapShotField::Size()) return false;
  DecodeRecord(data, out, now);
  return true;
}
inline bool DecodeInto(const char* data, unsigned int len, ZAVO_SecuritySnapShot* out) {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return DecodeInto(data, len, out, now);
}
inline bool DecodeInto(const char* data, unsigned int len, ZAVO_IndexSnapShot* out) {
  return decode_into_detail::checked<IndexSnapShotField>(data, len, out);
}
inline bool DecodeInto(const char* data, unsigned int len, ZAVO_FutureSnapShot* out) {
  return decode_into_detail::checked<FutureSnapShotField>(data, len, out);
}
inline bool DecodeInto(const char* data, unsigned int len, ZAVO_TradeDetail* out) {
  return decode_into_detail::checked<TradeDetailField>(data, len, out);
}
inline bool DecodeInto(const char* data, unsigned int len, ZAVO_OrderDetail* out) {
  return decode_into_detail::checked<OrderDetailField>(data, len, out);
}
inline bool DecodeInto(const char* data, unsigned int len, ZAVO_OrderQueue* out) {
  return decode_into_detail::checked<OrderQueueField>(data, len, out);
}
inline bool DecodeInto(const char* data, unsigned int len, ZAVO_SHOrderDetail* out) {
  return decode_into_detail::checked<SH_OrderDetailField>(data, len, out);
}

}  // namespace zavo
