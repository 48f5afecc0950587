#include <gtest/gtest.h>
#include <time.h>

#include "util/diagnostics.h"

namespace zavo {
namespace {

TEST(ParseAddress, SplitsAtFirstColonAndRejectsNonPorts) {
  using P = std::pair<std::string, int>;
  EXPECT_EQ(parse_address("127.0.0.1:8080"), (P{"127.0.0.1", 8080}));
  EXPECT_EQ(parse_address("10.1.2.3:0"), (P{"10.1.2.3", 0}));
  EXPECT_EQ(parse_address(":80"), (P{"", 80}));
  EXPECT_EQ(parse_address("host:"), (P{"host", 0}));
  EXPECT_EQ(parse_address("host:65535"), (P{"host", 65535}));
  EXPECT_EQ(parse_address("host:80abc"), (P{"host", 80}));
  EXPECT_EQ(parse_address("a:b:3"), (P{"a", 0}));
  // Without a colon there is neither host nor port.
  EXPECT_EQ(parse_address("127.0.0.1"), (P{"", 0}));
  EXPECT_EQ(parse_address(""), (P{"", 0}));
  // Numbers that are no port must not come back truncated into another port.
  EXPECT_EQ(parse_address("host:65536"), (P{"host", 0}));
  EXPECT_EQ(parse_address("host:-1"), (P{"host", 0}));
  EXPECT_EQ(parse_address("host:4294967376"), (P{"host", 0}));
  EXPECT_EQ(parse_address("host:99999999999999999999999"), (P{"host", 0}));
}

TEST(ValidIp, NeedsSevenCharactersAndANonBroadcastAddress) {
  EXPECT_TRUE(valid_ip("127.0.0.1"));
  EXPECT_TRUE(valid_ip("1.2.3.4"));
  EXPECT_TRUE(valid_ip("0.0.0.0"));
  EXPECT_TRUE(valid_ip("239.1.1.1"));
  EXPECT_FALSE(valid_ip("1.2.3"));
  EXPECT_FALSE(valid_ip("255.255.255.255"));
  EXPECT_FALSE(valid_ip("not.an.address"));
  EXPECT_FALSE(valid_ip("1.2.3.256"));
  EXPECT_FALSE(valid_ip(""));
  EXPECT_FALSE(valid_ip(nullptr));
}

TEST(ParseShortTime, AcceptsOnlyTwoDigitFieldsSeparatedByColons) {
  EXPECT_EQ(parse_short_time("09:30:00"), 93000);
  EXPECT_EQ(parse_short_time("23:59:59"), 235959);
  EXPECT_EQ(parse_short_time("00:00:00"), 0);
  EXPECT_EQ(parse_short_time("99:99:99"), 999999);  // not range-checked
  EXPECT_EQ(parse_short_time("9:30:00"), -1);
  EXPECT_EQ(parse_short_time("09:30:000"), -1);
  EXPECT_EQ(parse_short_time("09-30-00"), -1);
  EXPECT_EQ(parse_short_time("09:3a:00"), -1);
  EXPECT_EQ(parse_short_time("0930:00:"), -1);
  EXPECT_EQ(parse_short_time(" 9:30:00"), -1);
  EXPECT_EQ(parse_short_time("+9:30:00"), -1);
  EXPECT_EQ(parse_short_time(""), -1);
}

TEST(ConvertAddrToHex, MatchesTheKernelSocketTableForm) {
  EXPECT_EQ(convert_addr_to_hex("127.0.0.1", 80), "0100007F:0050");
  EXPECT_EQ(convert_addr_to_hex("10.0.0.2", 65535), "0200000A:FFFF");
  EXPECT_EQ(convert_addr_to_hex("0.0.0.0", 0), "00000000:0000");
}

TEST(SysLocalClock, FollowsTheMonotonicClock) {
  timespec before;
  ASSERT_EQ(clock_gettime(CLOCK_MONOTONIC, &before), 0);
  const int64_t us = sys_local_clock_us();
  timespec after;
  ASSERT_EQ(clock_gettime(CLOCK_MONOTONIC, &after), 0);
  EXPECT_GE(us, static_cast<int64_t>(before.tv_sec) * 1000000 + before.tv_nsec / 1000);
  EXPECT_LE(us, static_cast<int64_t>(after.tv_sec) * 1000000 + after.tv_nsec / 1000);
}

}  // namespace
}  // namespace zavo
