// The multicast side of a raw session: fragments reassembled per exchange,
// stale, broken, repeated and foreign packets dropped.
#include <gtest/gtest.h>

#include "api/api_imp.h"
#include "api/udp_raw_api_imp.h"
#include "net/udp_multicast_sender.h"
#include "raw_test_support.h"
#include "support/session_peer.h"

namespace zavo {
namespace rawtest {
namespace {

const char* const kGroup = "239.255.88.1";
constexpr uint16_t kPort = 16701;

class Feed {
 public:
  explicit Feed(uint16_t port) { EXPECT_EQ(sender_.Open(kGroup, port, "127.0.0.1"), 0); }
  void Send(const std::string& d) { EXPECT_TRUE(sender_.Write(Slice(d.data(), d.size()))); }

 private:
  UdpMulticastSender2 sender_;
};

// An object that never opened: no threads, so the datagram step can be
// called directly and its consumed count checked.
TEST(RawFeed, ConsumedBytesOfOneDatagram) {
  UdpRawApiImp* api = new UdpRawApiImp();
  const std::string pk = raw_packet(1, 5, 0, 0, payload_of(30, 'a'));
  ASSERT_EQ(pk.size(), 50u);

  EXPECT_EQ(SessionPeer::ConsumeDatagram(api, pk.data(), 1), 0u);
  EXPECT_EQ(SessionPeer::ConsumeDatagram(api, pk.data(), pk.size()), 50u);
  // Garbage before the sync value counts; bytes after the packet do not.
  const std::string g3 = "xyz" + pk + "trailing";
  EXPECT_EQ(SessionPeer::ConsumeDatagram(api, g3.data(), g3.size()), 53u);
  // No sync value: all but the last byte, which may be half of one.
  const std::string none = "abcdefgh";
  EXPECT_EQ(SessionPeer::ConsumeDatagram(api, none.data(), none.size()), 7u);
  // Truncated header or payload: only the garbage in front is consumed.
  const std::string short_header = "ab" + pk.substr(0, 12);
  EXPECT_EQ(SessionPeer::ConsumeDatagram(api, short_header.data(), short_header.size()), 2u);
  const std::string short_payload = "a" + pk.substr(0, 45);
  EXPECT_EQ(SessionPeer::ConsumeDatagram(api, short_payload.data(), short_payload.size()), 1u);
  // An unknown exchange is still a whole packet consumed.
  const std::string x3 = raw_packet(3, 6, 0, 0, "abc");
  EXPECT_EQ(SessionPeer::ConsumeDatagram(api, x3.data(), x3.size()), 23u);
  api->Release();
}

TEST(RawFeed, FragmentsReassembledStaleAndBrokenDropped) {
  LogCatcher& logs = LogCatcher::Get();
  logs.Clear();
  rec().Reset();
  FakeServer srv;
  const int port = srv.Start();
  ASSERT_GT(port, 0);
  ZAVO_RawOpenSetting st = raw_settings(port, "SH", kPort, kGroup);
  ZAVO_ERROR err = ZAVO_ERR_BUSY;
  ZAVO_HANDLE h = ZAVO_OpenRaw(&st, &err);
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(err, ZAVO_SUCCESS);
  Feed feed(kPort);

  // One fragment.
  const std::string p10 = payload_of(37, 'a');
  feed.Send(raw_packet(1, 10, 0, 0, p10, 93000123));
  ASSERT_TRUE(rec().WaitData(1));
  {
    const RawMsg m = rec().data()[0];
    EXPECT_EQ(m.handle, h);
    EXPECT_EQ(m.type, static_cast<uint32_t>(ZAVO_MSG_RAW_DATA));
    EXPECT_EQ(m.size, 16u);
    EXPECT_EQ(m.time, 93000123u);
    EXPECT_EQ(m.connect_id, 77);
    EXPECT_EQ(m.seq, 10u);
    EXPECT_EQ(m.exchange, '1');
    EXPECT_EQ(m.bytes, p10);
  }

  // Three fragments, delivered once as their concatenation with the time
  // of the last one; the message outgrows the initial buffers.
  const std::string a = payload_of(1380, 'b'), b = payload_of(1380, 'c'), c = payload_of(9, 'd');
  feed.Send(raw_packet(1, 11, 0, 1, a, 93000200));
  feed.Send(raw_packet(1, 11, 1, 1, b, 93000201));
  feed.Send(raw_packet(1, 11, 2, 0, c, 93000202));
  ASSERT_TRUE(rec().WaitData(2));
  EXPECT_EQ(rec().data()[1].seq, 11u);
  EXPECT_EQ(rec().data()[1].bytes, a + b + c);
  EXPECT_EQ(rec().data()[1].time, 93000202u);

  // Out of order: 0, 2, 1 gives nothing; the next message still arrives.
  feed.Send(raw_packet(1, 12, 0, 1, "aaaa"));
  feed.Send(raw_packet(1, 12, 2, 0, "cccc"));
  feed.Send(raw_packet(1, 12, 1, 1, "bbbb"));
  feed.Send(raw_packet(1, 13, 0, 0, "m13"));
  ASSERT_TRUE(rec().WaitData(3));
  EXPECT_EQ(rec().data()[2].seq, 13u);
  EXPECT_EQ(rec().data()[2].bytes, "m13");

  // A message whose first fragment was lost is never delivered.
  feed.Send(raw_packet(1, 14, 1, 0, "tail"));
  // Old sequence after a newer one.
  feed.Send(raw_packet(1, 20, 0, 0, "m20"));
  feed.Send(raw_packet(1, 19, 0, 0, "m19"));
  feed.Send(raw_packet(1, 21, 0, 0, "m21"));
  ASSERT_TRUE(rec().WaitData(5));
  EXPECT_EQ(rec().data()[3].seq, 20u);
  EXPECT_EQ(rec().data()[4].seq, 21u);

  // Garbage before the sync value, and trailing bytes that even look like
  // the start of another packet, in one datagram.
  feed.Send("\x01\x02\x03" + raw_packet(1, 22, 0, 0, "m22") + "\xF7\xF7junk");
  ASSERT_TRUE(rec().WaitData(6));
  EXPECT_EQ(rec().data()[5].seq, 22u);
  EXPECT_EQ(rec().data()[5].bytes, "m22");

  // Shenzhen is not subscribed: dropped silently. Exchange 3: logged.
  feed.Send(raw_packet(2, 23, 0, 0, "sz"));
  feed.Send(raw_packet(3, 23, 0, 0, "x3"));
  feed.Send(raw_packet(1, 24, 0, 0, "m24"));
  ASSERT_TRUE(rec().WaitData(7));
  EXPECT_EQ(rec().data()[6].seq, 24u);
  EXPECT_EQ(rec().data()[6].exchange, '1');
  EXPECT_TRUE(logs.Contains("RawDataPacket with Error ExchangeID: 3"));
  EXPECT_FALSE(logs.Contains("RawDataPacket with Error ExchangeID: 2"));

  // Repeated datagrams: a repeated fragment does not break its message and
  // a repeated message is delivered once, however often it comes.
  feed.Send(raw_packet(1, 30, 0, 1, "r0-"));
  feed.Send(raw_packet(1, 30, 0, 1, "r0-"));
  feed.Send(raw_packet(1, 30, 1, 1, "r1-"));
  feed.Send(raw_packet(1, 30, 0, 1, "r0-"));
  feed.Send(raw_packet(1, 30, 2, 0, "r2"));
  for (int i = 0; i < 3; ++i) feed.Send(raw_packet(1, 31, 0, 0, "m31"));
  // A stray continuation of a message already delivered changes nothing.
  feed.Send(raw_packet(1, 31, 1, 0, "stray"));
  feed.Send(raw_packet(1, 32, 0, 0, "m32"));
  ASSERT_TRUE(rec().WaitData(10));
  const std::vector<RawMsg> d = rec().data();
  ASSERT_EQ(d.size(), 10u);
  EXPECT_EQ(d[7].seq, 30u);
  EXPECT_EQ(d[7].bytes, "r0-r1-r2");
  EXPECT_EQ(d[8].seq, 31u);
  EXPECT_EQ(d[8].bytes, "m31");
  EXPECT_EQ(d[9].seq, 32u);

  ZAVO_Close(h);
  ZAVO_Wait(h);
}

}  // namespace
}  // namespace rawtest
}  // namespace zavo
