#pragma once
// One decoding workspace of struct-mode market data: the public record each
// field kind is decoded into, straight from its wire bytes. One per thread
// that decodes (live records on the processing thread, retransmitted ones
// on the loop thread), so a record never has to be allocated.
#include "zavo_api.h"

namespace zavo {

struct DecodeScratch {
  ZAVO_SecuritySnapShot security;
  ZAVO_IndexSnapShot index;
  ZAVO_OrderQueue queue;
  ZAVO_OrderDetail order;
  ZAVO_TradeDetail trade;
  ZAVO_FutureSnapShot future;
  ZAVO_SHOrderDetail sh_order;
};

}  // namespace zavo
