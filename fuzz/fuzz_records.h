#pragma once
// Helpers shared by the protocol fuzz targets: every wire record as a type
// list.
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "fuzz_check.h"
#include "proto/sys_field.h"

namespace zavo {
namespace fuzz {

template <class... R>
struct type_list {};

using AllRecords =
    type_list<ReqUserLoginField, RspUserLoginField, HeartBeatField, ReqRetransmitField,
              RspRetransmitField, BaseInfoSendFinish, RspInfoField, KvelSubscrptionField,
              ReqLastMarketIndexDataField, SecuritySnapShotField, IndexSnapShotField,
              OrderQueueField, OrderDetailField, TradeDetailField, FutureSnapShotField,
              SH_OrderDetailField, SecurityBaseInfoField, OptionBaseInfoField>;
constexpr unsigned kRecordCount = 18;

// Calls fn.template operator()<R>() for the index-th record type.
template <class F, class... R>
void with_record(unsigned index, F&& fn, type_list<R...>) {
  unsigned i = 0;
  ((i++ == index ? (fn.template operator()<R>(), 0) : 0), ...);
}

template <class F, class... R>
void for_each_record(F&& fn, type_list<R...>) {
  (fn.template operator()<R>(), ...);
}

// Text dump where the record has one; the output is only checked for being
// one line.
template <class R>
void dump_if_any(const R& r) {
  if constexpr (std::is_same<R, SecuritySnapShotField>::value ||
                std::is_same<R, IndexSnapShotField>::value ||
                std::is_same<R, OrderQueueField>::value ||
                std::is_same<R, OrderDetailField>::value ||
                std::is_same<R, TradeDetailField>::value ||
                std::is_same<R, FutureSnapShotField>::value ||
                std::is_same<R, SH_OrderDetailField>::value) {
    std::ostringstream os;
    os << r;
    const std::string s = os.str();
    ZAVO_FUZZ_CHECK(!s.empty() && s.back() == '}');
  } else {
    (void)r;
  }
}

}  // namespace fuzz
}  // namespace zavo
