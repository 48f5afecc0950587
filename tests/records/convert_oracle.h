#pragma once
// Test oracle: the market records converted from decoded wire records.
#include <ctime>

#include "proto/sys_field.h"
#include "zavo_api.h"

namespace zavo {

void ConvertField(const SecuritySnapShotField* in, ZAVO_SecuritySnapShot* out);
// With the clock reading supplied, so the delay can be checked against a
// known instant.
void ConvertField(const SecuritySnapShotField* in, ZAVO_SecuritySnapShot* out, const timespec& now);
void ConvertField(const IndexSnapShotField* in, ZAVO_IndexSnapShot* out);
void ConvertField(const FutureSnapShotField* in, ZAVO_FutureSnapShot* out);
void ConvertField(const TradeDetailField* in, ZAVO_TradeDetail* out);
void ConvertField(const OrderDetailField* in, ZAVO_OrderDetail* out);
void ConvertField(const OrderQueueField* in, ZAVO_OrderQueue* out);
void ConvertField(const SH_OrderDetailField* in, ZAVO_SHOrderDetail* out);

}  // namespace zavo
