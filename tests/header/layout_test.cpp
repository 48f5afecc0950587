// The same layout checks compiled as C++, plus a run-time check that the C
// translation unit (compiled as C11) linked in and agrees.
#include <gtest/gtest.h>

#include <type_traits>

#define ZAVO_CHECK(cond, msg) static_assert(cond, msg)
#include "layout_checks.h"

extern "C" int zavo_header_c_probe(void);

static_assert(std::is_trivially_copyable<ZAVO_SecuritySnapShot>::value, "plain record");
static_assert(std::is_standard_layout<ZAVO_OPTION_CODEINFO>::value, "plain record");
static_assert(std::is_same<decltype(&ZAVO_RebuildStructData),
                           ZAVO_ERROR (*)(void*, uint64_t, uint64_t, ZAVO_DataHandler)>::value,
              "sequence numbers are unsigned 64-bit");

TEST(Header, CTranslationUnitAgrees) {
  // sizeof(ZAVO_MSG) + (2 | 8) as computed by the C compiler.
  EXPECT_EQ(zavo_header_c_probe(),
            static_cast<int>(sizeof(ZAVO_MSG)) + (ZAVO_FLAG_TRADE_DETAIL | ZAVO_FLAG_ORDER_QUEUE));
}
