// Records the simulator's feed while a session takes the same feed, replays
// the capture through a second simulator to a second session, and decodes
// it offline: all three must see the same records in the same order.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

#include "feed_recorder.h"
#include "pcap_reader.h"
#include "pcap_source.h"
#include "record_test_util.h"
#include "sim_replay.h"
#include "sim_server.h"
#include "zavo_api.h"

namespace zavo {
namespace test {
namespace {

constexpr const char* kGroup = "239.255.8.1";
constexpr int kPort = 17001;
constexpr const char* kReplayGroup = "239.255.8.2";
constexpr int kReplayPort = 17011;
constexpr int kLive = 1;     // ConnectID of the session beside the recorder
constexpr int kReplay = 2;   // ConnectID of the session fed by the replay
constexpr int kOffline = 3;  // ConnectID the offline decode delivers with

sim::SimConfig SimAt(const char* group, int port) {
  sim::SimConfig cfg;
  cfg.listen_port = 0;
  cfg.group = group;
  cfg.port = port;
  cfg.raw_port = port + 1;
  cfg.feed_mode = sim::FeedMode::kBoth;
  cfg.rate = 0;
  cfg.raw_rate = 0;
  cfg.heartbeat_ms = 3600 * 1000;
  cfg.sh_securities = 6;
  cfg.sz_securities = 5;
  return cfg;
}

// Decodes the files in order the way zavo_tail --pcap does.
std::vector<Rec> DecodeFiles(const std::vector<std::string>& files, bool raw,
                             std::vector<zavo_tail::PcapResult>* results = nullptr) {
  DataOf(kOffline).Clear();
  zavo_tail::Options opt;
  opt.connect_id = kOffline;
  opt.raw = raw;
  opt.flags = ZAVO_FLAG_TRADE_DETAIL | ZAVO_FLAG_ORDER_DETAIL | ZAVO_FLAG_ORDER_QUEUE;
  for (const std::string& f : files) {
    zavo_tail::PcapResult r;
    EXPECT_TRUE(zavo_tail::DecodePcap(f, opt, false, OnData, &r)) << r.error;
    if (results) results->push_back(r);
  }
  return DataOf(kOffline).Take();
}

class RecordReplayTest : public ::testing::Test {
 protected:
  // One recording for the whole suite: a few bursts of struct and raw
  // traffic with heartbeats, spread over a little time, in rotated files.
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    setenv("ZAVO_SHARE_FEED", "1", 1);
    sim::SimServer server(SimAt(kGroup, kPort));
    std::string error;
    ASSERT_EQ(server.Start(&error), 0) << error;

    record::RecorderConfig rc;
    rc.groups = {std::string(kGroup) + ":" + std::to_string(kPort),
                 std::string(kGroup) + ":" + std::to_string(kPort + 1)};
    rc.out = dir_->File("feed.pcap");
    rc.rotate_bytes = 96 * 1024;  // a few files, to replay a series
    record::FeedRecorder recorder(rc);
    ASSERT_TRUE(recorder.Start(&error)) << error;

    // The session joins after the recorder: both share the group.
    ZAVO_ERROR err = ZAVO_SUCCESS;
    ZAVO_OpenSetting s = StructSetting(kLive, kGroup, kPort, server.ListenPort());
    ZAVO_HANDLE live = ZAVO_Open(&s, &err);
    ASSERT_NE(live, nullptr) << "error " << err;

    for (int burst = 0; burst < 8; ++burst) {
      server.PublishNow(180);
      server.PublishRawNow(static_cast<uint8_t>(1 + burst % 2), 6);
      if (burst % 3 == 0) server.HeartbeatNow();
      const uint64_t fields = 180u * (burst + 1);
      ASSERT_TRUE(server.WaitFor(
          [&](const sim::SimCounters& c) {
            return c.fields_published >= fields && c.raw_messages >= 6u * (burst + 1);
          },
          5000));
      // Some time passes between bursts, as in a real morning.
      for (int i = 0; i < 3; ++i) ASSERT_TRUE(recorder.Poll(40, &error)) << error;
    }
    ASSERT_TRUE(
        server.WaitFor([](const sim::SimCounters& c) { return c.heartbeats_feed >= 3; }, 5000));
    sent_ = server.Counters();
    const uint64_t want =
        sent_.datagrams_sent + sent_.raw_fragments + sent_.heartbeats_feed + sent_.garbage_sent;
    for (int i = 0; i < 200 && recorder.Counts().datagrams < want; ++i) {
      ASSERT_TRUE(recorder.Poll(50, &error)) << error;
    }
    recorded_ = recorder.Counts();
    EXPECT_TRUE(DataOf(kLive).WaitForSize(sent_.fields_published, 10000));
    live_ = new std::vector<Rec>(DataOf(kLive).Take());
    ZAVO_Close(live);
    ZAVO_Wait(live);
    ASSERT_TRUE(recorder.Stop());
    files_ = new std::vector<std::string>(recorder.files());
    gaps_ = new std::vector<record::StreamCounts>(recorder.gaps().Streams());
    unsetenv("ZAVO_SHARE_FEED");
  }

  static void TearDownTestSuite() {
    delete live_;
    delete files_;
    delete gaps_;
    delete dir_;
  }

  static TempDir* dir_;
  static sim::SimCounters sent_;
  static record::RecorderCounts recorded_;
  static std::vector<Rec>* live_;
  static std::vector<std::string>* files_;
  static std::vector<record::StreamCounts>* gaps_;
};

TempDir* RecordReplayTest::dir_ = nullptr;
sim::SimCounters RecordReplayTest::sent_;
record::RecorderCounts RecordReplayTest::recorded_;
std::vector<Rec>* RecordReplayTest::live_ = nullptr;
std::vector<std::string>* RecordReplayTest::files_ = nullptr;
std::vector<record::StreamCounts>* RecordReplayTest::gaps_ = nullptr;

TEST_F(RecordReplayTest, CaptureHoldsEveryDatagramWithItsAddresses) {
  ASSERT_FALSE(HasFailure());
  EXPECT_EQ(recorded_.datagrams,
            sent_.datagrams_sent + sent_.raw_fragments + sent_.heartbeats_feed);
  EXPECT_EQ(recorded_.write_errors, 0u);
  ASSERT_GE(files_->size(), 2u) << "rotation by size made no second file";
  EXPECT_EQ((*files_)[0], dir_->File("feed.0000.pcap"));

  // Every file reads back whole, with the true source and destination.
  uint64_t datagrams = 0, last_ts = 0;
  for (const std::string& f : *files_) {
    record::PcapReader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(f, &error)) << error;
    record::CapturedDatagram d;
    record::PcapReader::Result r;
    while ((r = reader.Next(&d)) == record::PcapReader::kDatagram) {
      ++datagrams;
      EXPECT_EQ(record::AddressText(d.dst).rfind(std::string(kGroup) + ":1700", 0), 0u);
      EXPECT_EQ(record::AddressText(d.src).rfind("127.0.0.1:", 0), 0u);
      EXPECT_GE(d.ts_ns, last_ts) << f << " " << datagrams << " " << record::AddressText(d.dst);
      last_ts = d.ts_ns;
    }
    EXPECT_EQ(r, record::PcapReader::kEnd) << reader.error();
    EXPECT_EQ(reader.skipped(), 0u);
  }
  EXPECT_EQ(datagrams, recorded_.datagrams);

  // The status counts: one struct stream and two raw ones, without gaps.
  ASSERT_EQ(gaps_->size(), 3u);
  EXPECT_EQ((*gaps_)[0].last_seq, sent_.last_seq);
  EXPECT_EQ((*gaps_)[1].last_seq, sent_.raw_last_seq[0]);
  EXPECT_EQ((*gaps_)[2].last_seq, sent_.raw_last_seq[1]);
  for (const record::StreamCounts& s : *gaps_) {
    EXPECT_EQ(s.gaps, 0u) << s.name;
    EXPECT_EQ(s.backwards, 0u) << s.name;
  }
}

TEST_F(RecordReplayTest, OfflineDecodeGivesTheLiveRecords) {
  ASSERT_FALSE(HasFailure());
  ASSERT_EQ(live_->size(), sent_.fields_published);
  const std::vector<Rec> offline = DecodeFiles(*files_, false);
  EXPECT_EQ(FirstDifference(*live_, offline), "");
  for (size_t i = 0; i < offline.size(); ++i) ASSERT_EQ(offline[i].seq, i + 1);

  // Raw mode over the same files: every raw message once.
  const std::vector<Rec> raw = DecodeFiles(*files_, true);
  EXPECT_EQ(raw.size(), sent_.raw_messages);
}

TEST_F(RecordReplayTest, ReplayDeliversTheRecordedRecordsAndRebuildsFromThem) {
  ASSERT_FALSE(HasFailure());
  sim::SimConfig cfg = SimAt(kReplayGroup, kReplayPort);
  sim::ApplyReplayConfig(&cfg);
  sim::SimServer server(cfg);
  std::string error;
  ASSERT_EQ(server.Start(&error), 0) << error;
  sim::ReplayOptions ro;
  ro.files = *files_;
  ro.speed = 4;
  sim::SimReplay replay(&server, ro);
  ASSERT_TRUE(replay.Start(&error)) << error;
  EXPECT_FALSE(replay.Counts().started);

  DataOf(kReplay).Clear();
  ZAVO_ERROR err = ZAVO_SUCCESS;
  ZAVO_OpenSetting s = StructSetting(kReplay, kReplayGroup, kReplayPort, server.ListenPort());
  ZAVO_HANDLE h = ZAVO_Open(&s, &err);
  ASSERT_NE(h, nullptr) << "error " << err;
  EXPECT_TRUE(replay.WaitFor([](const sim::ReplayCounts& c) { return c.finished; }, 30000));
  EXPECT_TRUE(DataOf(kReplay).WaitForSize(live_->size(), 10000));
  const sim::ReplayCounts rc = replay.Counts();
  EXPECT_EQ(rc.datagrams, recorded_.datagrams);
  EXPECT_EQ(rc.passes, 1u);
  EXPECT_EQ(rc.file_errors, 0u);
  const std::vector<Rec> got = DataOf(kReplay).Take();
  EXPECT_EQ(FirstDifference(*live_, got), "");
  const uint64_t last = sent_.last_seq;
  EXPECT_TRUE(
      server.WaitFor([last](const sim::SimCounters& c) { return c.last_seq == last; }, 5000));

  // Retransmission comes from the recording: the same records again.
  const uint64_t begin = 100, end = 160;
  RebuildOf(kReplay).Clear();
  ASSERT_EQ(ZAVO_RebuildStructData(h, begin, end, OnRebuild), ZAVO_SUCCESS);
  EXPECT_TRUE(RebuildOf(kReplay).WaitForSize(end - begin, 10000));
  const std::vector<Rec> rebuilt = RebuildOf(kReplay).Take();
  ASSERT_EQ(rebuilt.size(), end - begin);
  for (size_t i = 0; i < rebuilt.size(); ++i) {
    const Rec& want = (*live_)[begin - 1 + i];
    EXPECT_EQ(rebuilt[i].seq, want.seq);
    EXPECT_EQ(rebuilt[i].type, want.type);
    EXPECT_EQ(rebuilt[i].bytes, want.bytes) << "seq " << want.seq;
  }
  ZAVO_Close(h);
  ZAVO_Wait(h);
  replay.Stop();
}

TEST_F(RecordReplayTest, LoopAtMaxSpeedRepeatsTheRecording) {
  ASSERT_FALSE(HasFailure());
  sim::SimConfig cfg = SimAt(kReplayGroup, kReplayPort + 10);
  sim::ApplyReplayConfig(&cfg);
  sim::SimServer server(cfg);
  std::string error;
  ASSERT_EQ(server.Start(&error), 0) << error;
  sim::ReplayOptions ro;
  ro.files = {files_->front()};
  ro.max = true;
  ro.loop = true;
  sim::SimReplay replay(&server, ro);
  ASSERT_TRUE(replay.Start(&error)) << error;
  DataOf(kReplay + 2).Clear();
  ZAVO_ERROR err = ZAVO_SUCCESS;
  ZAVO_OpenSetting s =
      StructSetting(kReplay + 2, kReplayGroup, kReplayPort + 10, server.ListenPort());
  ZAVO_HANDLE h = ZAVO_Open(&s, &err);
  ASSERT_NE(h, nullptr) << "error " << err;
  // Passes go on until stopped; three are enough to see the loop.
  EXPECT_TRUE(replay.WaitFor([](const sim::ReplayCounts& c) { return c.passes >= 3; }, 30000));
  replay.Stop();
  EXPECT_FALSE(replay.Counts().finished);
  ZAVO_Close(h);
  ZAVO_Wait(h);
}

TEST(ShareFeedTest, TwoSessionsShareOneFeedOnlyWhenAsked) {
  sim::SimServer server(SimAt("239.255.8.3", 17021));
  std::string error;
  ASSERT_EQ(server.Start(&error), 0) << error;
  ZAVO_ERROR err = ZAVO_SUCCESS;
  ZAVO_OpenSetting s1 = StructSetting(5, "239.255.8.3", 17021, server.ListenPort());
  ZAVO_OpenSetting s2 = StructSetting(6, "239.255.8.3", 17021, server.ListenPort());

  setenv("ZAVO_SHARE_FEED", "1", 1);
  DataOf(5).Clear();
  DataOf(6).Clear();
  ZAVO_HANDLE a = ZAVO_Open(&s1, &err);
  ASSERT_NE(a, nullptr) << "error " << err;
  ZAVO_HANDLE b = ZAVO_Open(&s2, &err);
  ASSERT_NE(b, nullptr) << "error " << err;
  server.PublishNow(400);
  EXPECT_TRUE(DataOf(5).WaitForSize(400, 10000));
  EXPECT_TRUE(DataOf(6).WaitForSize(400, 10000));
  const std::vector<Rec> ra = DataOf(5).Take();
  const std::vector<Rec> rb = DataOf(6).Take();
  EXPECT_EQ(ra.size(), 400u);
  EXPECT_EQ(FirstDifference(ra, rb), "");
  ZAVO_Close(a);
  ZAVO_Close(b);
  ZAVO_Wait(a);
  ZAVO_Wait(b);

  // Not asked for: the second session of the group still cannot join.
  unsetenv("ZAVO_SHARE_FEED");
  ZAVO_HANDLE c = ZAVO_Open(&s1, &err);
  ASSERT_NE(c, nullptr) << "error " << err;
  err = ZAVO_SUCCESS;
  EXPECT_EQ(ZAVO_Open(&s2, &err), nullptr);
  EXPECT_EQ(err, ZAVO_ERR_NETWORK);
  ZAVO_Close(c);
  ZAVO_Wait(c);
}

}  // namespace
}  // namespace test
}  // namespace zavo
