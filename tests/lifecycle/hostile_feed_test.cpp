// A broken or hostile feed: floods of datagrams that are not packets, short
// records, bad heartbeats, heartbeats flipping the day, raw packets of an
// unknown exchange and replies out of range. Each kind of error line is
// kept to a few per interval, with the count of the rest, and nothing goes
// to standard output; the decoders keep counting and working.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "api/raw_decoder.h"
#include "api/struct_decoder.h"
#include "proto/raw_packet.h"
#include "raw_test_support.h"
#include "util/log_throttle.h"

namespace zavo {
namespace rawtest {
namespace {

void put16(std::string* s, uint16_t v) {
  s->push_back(static_cast<char>(v >> 8));
  s->push_back(static_cast<char>(v));
}
void put64(std::string* s, uint64_t v) {
  for (int shift = 56; shift >= 0; shift -= 8) s->push_back(static_cast<char>(v >> shift));
}

// One struct packet holding one field of `id` whose record is `record`.
std::string struct_packet(uint16_t id, const std::string& record) {
  std::string body;
  put16(&body, id);
  put16(&body, static_cast<uint16_t>(record.size()));
  put64(&body, 1);
  body += record;
  std::string p;
  put16(&p, StructPacket::kMagic);
  put16(&p, static_cast<uint16_t>(body.size()));
  put16(&p, 0);
  put16(&p, 0);
  put64(&p, 20240102093000000ULL);
  return p + body;
}

std::string heartbeat_record(uint32_t day) {
  std::string r;
  put64(&r, static_cast<uint64_t>(day) * 10000000ULL + 9300000ULL);
  return r;
}

class CountingSink : public RecordSink {
 public:
  void OnRecord(uint32_t, uint32_t, uint32_t, uint64_t, const void*) override { ++records; }
  void OnNewDay() override { ++new_days; }
  uint64_t records = 0;
  uint64_t new_days = 0;
};

uint64_t elapsed_ms(std::chrono::steady_clock::time_point since) {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now() - since)
                                   .count());
}

// Lines a throttle of the decoders lets through in `ms`: a burst per
// interval begun.
size_t allowed(uint64_t ms, size_t burst) {
  return static_cast<size_t>(ms / LogThrottle::kDefaultIntervalMs + 1) * burst;
}

TEST(HostileFeed, StructFloodLogsAFewLinesPerKindAndNothingOnStdout) {
  LogCatcher& logs = LogCatcher::Get();
  logs.Clear();
  StructDecoder decoder(nullptr, "HostileTest");
  CountingSink sink;
  const timespec now{1, 0};
  const std::string junk = "\x07\x08 no packet here";
  const std::string cut = struct_packet(257, std::string(40, '\0')).substr(0, 50);
  const std::string short_snapshot = struct_packet(257, std::string(40, '\0'));
  const std::string short_heartbeat = struct_packet(3, std::string(4, '\0'));
  const std::string day1 = struct_packet(3, heartbeat_record(20240102));
  const std::string day2 = struct_packet(3, heartbeat_record(20240103));
  StructPacket replay;
  ASSERT_TRUE(replay.ParseFrom(short_snapshot.data(), short_snapshot.size()).complete);

  constexpr int kRounds = 20000;
  const auto start = std::chrono::steady_clock::now();
  testing::internal::CaptureStdout();
  for (int i = 0; i < kRounds; ++i) {
    EXPECT_FALSE(decoder.ProcessDatagram(junk.data(), junk.size(), now, sink));
    EXPECT_FALSE(decoder.ProcessDatagram(cut.data(), cut.size(), now, sink));
    EXPECT_TRUE(decoder.ProcessDatagram(short_snapshot.data(), short_snapshot.size(), now, sink));
    EXPECT_TRUE(decoder.ProcessDatagram(short_heartbeat.data(), short_heartbeat.size(), now, sink));
    const std::string& day = i % 2 == 0 ? day1 : day2;
    EXPECT_TRUE(decoder.ProcessDatagram(day.data(), day.size(), now, sink));
    decoder.ProcessRebuildPacket(replay, now, sink);
  }
  const std::string out = testing::internal::GetCapturedStdout();
  const uint64_t ms = elapsed_ms(start);

  EXPECT_EQ(out, "");
  EXPECT_EQ(decoder.refused(), 2u * kRounds);
  EXPECT_EQ(decoder.datagrams(), 3u * kRounds);
  EXPECT_EQ(sink.records, 0u);
  // Every flip of the day is acted on (the first heartbeat only sets it).
  EXPECT_EQ(sink.new_days, static_cast<uint64_t>(kRounds - 1));

  const size_t burst = StructDecoder::kLogBurst;
  const size_t refused = logs.Count("udp_packet_process_loop Enqueue Failed");
  EXPECT_GE(refused, 1u);
  EXPECT_LE(refused, allowed(ms, burst));
  const size_t udp_short = logs.Count("UDP Session GetField Error: N4zavo21SecuritySnapShotFieldE");
  EXPECT_GE(udp_short, 1u);
  EXPECT_LE(udp_short, allowed(ms, burst));
  const size_t tcp_short = logs.Count("TCP Session GetField Error: N4zavo21SecuritySnapShotFieldE");
  EXPECT_GE(tcp_short, 1u);
  EXPECT_LE(tcp_short, allowed(ms, burst));
  const size_t bad_heartbeat = logs.Count("Session GetField Error: HeartBeatField");
  EXPECT_GE(bad_heartbeat, 1u);
  EXPECT_LE(bad_heartbeat, allowed(ms, burst));
  // Two heartbeat lines a second at most; the clears of the day two lines
  // each, a few of them per interval.
  const size_t heartbeats = logs.Count("OnHeartbeat: ");
  EXPECT_GE(heartbeats, 1u);
  EXPECT_LE(heartbeats, static_cast<size_t>(ms / 500 + 1));
  EXPECT_LE(logs.Count("ClearApiCache"), allowed(ms, 2 * burst));
  // Without a throttle this run would have logged well over 100,000 lines.
  EXPECT_LE(logs.Count(""), 100u + ms / 100);

  // A clear asked for outside the feed is always logged.
  logs.Clear();
  decoder.ClearCaches(sink);
  EXPECT_EQ(logs.Count("ClearApiCache - Done"), 1u);
}

TEST(HostileFeed, RawFloodLogsAFewLinesPerKind) {
  LogCatcher& logs = LogCatcher::Get();
  logs.Clear();
  RawDecoder decoder(nullptr, "HostileTest");
  ASSERT_TRUE(decoder.EnableMarkets("SH;SZ"));
  CountingSink sink;
  const std::string unknown = raw_packet(3, 1, 0, 0, "x");
  RawDataPacket stray;
  const std::string replayed = raw_packet(1, 500, 0, 0, "late");
  ASSERT_TRUE(stray.Assign(replayed.data(), replayed.size()));
  ASSERT_TRUE(stray.DecodeHeader(replayed.data(), replayed.size()));

  constexpr int kRounds = 20000;
  const auto start = std::chrono::steady_clock::now();
  testing::internal::CaptureStdout();
  for (int i = 0; i < kRounds; ++i) {
    EXPECT_EQ(decoder.ProcessDatagram(unknown.data(), unknown.size(), sink), unknown.size());
    decoder.ProcessRebuildPacket(stray, 100, 200, sink);
  }
  const std::string good = raw_packet(1, 7, 0, 0, "fine");
  decoder.ProcessDatagram(good.data(), good.size(), sink);
  const std::string out = testing::internal::GetCapturedStdout();
  const uint64_t ms = elapsed_ms(start);

  EXPECT_EQ(out, "");
  EXPECT_EQ(sink.records, 1u);
  EXPECT_EQ(decoder.messages(), 1u);
  const size_t exchange = logs.Count("RawDataPacket with Error ExchangeID: 3");
  EXPECT_GE(exchange, 1u);
  EXPECT_LE(exchange, allowed(ms, 5));
  const size_t invalid = logs.Count("OnRebuildRspPacket Error: Invalid Seq: 500, [100, 200)");
  EXPECT_GE(invalid, 1u);
  EXPECT_LE(invalid, allowed(ms, 5));
}

// The throttle lets a burst through per interval and says, on the next line
// it lets through, how many it held back.
TEST(HostileFeed, ThrottleBurstsThenCounts) {
  LogThrottle t(1000, 3);
  uint64_t held = 99;
  for (uint64_t ms = 100; ms < 103; ++ms) {
    ASSERT_TRUE(t.Take(ms, &held));
    EXPECT_EQ(held, 0u);
  }
  for (uint64_t ms = 103; ms < 1100; ms += 10) EXPECT_FALSE(t.Take(ms, &held));
  ASSERT_TRUE(t.Take(1100, &held));
  EXPECT_EQ(held, 100u);
  ASSERT_TRUE(t.Take(1101, &held));
  EXPECT_EQ(held, 0u);

  LogCatcher& logs = LogCatcher::Get();
  logs.Clear();
  LogThrottle line(20);
  LogThrottled(&line, "%s %d", "flood", 1);
  for (int i = 0; i < 7; ++i) LogThrottled(&line, "%s %d", "flood", 2);
  // Waits out the interval (bounded) for the line that carries the count.
  const auto start = std::chrono::steady_clock::now();
  while (elapsed_ms(start) < 1000 && logs.Count("flood") < 2)
    LogThrottled(&line, "%s %d", "flood", 3);
  EXPECT_EQ(logs.Count("flood 1"), 1u);
  EXPECT_EQ(logs.Count("flood 2"), 0u);
  EXPECT_EQ(logs.Count("flood 3 ("), 1u);
  EXPECT_GE(logs.Count("more not logged since the last line)"), 1u);
}

}  // namespace
}  // namespace rawtest
}  // namespace zavo
