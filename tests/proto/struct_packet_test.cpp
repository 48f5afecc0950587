// Struct and raw packets: building, serialising, recognising in a stream,
// and walking fields.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "util/timestamp.h"
#include "proto/raw_packet.h"
#include "proto/struct_packet.h"
#include "proto/sys_field.h"

namespace zavo {
namespace {

std::string bytes(const Slice& s) {
  return std::string(s.data, s.size);
}

// A serialised packet holding the given records, as a byte string.
template <class... R>
std::string wire_packet(unsigned long time, const R&... records) {
  StructPacket p(64);
  p.ResetForSend();
  EXPECT_TRUE((p.AddField(records) && ...));
  p.PacketTime = time;
  EXPECT_TRUE(p.Serialize());
  return bytes(p.Bytes());
}

TEST(StructPacket, SentPacketsAreByteExact) {
  ReqUserLoginField login;
  login.Fill("user", "secret", "zavo 1.1.0");
  StructPacket p = StructPacket::ForRecord<ReqUserLoginField>();
  EXPECT_EQ(p.Buffer().capacity(), 176u);
  ASSERT_TRUE(p.AddField(login));
  p.PacketTime = 20210305093000120UL;
  ASSERT_TRUE(p.Serialize());
  std::string w = bytes(p.Bytes());
  ASSERT_EQ(w.size(), 144u);
  EXPECT_EQ(p.BodyLength, 128);
  EXPECT_EQ(w.substr(0, 8), std::string("\x07\x07\x00\x80\x00\x00\x00\x00", 8));
  EXPECT_EQ(LoadBigEndian<unsigned long>(&w[8]), 20210305093000120UL);
  EXPECT_EQ(w.substr(16, 12), std::string("\x00\x06\x00\x74\0\0\0\0\0\0\0\0", 12));
  EXPECT_EQ(w.substr(32, 4), "user");
  EXPECT_EQ(w.substr(48, 6), "secret");
  EXPECT_EQ(w.substr(80, 10), "zavo 1.1.0");

  // The echoed login reply: 96 bytes declared, 92 encoded, 4 zero bytes.
  RspUserLoginField rsp;
  rsp.ReplyValue = 0x1122334455667788UL;
  rsp.ReplyText.Set("ok");
  rsp.ErrorMsg.Set("a;b;c");
  StructPacket e = StructPacket::ForRecord<RspUserLoginField>();
  std::memset(e.Buffer().base(), 0xEE, e.Buffer().capacity());  // stale memory
  e.ResetForSend();
  ASSERT_TRUE(e.AddField(rsp));
  ASSERT_TRUE(e.Serialize());
  std::string ew = bytes(e.Bytes());
  ASSERT_EQ(ew.size(), 124u);
  EXPECT_EQ(e.BodyLength, 108);
  EXPECT_EQ(LoadBigEndian<unsigned short>(&ew[16]), 7);
  EXPECT_EQ(LoadBigEndian<unsigned short>(&ew[18]), 96);
  EXPECT_EQ(LoadBigEndian<unsigned long>(&ew[28]), 0x1122334455667788UL);
  EXPECT_EQ(ew.substr(120, 4), std::string(4, '\0'));

  // The retransmission request: 48 bytes, packet type set after building.
  ReqRetransmitField req;
  req.BeginSeq = 100;
  req.EndSeq = 200;
  req.Scope = 20210305u;
  StructPacket r = StructPacket::ForRecord<ReqRetransmitField>();
  ASSERT_TRUE(r.AddField(req));
  r.PacketType = StructPacket::kRebuildPacketType;
  ASSERT_TRUE(r.Serialize());
  std::string rw = bytes(r.Bytes());
  ASSERT_EQ(rw.size(), 48u);
  EXPECT_EQ(LoadBigEndian<unsigned int>(&rw[4]), 1010u);
  EXPECT_EQ(LoadBigEndian<unsigned short>(&rw[16]), 4);
  EXPECT_EQ(LoadBigEndian<unsigned short>(&rw[18]), 20);
  EXPECT_EQ(LoadBigEndian<unsigned long>(&rw[28]), 100UL);
  EXPECT_EQ(LoadBigEndian<unsigned long>(&rw[36]), 200UL);
  EXPECT_EQ(LoadBigEndian<unsigned int>(&rw[44]), 20210305u);
}

TEST(StructPacket, SerialiseFillsOnlyAMissingTime) {
  HeartBeatField hb;
  StructPacket p = StructPacket::ForRecord<HeartBeatField>();
  ASSERT_TRUE(p.AddField(hb));
  const uint64_t before = Timestamp::Now().FullStamp();
  ASSERT_TRUE(p.Serialize());
  const uint64_t after = Timestamp::Now().FullStamp();
  EXPECT_GE(p.PacketTime, before);
  EXPECT_LE(p.PacketTime, after);
  EXPECT_EQ(LoadBigEndian<unsigned long>(p.Bytes().data + 8), p.PacketTime);

  p.PacketTime = 12345;
  ASSERT_TRUE(p.Serialize());
  EXPECT_EQ(LoadBigEndian<unsigned long>(p.Bytes().data + 8), 12345UL);
}

TEST(StructPacket, BuildingGrowsWithinTheBound) {
  // Too small to start with: rebuilt in (Size() + 28) * 2 bytes.
  StructPacket small(20);
  small.ResetForSend();
  small.PacketType = 9;
  ReqUserLoginField login;
  ASSERT_TRUE(small.AddField(login));
  EXPECT_EQ(small.Buffer().capacity(), 288u);
  EXPECT_EQ(small.PacketType, 0u);
  ASSERT_TRUE(small.Serialize());
  EXPECT_EQ(small.Bytes().size, 144u);

  // Fields already added survive growth; the packet stops short of 65534
  // bytes and a refused field leaves it as it was.
  StructPacket big = StructPacket::ForRecord<OrderQueueField>();
  OrderQueueField q;
  int added = 0;
  for (int i = 0; i < 100; ++i) {
    q.OrderQueue[0] = static_cast<unsigned int>(i);
    if (!big.AddField(q)) break;
    ++added;
  }
  EXPECT_EQ(added, (65534 - 16) / 862);
  EXPECT_LE(big.Buffer().capacity(), StructPacket::kMaxCapacity);
  ASSERT_TRUE(big.Serialize());
  EXPECT_EQ(big.BodyLength, added * 862);

  StructPacket rx;
  std::string w = bytes(big.Bytes());
  ASSERT_TRUE(rx.ParseFrom(w.data(), w.size()).complete);
  int walked = 0;
  for (StructPacket::Iterator it(rx); it.Valid(); it.Next()) {
    OrderQueueField got;
    ASSERT_TRUE(it.Decode(got));
    EXPECT_EQ(got.OrderQueue[0].get(), static_cast<unsigned int>(walked));
    ++walked;
  }
  EXPECT_EQ(walked, added);
}

TEST(StructPacket, ParsingResynchronisesAndWaitsForWholePackets) {
  HeartBeatField hb;
  hb.ServerTime = 20210520093000120UL;
  const std::string one = wire_packet(1, hb);  // 16 + 12 + 8 = 36 bytes
  ASSERT_EQ(one.size(), 36u);

  StructPacket p;
  // Three garbage bytes, then a packet.
  std::string s = "abc" + one;
  auto r = p.ParseFrom(s.data(), s.size());
  EXPECT_TRUE(r.complete);
  EXPECT_EQ(r.consumed, 3u + 36u);
  EXPECT_EQ(p.BodyLength, 20);
  EXPECT_EQ(p.PacketTime, 1UL);
  EXPECT_EQ(p.BodySize(), 20u);

  // A lone 07 is kept: it may be half a sync value.
  r = p.ParseFrom("\x07", 1);
  EXPECT_FALSE(r.complete);
  EXPECT_EQ(r.consumed, 0u);
  // Ten bytes without sync: nine dropped, the last kept.
  r = p.ParseFrom("0123456789", 10);
  EXPECT_EQ(r.consumed, 9u);
  EXPECT_EQ(r.needed, 0u);
  r = p.ParseFrom("012345678\x07", 10);
  EXPECT_EQ(r.consumed, 9u);

  // Fewer than 16 bytes from the sync value on: wait for a header.
  r = p.ParseFrom(("xy" + one.substr(0, 10)).data(), 12);
  EXPECT_FALSE(r.complete);
  EXPECT_EQ(r.consumed, 2u);
  EXPECT_EQ(r.needed, 16u);

  // A header announcing 100 body bytes with 50 present: wait for 116.
  std::string hundred(16 + 100, '\0');
  StoreBigEndian<unsigned short>(&hundred[0], 0x0707);
  StoreBigEndian<unsigned short>(&hundred[2], 100);
  r = p.ParseFrom(("zz" + hundred.substr(0, 66)).data(), 68);
  EXPECT_FALSE(r.complete);
  EXPECT_EQ(r.consumed, 2u);
  EXPECT_EQ(r.needed, 116u);
  r = p.ParseFrom(hundred.data(), hundred.size());
  EXPECT_TRUE(r.complete);
  EXPECT_EQ(r.consumed, 116u);

  // Two packets back to back come out one after the other.
  HeartBeatField hb2;
  hb2.ServerTime = 7;
  const std::string two = one + wire_packet(2, hb2);
  r = p.ParseFrom(two.data(), two.size());
  ASSERT_TRUE(r.complete);
  EXPECT_EQ(r.consumed, 36u);
  r = p.ParseFrom(two.data() + 36, two.size() - 36);
  ASSERT_TRUE(r.complete);
  EXPECT_EQ(r.consumed, 36u);
  StructPacket::Iterator it(p);
  ASSERT_TRUE(it.Valid());
  HeartBeatField got;
  ASSERT_TRUE(it.Decode(got));
  EXPECT_EQ(got.ServerTime.get(), 7UL);
}

TEST(StructPacket, ReceiveBufferGrowsByHalfAgain) {
  std::string big(16 + 10000, 'b');
  StoreBigEndian<unsigned short>(&big[0], 0x0707);
  StoreBigEndian<unsigned short>(&big[2], 10000);
  StructPacket p;
  EXPECT_EQ(p.Buffer().capacity(), 4096u);
  auto r = p.ParseFrom(big.data(), big.size());
  ASSERT_TRUE(r.complete);
  EXPECT_EQ(p.Buffer().capacity(), 21144u);
  EXPECT_EQ(p.BodySize(), 10000u);
  EXPECT_EQ(std::string(p.Body(), 10000), big.substr(16));
  // A smaller body reuses the grown buffer.
  std::string small = wire_packet(3, HeartBeatField());
  ASSERT_TRUE(p.ParseFrom(small.data(), small.size()).complete);
  EXPECT_EQ(p.Buffer().capacity(), 21144u);
  EXPECT_EQ(p.BodySize(), 20u);
}

TEST(StructPacket, FieldWalkHandlesShortAndOverlongFields) {
  IndexSnapShotField ix;
  ix.Code.Set("000300");
  ix.LastIndex = 4000;
  HeartBeatField hb;
  hb.ServerTime = 5;
  std::string w = wire_packet(1, hb, ix);
  StructPacket p;
  ASSERT_TRUE(p.ParseFrom(w.data(), w.size()).complete);
  std::vector<unsigned short> ids;
  for (StructPacket::Iterator it(p); it.Valid(); it.Next()) ids.push_back(it.FieldId);
  EXPECT_EQ(ids, (std::vector<unsigned short>{3, 258}));

  // The last field announces more than the body holds: its record is still
  // decoded with the remaining count, then the walk ends.
  std::string body = w.substr(16);
  StoreBigEndian<unsigned short>(&body[20 + 2], 200);
  StructPacket::Iterator it(body.data(), static_cast<unsigned int>(body.size()));
  ASSERT_TRUE(it.Next());
  EXPECT_EQ(it.FieldId, 258);
  EXPECT_EQ(it.FieldLength, 200);
  EXPECT_EQ(it.Remaining(), 81u);
  IndexSnapShotField got;
  EXPECT_TRUE(it.Decode(got));
  EXPECT_EQ(got.LastIndex, 4000);
  EXPECT_FALSE(it.Next());
  EXPECT_FALSE(it.Valid());

  // 11 bytes after a field are not a field header.
  std::string tail = body.substr(0, 20) + std::string(11, '\x07');
  StructPacket::Iterator t(tail.data(), static_cast<unsigned int>(tail.size()));
  ASSERT_TRUE(t.Valid());
  EXPECT_FALSE(t.Next());

  // A truncated record fails to decode but the walk goes on.
  std::string cut = body.substr(0, 20 + 12 + 40);
  StructPacket::Iterator c(cut.data(), static_cast<unsigned int>(cut.size()));
  ASSERT_TRUE(c.Next());
  EXPECT_FALSE(c.Decode(got));
  EXPECT_FALSE(c.Next());

  // An empty body has no field.
  StructPacket::Iterator e(body.data(), 0);
  EXPECT_FALSE(e.Valid());
}

TEST(RawDataPacket, HeaderAndPayloadRoundTrip) {
  RawDataPacket tx;
  tx.SendTime = 93000120;
  tx.ExchangeID = 2;
  tx.Sequence = 0x0102030405060708UL;
  tx.FragmentNo = 3;
  tx.MoreFragments = 1;
  const std::string payload = "exchange-bytes";
  ASSERT_TRUE(tx.Build(payload.data(), payload.size()));
  std::string w = bytes(tx.Bytes());
  ASSERT_EQ(w.size(), 20u + payload.size());
  EXPECT_EQ(w.substr(0, 2), "\xF7\xF7");
  EXPECT_EQ(LoadBigEndian<unsigned int>(&w[2]), 93000120u);
  EXPECT_EQ(w[6], 2);
  EXPECT_EQ(LoadBigEndian<unsigned long>(&w[7]), 0x0102030405060708UL);
  EXPECT_EQ(LoadBigEndian<unsigned short>(&w[15]), 3);
  EXPECT_EQ(w[17], 1);
  EXPECT_EQ(LoadBigEndian<unsigned short>(&w[18]), payload.size());

  RawDataPacket rx(8);
  EXPECT_TRUE(RawDataPacket::HasMagic(w.data(), w.size()));
  EXPECT_FALSE(rx.DecodeHeader(w.data(), 19));
  ASSERT_TRUE(rx.DecodeHeader(w.data(), w.size()));
  EXPECT_EQ(rx.Sequence, tx.Sequence);
  EXPECT_EQ(rx.PayloadLength, payload.size());
  ASSERT_TRUE(rx.Assign(w.data(), w.size()));
  EXPECT_EQ(rx.Buffer().capacity(), (w.size() + 8) * 3 / 2);
  ASSERT_NE(rx.Payload(), nullptr);
  EXPECT_EQ(std::string(rx.Payload(), rx.PayloadLength), payload);

  // Assembling a message keeps earlier fragments across growth.
  RawDataPacket msg(4);
  ASSERT_TRUE(msg.AppendPayload("abc", 3));
  ASSERT_TRUE(msg.AppendPayload("defghij", 7));
  EXPECT_EQ(bytes(msg.Bytes()), "abcdefghij");
  msg.Clear();
  EXPECT_EQ(msg.Bytes().size, 0u);
  EXPECT_EQ(msg.Magic, RawDataPacket::kMagic);
}

}  // namespace
}  // namespace zavo
