#pragma once
// One decoding workspace of struct-mode market data: the wire records and
// the public records each field kind is decoded into. One per thread that
// decodes (live records on the processing thread, retransmitted ones on
// the loop thread), so a record never has to be allocated.
#include "proto/sys_field.h"
#include "zavo_api.h"

namespace zavo {

struct DecodeScratch {
  SecuritySnapShotField security_field;
  IndexSnapShotField index_field;
  OrderQueueField queue_field;
  OrderDetailField order_field;
  TradeDetailField trade_field;
  FutureSnapShotField future_field;
  SH_OrderDetailField sh_order_field;
  ZAVO_SecuritySnapShot security;
  ZAVO_IndexSnapShot index;
  ZAVO_OrderQueue queue;
  ZAVO_OrderDetail order;
  ZAVO_TradeDetail trade;
  ZAVO_FutureSnapShot future;
  ZAVO_SHOrderDetail sh_order;
};

}  // namespace zavo
