/* Compiled as C11: the header must be valid C and give the same layout. */
#define ZAVO_CHECK(cond, msg) _Static_assert(cond, msg)
#include "layout_checks.h"

/* The function declarations must be usable from C as written; sizeof does
 * not evaluate the calls, so nothing needs to be linked. */
_Static_assert(sizeof(ZAVO_Open((const ZAVO_OpenSetting*)0, (ZAVO_ERROR*)0)) == sizeof(void*),
               "ZAVO_Open returns a handle");
_Static_assert(sizeof(ZAVO_RebuildRawData((ZAVO_HANDLE)0, '1', 1u, 2u, (ZAVO_DataHandler)0)) == 4,
               "ZAVO_RebuildRawData returns ZAVO_ERROR");
_Static_assert(sizeof(*ZAVO_Version()) == 1, "ZAVO_Version returns text");

int zavo_header_c_probe(void);
int zavo_header_c_probe(void) {
  ZAVO_OpenSetting s = {0};
  s.SubscribeFlags = ZAVO_FLAG_TRADE_DETAIL | ZAVO_FLAG_ORDER_QUEUE;
  return (int)(sizeof(ZAVO_MSG) + s.SubscribeFlags);
}
