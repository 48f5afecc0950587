// The per-field fast paths against the plain code they stand in for: direct
// decoding into the public records against Decode + ConvertField, the word
// code helpers against String::CopyTo and SecurityCode::Make, the filter's
// quick answers against a whole-snapshot match, and the struct session's
// processing step end to end.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "api/code_key.h"
#include "api/convert.h"
#include "api/subscription_manager.h"
#include "api/udp_api_imp.h"
#include "convert_oracle.h"
#include "proto/struct_packet.h"
#include "support/decode_into.h"
#include "support/session_peer.h"

namespace zavo {
namespace {

// Bytes that the conversions treat specially, mixed with uniform noise.
unsigned char draw_byte(std::mt19937& rng) {
  static const unsigned char kSpecial[] = {0,   ' ', '1', '2', 'F', 'G',  'U',
                                           'T', 'C', 'N', 'B', 1,   0xFF, 0x80};
  if (rng() % 2 == 0) return kSpecial[rng() % sizeof(kSpecial)];
  return static_cast<unsigned char>(rng());
}

// A 16-byte code: a run of characters, then a NUL or blank (or none) at
// `stop`, then more noise.
void draw_code(std::mt19937& rng, char* code, unsigned stop, char terminator) {
  for (unsigned i = 0; i < 16; ++i) code[i] = static_cast<char>('0' + rng() % 10);
  if (stop < 16) code[stop] = terminator;
  for (unsigned i = stop + 1; i < 16; ++i) code[i] = static_cast<char>(draw_byte(rng));
}

// Decodes `bytes` both ways and compares whole records, padding included.
template <class Field, class Record, class... Now>
void expect_same(const std::vector<char>& bytes, const Now&... now) {
  Field field;
  ASSERT_TRUE(field.Decode(bytes.data(), static_cast<unsigned>(bytes.size())));
  Record expected, actual;
  std::memset(&expected, 0xA5, sizeof(expected));
  std::memset(&actual, 0x5A, sizeof(actual));
  ConvertField(&field, &expected, now...);
  ASSERT_TRUE(DecodeInto(bytes.data(), static_cast<unsigned>(bytes.size()), &actual, now...));
  ASSERT_EQ(std::memcmp(&expected, &actual, sizeof(Record)), 0) << TypeName<Field>();
}

template <class Field, class Record, class... Now>
void check_kind(std::mt19937& rng, unsigned code_offset, const Now&... now) {
  std::vector<char> bytes(Field::Size());
  for (int round = 0; round < 300; ++round) {
    for (char& b : bytes) b = static_cast<char>(draw_byte(rng));
    draw_code(rng, bytes.data() + code_offset, static_cast<unsigned>(round % 18),
              round % 3 == 0 ? ' ' : '\0');
    expect_same<Field, Record>(bytes, now...);
    if (::testing::Test::HasFatalFailure()) return;
  }
  // One byte short: refused, and the record is left as it was.
  Record untouched;
  std::memset(&untouched, 0x77, sizeof(untouched));
  Record out = untouched;
  EXPECT_FALSE(DecodeInto(bytes.data(), Field::Size() - 1, &out, now...));
  EXPECT_FALSE(DecodeInto(nullptr, Field::Size(), &out, now...));
  EXPECT_EQ(std::memcmp(&out, &untouched, sizeof(out)), 0);
  // Longer input is fine: only the record's own bytes are read.
  bytes.resize(Field::Size() + 40, '\x7f');
  expect_same<Field, Record>(bytes, now...);
}

TEST(DecodeInto, EveryKindMatchesDecodeThenConvertByteForByte) {
  std::mt19937 rng(20240102);
  timespec now;
  now.tv_sec = 1704159000;
  now.tv_nsec = 123456789;
  check_kind<SecuritySnapShotField, ZAVO_SecuritySnapShot>(rng, 0, now);
  check_kind<IndexSnapShotField, ZAVO_IndexSnapShot>(rng, 0);
  check_kind<FutureSnapShotField, ZAVO_FutureSnapShot>(rng, 0);
  check_kind<OrderQueueField, ZAVO_OrderQueue>(rng, 0);
  check_kind<OrderDetailField, ZAVO_OrderDetail>(rng, 0);
  check_kind<TradeDetailField, ZAVO_TradeDetail>(rng, 0);
  check_kind<SH_OrderDetailField, ZAVO_SHOrderDetail>(rng, 0);
}

TEST(DecodeInto, KnownTradeAndQueueValues) {
  TradeDetailField t;
  t.Code.Set("600000");
  t.ExchangeID = 1;
  t.TimeStamp = 20240102093000123UL;
  t.TradeSequence = 77;
  t.TradePrice = 105000;
  t.TradeQty = 0x100000064L;  // only the low 32 bits are kept
  t.ExecType = '2';
  t.BSFlag = ' ';
  t.TradeChannel = -1;
  t.BizIndex = 9;
  std::vector<char> wire(TradeDetailField::Size());
  ASSERT_TRUE(t.Encode(wire.data(), TradeDetailField::Size()));
  ZAVO_TradeDetail td;
  ASSERT_TRUE(DecodeInto(wire.data(), TradeDetailField::Size(), &td));
  EXPECT_STREQ(td.Code, "600000");
  EXPECT_EQ(td.ExchangeID, '1');
  EXPECT_EQ(td.Date, 20240102u);
  EXPECT_EQ(td.Time, 93000123u);
  EXPECT_EQ(td.TradeQty, 100u);
  EXPECT_EQ(td.ExecType, 'C');
  EXPECT_EQ(td.BSFlag, 'N');
  EXPECT_EQ(td.TradeChannel, 0xFFFFFFFFu);

  OrderQueueField q;
  q.Code.Set("000001");
  q.ExchangeID = 2;
  for (unsigned i = 0; i < 200; ++i) q.OrderQueue[i] = 0x01020304u * (i + 1);
  std::vector<char> qwire(OrderQueueField::Size());
  ASSERT_TRUE(q.Encode(qwire.data(), OrderQueueField::Size()));
  ZAVO_OrderQueue oq;
  ASSERT_TRUE(DecodeInto(qwire.data(), OrderQueueField::Size(), &oq));
  for (unsigned i = 0; i < 200; ++i) ASSERT_EQ(oq.OrderQueue[i], 0x01020304u * (i + 1)) << i;
  EXPECT_EQ(oq.TradingDay, 0u);
}

TEST(DecodeInto, OneLetterMappingsForEveryByte) {
  for (int b = -128; b < 128; ++b) {
    const signed char c = static_cast<signed char>(b);
    const char side = c == '1' ? 'B' : c == '2' ? 'S' : (c == 'F' || c == 'G') ? c : 0;
    const char flag = c == ' ' ? 'N' : c == '1' ? 'B' : c == '2' ? 'S' : 0;
    const char exec = c == '1' ? 'T' : c == '2' ? 'C' : 0;
    const char type = (c == '1' || c == '2' || c == 'U') ? c : 0;
    EXPECT_EQ(MapOrderSide(c), side) << b;
    EXPECT_EQ(MapBSFlag(c), flag) << b;
    EXPECT_EQ(MapExecType(c), exec) << b;
    EXPECT_EQ(MapOrderType(c), type) << b;
  }
  // The exchange byte of every record: only 1 and 2 name a market.
  for (int b = 0; b < 256; ++b) {
    const char expected = b == 1 ? '1' : b == 2 ? '2' : '0';
    EXPECT_EQ(ExchangeChar(static_cast<unsigned char>(b)), expected) << b;
  }
}

TEST(CodeWords, CopyAndKeyMatchTheByteLoops) {
  std::mt19937 rng(7);
  char code[16];
  for (int round = 0; round < 4000; ++round) {
    const unsigned stop = static_cast<unsigned>(round % 17);
    draw_code(rng, code, stop, "\0 x"[round % 3]);
    // A blank or NUL may also appear earlier than `stop`.
    if (round % 7 == 0) code[rng() % 16] = (rng() % 2) ? ' ' : '\0';

    String<16> wire;
    wire.SetRaw(code);
    char expected[16];
    std::memset(expected, 0, sizeof(expected));
    wire.CopyTo(expected, sizeof(expected));
    char actual[16];
    std::memset(actual, 0x33, sizeof(actual));
    CopyCode16(actual, code);
    ASSERT_EQ(std::memcmp(expected, actual, 16), 0) << round;

    for (unsigned char exchange : {0, 1, 2, 200}) {
      ASSERT_EQ(KeyOfCode16(exchange, code), SecurityCode::Make(exchange, code, 16)) << round;
    }
    // The key of the public code equals the key of the wire code.
    ASSERT_EQ(KeyOfCode16(1, actual), KeyOfCode16(1, code)) << round;
  }
  // Edges: empty, exactly 14 and 15 characters, a full 16.
  const char full[17] = "ABCDEFGHIJKLMNOP";
  char out[16];
  CopyCode16(out, full);
  EXPECT_EQ(std::string(out), "ABCDEFGHIJKLMNO");
  const SecurityCode key = KeyOfCode16(2, full);
  EXPECT_EQ(key, SecurityCode::Make(2, "ABCDEFGHIJKLMN"));
  EXPECT_NE(key, SecurityCode::Make(2, "ABCDEFGHIJKLM"));
  const char empty[16] = {};
  CopyCode16(out, empty);
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(KeyOfCode16(1, empty), SecurityCode::Make(1, ""));
}

TEST(SubscriptionQuickPath, AnswersAgreeWithTheSnapshotInEveryState) {
  SubscriptionManager m;
  const char* codes[] = {"600000", "600001", "000001", "10004567", ""};
  auto agree = [&](const char* what) {
    const auto snap = m.Current();
    for (unsigned char exchange : {0, 1, 2, 3, 200, 255}) {
      for (const char* c : codes) {
        char wire[16] = {};
        std::memcpy(wire, c, std::strlen(c));
        const bool expected = SubscriptionManager::Matches(*snap, SecurityCode::Make(exchange, c));
        EXPECT_EQ(m.IsMatchSysCode(exchange, wire, 16), expected)
            << what << " exchange " << int(exchange) << " code " << c;
        EXPECT_EQ(m.IsMatchSysCode(exchange, c), expected) << what;
      }
    }
  };
  agree("fresh: nothing");
  EXPECT_FALSE(m.IsMatchSysCode(1, "600000"));
  ASSERT_TRUE(m.SetMarketSubscription("SH"));
  agree("SH all, SZ none");
  EXPECT_TRUE(m.IsMatchSysCode(1, "600000"));
  EXPECT_FALSE(m.IsMatchSysCode(2, "000001"));
  EXPECT_TRUE(m.IsMatchSysCode(0, "x"));  // another exchange: a whole market is taken
  ASSERT_EQ(m.UpdateSubscription(ZAVO_SUBSCRIBE_REPLACE, "600000.SH;000001.SZ"), ZAVO_SUCCESS);
  agree("only on both");
  EXPECT_TRUE(m.IsMatchSysCode(1, "600000"));
  EXPECT_FALSE(m.IsMatchSysCode(1, "600001"));
  EXPECT_FALSE(m.IsMatchSysCode(0, "600000"));
  ASSERT_EQ(m.UpdateSubscription(ZAVO_SUBSCRIBE_ALL, nullptr), ZAVO_SUCCESS);
  ASSERT_EQ(m.UpdateSubscription(ZAVO_SUBSCRIBE_REMOVE, "600001.SH"), ZAVO_SUCCESS);
  agree("SH all except, SZ all");
  EXPECT_FALSE(m.IsMatchSysCode(1, "600001"));
  EXPECT_TRUE(m.IsMatchSysCode(1, "600000"));
  ASSERT_EQ(m.UpdateSubscription(ZAVO_SUBSCRIBE_REPLACE, "000001.SZ"), ZAVO_SUCCESS);
  ASSERT_EQ(m.UpdateSubscription(ZAVO_SUBSCRIBE_REMOVE, "000001.SZ"), ZAVO_SUCCESS);
  agree("both none after the last code went");
  EXPECT_FALSE(m.IsMatchSysCode(2, "000001"));
  EXPECT_FALSE(m.IsMatchSysCode(0, "000001"));
}

// ---- the processing step end to end ----

struct Seen {
  uint32_t kind;
  uint64_t seq;
  std::vector<char> record;
};
std::vector<Seen>* g_seen = nullptr;

void record_data(void*, const ZAVO_MSG* msg) {
  const char* p = static_cast<const char*>(msg->MsgData);
  g_seen->push_back({msg->MsgType, msg->SeqNum, std::vector<char>(p, p + msg->MsgSize)});
}
void ignore_system(void*, const ZAVO_MSG*) {}

// A datagram of `fields` (id, record bytes, sequence number).
struct WireField {
  unsigned short id;
  std::vector<char> bytes;
  uint64_t seq;
};
std::vector<char> datagram(const std::vector<WireField>& fields) {
  std::vector<char> body;
  for (const WireField& f : fields) {
    char header[StructPacket::kFieldHeaderSize];
    StoreBigEndian<unsigned short>(header, f.id);
    StoreBigEndian<unsigned short>(header + 2, static_cast<unsigned short>(f.bytes.size()));
    StoreBigEndian<unsigned long>(header + 4, f.seq);
    const size_t at = body.size();
    body.resize(at + sizeof(header) + f.bytes.size());
    std::memcpy(body.data() + at, header, sizeof(header));
    std::memcpy(body.data() + at + sizeof(header), f.bytes.data(), f.bytes.size());
  }
  std::vector<char> out(StructPacket::kHeaderSize + body.size());
  StoreBigEndian<unsigned short>(out.data(), StructPacket::kMagic);
  StoreBigEndian<unsigned short>(out.data() + 2, static_cast<unsigned short>(body.size()));
  StoreBigEndian<unsigned int>(out.data() + 4, 0);
  StoreBigEndian<unsigned long>(out.data() + 8, 20240102093000500UL);
  if (!body.empty()) std::memcpy(out.data() + StructPacket::kHeaderSize, body.data(), body.size());
  return out;
}

template <class Field>
std::vector<char> encode(const Field& f) {
  std::vector<char> out(Field::Size());
  EXPECT_TRUE(f.Encode(out.data(), Field::Size()));
  return out;
}

template <class Record, class Field>
std::vector<char> converted(const Field& f) {
  Record r;
  ConvertField(&f, &r);
  const char* p = reinterpret_cast<const char*>(&r);
  return std::vector<char>(p, p + sizeof(r));
}

TEST(StructProcessing, FiltersFlagsCacheAndShortRecords) {
  std::vector<Seen> seen;
  g_seen = &seen;
  UdpStructApiImp* api = new UdpStructApiImp();
  ZAVO_OpenSetting setting;
  std::memset(&setting, 0, sizeof(setting));
  setting.DataHandler = record_data;
  setting.SystemHandler = ignore_system;
  setting.SubscribedMarkets = "SH;SZ";
  setting.SubscribedCodes = "600000.SH";            // Shanghai: only this code; Shenzhen: all
  setting.SubscribeFlags = ZAVO_FLAG_TRADE_DETAIL;  // orders and queues off
  setting.CpuID = -1;
  ASSERT_EQ(SessionPeer::SetDataPath(api, setting), ZAVO_SUCCESS);

  TradeDetailField wanted_trade;
  wanted_trade.Code.Set("600000");
  wanted_trade.ExchangeID = 1;
  wanted_trade.TimeStamp = 20240102093000001UL;
  wanted_trade.TradePrice = 105000;
  wanted_trade.BSFlag = '1';
  TradeDetailField other_trade = wanted_trade;
  other_trade.Code.Set("600001");
  TradeDetailField sz_trade = wanted_trade;
  sz_trade.Code.Set("000001");
  sz_trade.ExchangeID = 2;
  OrderDetailField order;
  order.Code.Set("600000");
  order.ExchangeID = 1;
  IndexSnapShotField filtered_index;  // not delivered, but cached
  filtered_index.Code.Set("000300");
  filtered_index.ExchangeID = 1;
  filtered_index.LastIndex = 3500;
  IndexSnapShotField sz_index = filtered_index;
  sz_index.Code.Set("399001");
  sz_index.ExchangeID = 2;

  std::vector<char> short_trade = encode(wanted_trade);
  short_trade.resize(TradeDetailField::Size() - 1);
  const std::vector<char> d1 = datagram({
      {TradeDetailField::kFieldId, encode(wanted_trade), 11},
      {TradeDetailField::kFieldId, encode(other_trade), 12},
      {OrderDetailField::kFieldId, encode(order), 13},
      {IndexSnapShotField::kFieldId, encode(filtered_index), 14},
      {TradeDetailField::kFieldId, encode(sz_trade), 15},
      {IndexSnapShotField::kFieldId, encode(sz_index), 16},
  });
  SessionPeer::ProcessDatagram(api, d1.data(), d1.size());
  // A record cut short at the end of the datagram is refused.
  const std::vector<char> d2 = datagram({{TradeDetailField::kFieldId, short_trade, 17}});
  SessionPeer::ProcessDatagram(api, d2.data(), d2.size());

  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].kind, static_cast<uint32_t>(ZAVO_MSG_TRADE_DETAIL));
  EXPECT_EQ(seen[0].seq, 11u);
  EXPECT_EQ(seen[0].record, converted<ZAVO_TradeDetail>(wanted_trade));
  EXPECT_EQ(seen[1].seq, 15u);
  EXPECT_EQ(seen[1].record, converted<ZAVO_TradeDetail>(sz_trade));
  EXPECT_EQ(seen[2].kind, static_cast<uint32_t>(ZAVO_MSG_INDEX_SNAPSHOT));
  EXPECT_EQ(seen[2].seq, 16u);
  EXPECT_EQ(seen[2].record, converted<ZAVO_IndexSnapShot>(sz_index));

  ZAVO_IndexSnapShot* cached = nullptr;
  int count = 0;
  ASSERT_EQ(api->GetLastIndexData("SH", &cached, &count), ZAVO_SUCCESS);
  ASSERT_EQ(count, 1);
  EXPECT_EQ(std::memcmp(cached, converted<ZAVO_IndexSnapShot>(filtered_index).data(),
                        sizeof(ZAVO_IndexSnapShot)),
            0);
  std::free(cached);

  // Turning Shanghai to all takes effect for the next datagram.
  seen.clear();
  ASSERT_EQ(api->UpdateSubscription(ZAVO_SUBSCRIBE_ALL, nullptr), ZAVO_SUCCESS);
  SessionPeer::ProcessDatagram(api, d1.data(), d1.size());
  ASSERT_EQ(seen.size(), 5u);  // three trades and two indices, still no order
  EXPECT_EQ(seen[1].record, converted<ZAVO_TradeDetail>(other_trade));
  api->Release();
  g_seen = nullptr;
}

}  // namespace
}  // namespace zavo
