// One-line text dumps of the market-data records, for diagnostics only.
#include <ostream>

#include "proto/sys_field.h"
#include "proto/sys_field_members.h"

namespace zavo {
namespace {

// Member printers: one-byte members as the byte itself, integers in decimal,
// arrays comma-separated, texts up to the first zero byte.
void put_value(std::ostream& os, CExchangeIDType v) {
  os << static_cast<char>(v);
}
void put_value(std::ostream& os, const Int<signed char>& v) {
  os << static_cast<char>(v.get());
}
template <class T>
void put_value(std::ostream& os, const Int<T>& v) {
  os << v.get();
}
void put_value(std::ostream& os, const LocalTimeStamp& v) {
  os << v.get();
}
template <unsigned int N>
void put_value(std::ostream& os, const String<N>& v) {
  os.write(v.Data(), v.Length());
}
template <class T, unsigned int N>
void put_array(std::ostream& os, const Array<T, N>& a, unsigned int count) {
  for (unsigned int i = 0; i < count && i < N; ++i) {
    if (i) os << ',';
    put_value(os, a[i]);
  }
}
// Long arrays (the order queue's 200 entries) show their first 50 entries,
// which keeps the line readable.
constexpr unsigned int kDumpedEntries = 50;
template <class T, unsigned int N>
void put_value(std::ostream& os, const Array<T, N>& a) {
  put_array(os, a, N < kDumpedEntries ? N : kDumpedEntries);
}

template <class V>
void put_member(std::ostream& os, const char* name, const V& v) {
  os << name << ':';
  put_value(os, v);
  os << ' ';
}

}  // namespace

#define ZAVO_DUMP_MEMBER(m) put_member(os, #m, r.m);

// One dump per record, over the same member list as its codec.
#define ZAVO_DEFINE_RECORD_DUMP(Record, MEMBERS)                \
  std::ostream& operator<<(std::ostream& os, const Record& r) { \
    os << #Record " { ";                                        \
    MEMBERS(ZAVO_DUMP_MEMBER)                                   \
    return os << '}';                                           \
  }

ZAVO_DEFINE_RECORD_DUMP(SecuritySnapShotField, ZAVO_SECURITY_SNAPSHOT)
ZAVO_DEFINE_RECORD_DUMP(IndexSnapShotField, ZAVO_INDEX_SNAPSHOT)
ZAVO_DEFINE_RECORD_DUMP(OrderQueueField, ZAVO_ORDER_QUEUE)
ZAVO_DEFINE_RECORD_DUMP(OrderDetailField, ZAVO_ORDER_DETAIL)
ZAVO_DEFINE_RECORD_DUMP(TradeDetailField, ZAVO_TRADE_DETAIL)
ZAVO_DEFINE_RECORD_DUMP(FutureSnapShotField, ZAVO_FUTURE_SNAPSHOT)
ZAVO_DEFINE_RECORD_DUMP(SH_OrderDetailField, ZAVO_SH_ORDER_DETAIL)

}  // namespace zavo
