// Value codec: byte order, widths and the cursor discipline of partial
// transfers.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "proto/field_codec.h"

namespace zavo {
namespace {

std::vector<unsigned char> bytes_of(const char* p, size_t n) {
  return std::vector<unsigned char>(reinterpret_cast<const unsigned char*>(p),
                                    reinterpret_cast<const unsigned char*>(p) + n);
}

TEST(FieldCodec, IntegersAreBigEndianAndRoundTrip) {
  char buf[8];
  Int<int> minus_two(-2);
  minus_two.write_into_memory(buf);
  EXPECT_EQ(bytes_of(buf, 4), (std::vector<unsigned char>{0xFF, 0xFF, 0xFF, 0xFE}));
  Int<int> back;
  back.load_from_memory(buf);
  EXPECT_EQ(back, -2);

  Int<unsigned long> one(1);
  one.write_into_memory(buf);
  EXPECT_EQ(bytes_of(buf, 8), (std::vector<unsigned char>{0, 0, 0, 0, 0, 0, 0, 1}));
  Int<unsigned long> one_back;
  one_back.load_from_memory(buf);
  EXPECT_EQ(one_back.get(), 1UL);

  Int<long> big(-0x0102030405060708L);
  big.write_into_memory(buf);
  Int<long> big_back;
  big_back.load_from_memory(buf);
  EXPECT_EQ(big_back.get(), -0x0102030405060708L);

  Int<unsigned int> u(0x11223344u);
  u.write_into_memory(buf);
  EXPECT_EQ(bytes_of(buf, 4), (std::vector<unsigned char>{0x11, 0x22, 0x33, 0x44}));

  Int<signed char> c(-1);
  c.write_into_memory(buf);
  EXPECT_EQ(static_cast<unsigned char>(buf[0]), 0xFF);

  LocalTimeStamp ts(20210520093000120UL);
  EXPECT_EQ(ts.Date(), 20210520u);
  EXPECT_EQ(ts.TimeOfDay(), 93000120u);
  EXPECT_EQ(LocalTimeStamp::kWireSize, 8u);
}

TEST(FieldCodec, StringsTravelUnchangedAndSettersCut) {
  char wire[16];
  std::memcpy(wire, "ABCDEFGHIJKLMNOP", 16);  // fills all 16, no terminator
  String<16> s;
  const char* cur = wire;
  unsigned int rem = 16;
  ASSERT_TRUE(Field::load_from_memory(&cur, &rem, s));
  EXPECT_EQ(rem, 0u);
  EXPECT_EQ(s.Length(), 16u);
  EXPECT_EQ(s.ToString(), "ABCDEFGHIJKLMNOP");
  char out[16];
  char* oc = out;
  unsigned int orem = 16;
  ASSERT_TRUE(Field::write_into_memory(&oc, &orem, s));
  EXPECT_EQ(std::memcmp(out, wire, 16), 0);

  // Readers copy at most 15 characters into a terminated buffer.
  char term[16];
  EXPECT_EQ(s.CopyTo(term, sizeof term), 15u);
  EXPECT_STREQ(term, "ABCDEFGHIJKLMNO");

  // Senders cut at N - 1 and zero-pad.
  String<8> t;
  t.Set("0123456789");
  EXPECT_EQ(t.ToString(), "0123456");
  EXPECT_EQ(t[7], '\0');
  t.Set("ab");
  EXPECT_EQ(t.ToString(), "ab");
  for (unsigned i = 2; i < 8; ++i) EXPECT_EQ(t[i], '\0') << i;
  t.Set(nullptr);
  EXPECT_EQ(t.Length(), 0u);
}

TEST(FieldCodec, CursorDisciplineStopsAtFirstValueThatDoesNotFit) {
  // int, String<64>: exactly as wide as the values -> count ends at 0.
  char wire[70];
  std::memset(wire, 'x', sizeof wire);
  StoreBigEndian<int>(wire, 77);
  {
    Int<int> a;
    String<64> b;
    const char* cur = wire;
    unsigned int rem = 68;
    EXPECT_TRUE(Field::load_from_memory(&cur, &rem, a, b));
    EXPECT_EQ(rem, 0u);
    EXPECT_EQ(cur, wire + 68);
    EXPECT_EQ(a, 77);
  }
  // Longer input: trailing bytes are not looked at.
  {
    Int<int> a;
    String<64> b;
    const char* cur = wire;
    unsigned int rem = 70;
    EXPECT_TRUE(Field::load_from_memory(&cur, &rem, a, b));
    EXPECT_EQ(rem, 2u);
  }
  // One byte short: the integer transfers, the text keeps its old value.
  {
    Int<int> a(5);
    String<64> b;
    b.Set("old");
    const char* cur = wire;
    unsigned int rem = 67;
    EXPECT_FALSE(Field::load_from_memory(&cur, &rem, a, b));
    EXPECT_EQ(a, 77);
    EXPECT_EQ(b.ToString(), "old");
    EXPECT_EQ(rem, 63u);
    EXPECT_EQ(cur, wire + 4);
  }
  // Null cursor fails before anything transfers.
  {
    Int<int> a(5);
    const char* cur = nullptr;
    unsigned int rem = 100;
    EXPECT_FALSE(Field::load_from_memory(&cur, &rem, a));
    EXPECT_EQ(a, 5);
    EXPECT_EQ(rem, 100u);
    char* wcur = nullptr;
    EXPECT_FALSE(Field::write_into_memory(&wcur, &rem, a));
  }
}

TEST(FieldCodec, ArraysAreCheckedAsAWhole) {
  char wire[40];
  for (int i = 0; i < 5; ++i) StoreBigEndian<unsigned long>(wire + 8 * i, 100UL + i);
  Array<Int<unsigned long>, 5> arr;
  arr[0] = 9;
  const char* cur = wire;
  unsigned int rem = 39;
  EXPECT_FALSE(Field::load_from_memory(&cur, &rem, arr));
  EXPECT_EQ(arr[0].get(), 9UL);  // no element transferred
  EXPECT_EQ(arr[1].get(), 0UL);
  EXPECT_EQ(rem, 39u);
  rem = 40;
  ASSERT_TRUE(Field::load_from_memory(&cur, &rem, arr));
  for (unsigned i = 0; i < 5; ++i) EXPECT_EQ(arr[i].get(), 100UL + i);

  // Encode side: a short output leaves the bytes of the array unwritten.
  char out[48];
  std::memset(out, 0xAB, sizeof out);
  Int<int> head(1);
  char* oc = out;
  unsigned int orem = 43;
  EXPECT_FALSE(Field::write_into_memory(&oc, &orem, head, arr));
  EXPECT_EQ(static_cast<unsigned char>(out[3]), 1);
  EXPECT_EQ(static_cast<unsigned char>(out[4]), 0xAB);
  EXPECT_EQ(orem, 39u);
}

}  // namespace
}  // namespace zavo
