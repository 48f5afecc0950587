// What the decoders hand their sink without any session around them: every
// market-data field's sequence number before the filter (for whoever
// watches for gaps), only the wanted records after it, a day change that
// empties the caches once, and the offline decoder's capture-time delay.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "api/feed_decoder.h"
#include "api/raw_decoder.h"
#include "api/record_sink.h"
#include "api/struct_decoder.h"
#include "proto/raw_packet.h"
#include "proto/struct_packet.h"

namespace zavo {
namespace {

class Recorder final : public RecordSink {
 public:
  explicit Recorder(bool every_field) : RecordSink(every_field) {}
  void OnRecord(uint32_t kind, uint32_t, uint32_t, uint64_t seq, const void*) override {
    records.emplace_back(kind, seq);
  }
  void OnField(uint16_t id, uint64_t seq) override { fields.emplace_back(id, seq); }
  void OnNewDay() override { ++new_days; }

  std::vector<std::pair<uint32_t, uint64_t>> records;
  std::vector<std::pair<uint16_t, uint64_t>> fields;
  int new_days = 0;
};

// A field header and record bytes appended to `body`.
template <class Field>
void append(std::string* body, const Field& f, uint64_t seq) {
  std::string bytes(StructPacket::kFieldHeaderSize + Field::Size(), '\0');
  StoreBigEndian<unsigned short>(&bytes[0], Field::kFieldId);
  StoreBigEndian<unsigned short>(&bytes[2], static_cast<unsigned short>(Field::Size()));
  StoreBigEndian<unsigned long>(&bytes[4], seq);
  ASSERT_TRUE(f.Encode(&bytes[StructPacket::kFieldHeaderSize], Field::Size()));
  *body += bytes;
}

std::string datagram(const std::string& body) {
  std::string out(StructPacket::kHeaderSize, '\0');
  StoreBigEndian<unsigned short>(&out[0], StructPacket::kMagic);
  StoreBigEndian<unsigned short>(&out[2], static_cast<unsigned short>(body.size()));
  StoreBigEndian<unsigned int>(&out[4], 0);
  StoreBigEndian<unsigned long>(&out[8], 20240102093000500UL);
  return out + body;
}

SecuritySnapShotField snapshot(const char* code, int64_t track_nsec = 0) {
  SecuritySnapShotField f;
  f.Code.Set(code);
  f.ExchangeID = 1;
  f.TimeStamp = 20240102093000000UL;
  f.DelayTrackSec = 1704159000;
  f.DelayTrackNsec = track_nsec;
  return f;
}

HeartBeatField heartbeat(uint64_t server_time) {
  HeartBeatField h;
  h.ServerTime = server_time;
  return h;
}

TEST(StructDecoderSink, EveryFieldIsSeenBeforeTheFilterAndOnlyWantedRecordsPass) {
  StructDecoder decoder(nullptr, "test");
  ASSERT_TRUE(decoder.subscription().SetMarketSubscription("SH"));
  ASSERT_TRUE(decoder.subscription().SetCodeSubscription("600001.SH"));
  decoder.SetFlags(0);  // no trade details
  TradeDetailField trade;
  trade.Code.Set("600001");
  trade.ExchangeID = 1;
  std::string body;
  append(&body, snapshot("600000"), 11);
  append(&body, snapshot("600001"), 12);
  append(&body, trade, 13);
  append(&body, heartbeat(20240102093000000ULL), 0);
  append(&body, snapshot("600002"), 14);
  const std::string d = datagram(body);
  const timespec now{1704159001, 0};

  Recorder watching(true);
  ASSERT_TRUE(decoder.ProcessDatagram(d.data(), d.size(), now, watching));
  EXPECT_EQ(watching.records,
            (std::vector<std::pair<uint32_t, uint64_t>>{{ZAVO_MSG_SECURITY_SNAPSHOT, 12}}));
  // The heartbeat is no market data: not among the fields.
  EXPECT_EQ(watching.fields,
            (std::vector<std::pair<uint16_t, uint64_t>>{{SecuritySnapShotField::kFieldId, 11},
                                                        {SecuritySnapShotField::kFieldId, 12},
                                                        {TradeDetailField::kFieldId, 13},
                                                        {SecuritySnapShotField::kFieldId, 14}}));
  // A sink that does not watch every field gets the same records and no
  // field calls; every snapshot is cached whatever the filter says.
  Recorder plain(false);
  ASSERT_TRUE(decoder.ProcessDatagram(d.data(), d.size(), now, plain));
  EXPECT_EQ(plain.records, watching.records);
  EXPECT_TRUE(plain.fields.empty());
  ZAVO_SecuritySnapShot* cached = nullptr;
  int count = 0;
  ASSERT_EQ(decoder.snapshots().GetLastMarketData("SH", &cached, &count), ZAVO_SUCCESS);
  std::free(cached);
  EXPECT_EQ(count, 3);

  // A broken datagram is refused whole.
  EXPECT_FALSE(decoder.ProcessDatagram(d.data(), d.size() - 1, now, plain));
  EXPECT_EQ(decoder.refused(), 1u);
  EXPECT_EQ(decoder.datagrams(), 2u);
}

TEST(StructDecoderSink, ANewDayEmptiesTheCacheOnceAndTellsTheSink) {
  StructDecoder decoder(nullptr, "test");
  ASSERT_TRUE(decoder.subscription().SetMarketSubscription(""));
  Recorder sink(false);
  const timespec now{1704159001, 0};
  std::string day1;
  append(&day1, heartbeat(20240102093000000ULL), 0);
  append(&day1, snapshot("600000"), 1);
  const std::string d1 = datagram(day1);
  ASSERT_TRUE(decoder.ProcessDatagram(d1.data(), d1.size(), now, sink));
  ASSERT_TRUE(decoder.ProcessDatagram(d1.data(), d1.size(), now, sink));
  EXPECT_EQ(sink.new_days, 0);  // the first heartbeat only sets the day
  std::string day2;
  append(&day2, heartbeat(20240103091500000ULL), 0);
  const std::string d2 = datagram(day2);
  ASSERT_TRUE(decoder.ProcessDatagram(d2.data(), d2.size(), now, sink));
  ASSERT_TRUE(decoder.ProcessDatagram(d2.data(), d2.size(), now, sink));
  EXPECT_EQ(sink.new_days, 1);
  ZAVO_SecuritySnapShot* cached = nullptr;
  int count = -1;
  ASSERT_EQ(decoder.snapshots().GetLastMarketData("SH", &cached, &count), ZAVO_SUCCESS);
  std::free(cached);
  EXPECT_EQ(count, 0);
}

TEST(RawDecoderSink, WholeMessagesAreSeenAndDeliveredOnce) {
  RawDecoder decoder(nullptr, "test");
  ASSERT_TRUE(decoder.EnableMarkets("SH"));
  auto packet = [](uint8_t exchange, uint64_t seq, uint16_t frag, uint8_t more) {
    RawDataPacket p;
    p.ExchangeID = static_cast<CExchangeIDType>(exchange);
    p.Sequence = seq;
    p.FragmentNo = frag;
    p.MoreFragments = more;
    EXPECT_TRUE(p.Build("abc", 3));
    const Slice s = p.Bytes();
    return std::string(s.data, s.size);
  };
  Recorder sink(true);
  for (const std::string& d : {packet(1, 7, 0, 1), packet(1, 7, 1, 0), packet(1, 7, 0, 0),
                               packet(2, 9, 0, 0), packet(1, 8, 0, 0)}) {
    decoder.ProcessDatagram(d.data(), d.size(), sink);
  }
  // The repeat of 7 and Shenzhen (not enabled) never reach the sink.
  EXPECT_EQ(sink.records, (std::vector<std::pair<uint32_t, uint64_t>>{{ZAVO_MSG_RAW_DATA, 7},
                                                                      {ZAVO_MSG_RAW_DATA, 8}}));
  EXPECT_EQ(sink.fields, (std::vector<std::pair<uint16_t, uint64_t>>{{ZAVO_MSG_RAW_DATA, 7},
                                                                     {ZAVO_MSG_RAW_DATA, 8}}));
  EXPECT_EQ(decoder.messages(), 2u);
}

std::vector<int64_t> g_delays;
void on_offline(void*, const ZAVO_MSG* msg) {
  if (msg->MsgType == ZAVO_MSG_SECURITY_SNAPSHOT) {
    g_delays.push_back(static_cast<const ZAVO_SecuritySnapShot*>(msg->MsgData)->LocalDelay);
  }
}

TEST(FeedDecoder, MeasuresTheDelayAgainstTheCaptureTimeAndRefusesWhatOpenRefuses) {
  ZAVO_ERROR error = ZAVO_SUCCESS;
  FeedDecoder::Settings s;
  s.handler = on_offline;
  s.markets = "XX";
  EXPECT_EQ(FeedDecoder::Create(s, &error), nullptr);
  EXPECT_EQ(error, ZAVO_ERR_INVALID);
  s.markets = "SH";
  s.handler = nullptr;
  EXPECT_EQ(FeedDecoder::Create(s, &error), nullptr);
  s.raw = true;
  s.handler = on_offline;
  s.markets = "";
  EXPECT_EQ(FeedDecoder::Create(s, &error), nullptr);  // raw mode names its markets

  s.raw = false;
  s.markets = "SH";
  std::unique_ptr<FeedDecoder> d = FeedDecoder::Create(s, &error);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(error, ZAVO_SUCCESS);
  std::string body;
  append(&body, snapshot("600000", 250000), 1);
  const std::string dgram = datagram(body);
  g_delays.clear();
  d->Feed(dgram.data(), dgram.size(), 1704159000ULL * 1000000000ULL + 1250000);
  d->Feed(dgram.data(), dgram.size(), 1704159000ULL * 1000000000ULL + 2250000);
  d->Feed(dgram.data(), 3, 0);
  EXPECT_EQ(g_delays, (std::vector<int64_t>{1000, 2000}));
  const FeedDecoder::Counters c = d->counters();
  EXPECT_EQ(c.datagrams, 3u);
  EXPECT_EQ(c.refused, 1u);
  EXPECT_EQ(c.records, 2u);
  EXPECT_EQ(c.handler_errors, 0u);
}

}  // namespace
}  // namespace zavo
