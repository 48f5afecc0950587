// The public offline decoder (zavo_capture.h) as a program of its own uses
// it: reads in batches, its summary (streams, gaps, damage with the file and
// the byte), the group filter, its context pointer and what it refuses.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "feed_recorder.h"
#include "pcap_writer.h"
#include "record_test_util.h"
#include "zavo_capture.h"
#include "zstd_input.h"

namespace zavo {
namespace test {
namespace {

constexpr int kConnect = 5;

struct Out {
  std::string dst;
  std::string payload;
};

// Writes the datagrams to their groups, flushing every `per_flush` (each
// flush ends a compressed frame). Returns the file's size.
uint64_t write_capture(const std::string& path, bool compressed, const std::vector<Out>& all,
                       size_t per_flush) {
  record::PcapWriter w;
  w.set_compressed(compressed);
  std::string error;
  EXPECT_TRUE(w.Open(path, &error)) << error;
  sockaddr_in src;
  EXPECT_TRUE(record::ParseEndpoint("10.1.2.3:40000", &src));
  uint64_t ts = 1700000000123456789ULL;
  for (size_t i = 0; i < all.size(); ++i) {
    sockaddr_in dst;
    EXPECT_TRUE(record::ParseEndpoint(all[i].dst, &dst));
    EXPECT_TRUE(w.Write(ts += 1000, src, dst, all[i].payload.data(), all[i].payload.size()));
    if ((i + 1) % per_flush == 0) {
      EXPECT_TRUE(w.Flush());
    }
  }
  EXPECT_TRUE(w.Close());
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  return static_cast<uint64_t>(in.tellg());
}

std::vector<Out> to(const std::string& dst, const std::vector<std::string>& payloads) {
  std::vector<Out> out;
  for (const std::string& p : payloads) out.push_back(Out{dst, p});
  return out;
}

ZAVO_CaptureSetting all_kinds() {
  ZAVO_CaptureSetting s{};
  s.ConnectID = kConnect;
  s.SubscribeFlags = ZAVO_FLAG_TRADE_DETAIL | ZAVO_FLAG_ORDER_DETAIL | ZAVO_FLAG_ORDER_QUEUE;
  s.DataHandler = OnData;
  return s;
}

// Every record of `path` with `s`, and the summary at the end.
std::vector<Rec> decode(const std::string& path, const ZAVO_CaptureSetting& s,
                        ZAVO_CaptureSummary* sum) {
  DataOf(kConnect).Clear();
  char why[256];
  ZAVO_CAPTURE c = ZAVO_CaptureOpen(path.c_str(), &s, why, sizeof why);
  EXPECT_NE(c, nullptr) << why;
  if (c == nullptr) return {};
  while (ZAVO_CaptureRead(c, 0) > 0) {
  }
  EXPECT_EQ(ZAVO_CaptureGetSummary(c, sum), ZAVO_SUCCESS);
  ZAVO_CaptureClose(c);
  return DataOf(kConnect).Take();
}

struct Context {
  void* seen = nullptr;
  uint64_t records = 0;
};

void count_into_context(void* h, const ZAVO_MSG* m) {
  auto* c = static_cast<Context*>(h);
  c->seen = h;
  c->records += m->ConnectID == kConnect ? 1 : 0;
}

TEST(CaptureApi, ReadsInBatchesAndSummarisesEveryStreamWithItsGaps) {
  TempDir dir;
  std::vector<std::string> feed = market_datagrams(300, 5);  // 1500 fields
  // Ten datagrams lost on the way: one gap of 50 sequence numbers.
  feed.erase(feed.begin() + 100, feed.begin() + 110);
  const std::string path = dir.File("day.pcap");
  const uint64_t size = write_capture(path, false, to("239.9.9.9:9001", feed), 1000);

  Context ctx;
  ZAVO_CaptureSetting s = all_kinds();
  s.DataHandler = count_into_context;
  s.Context = &ctx;
  char why[256];
  ZAVO_CAPTURE c = ZAVO_CaptureOpen(path.c_str(), &s, why, sizeof why);
  ASSERT_NE(c, nullptr) << why;
  int calls = 0;
  uint64_t before = 0;
  while (ZAVO_CaptureRead(c, 100) > 0) {
    // A datagram is decoded whole: at most its five records over.
    EXPECT_GE(ctx.records - before, 100u);
    EXPECT_LT(ctx.records - before, 105u);
    before = ctx.records;
    ASSERT_LT(++calls, 100);
  }
  EXPECT_EQ(calls, 14);
  EXPECT_EQ(ctx.seen, &ctx);
  EXPECT_EQ(ctx.records, 1450u);
  EXPECT_EQ(ZAVO_CaptureRead(c, 100), 0) << "an ended file stays ended";

  ZAVO_CaptureSummary sum;
  ASSERT_EQ(ZAVO_CaptureGetSummary(c, &sum), ZAVO_SUCCESS);
  ZAVO_CaptureClose(c);
  EXPECT_EQ(sum.Packets, 290u);
  EXPECT_EQ(sum.Datagrams, 290u);
  EXPECT_EQ(sum.Records, 1450u);
  EXPECT_EQ(sum.Passed + sum.Skipped + sum.Refused + sum.HandlerErrors, 0u);
  EXPECT_EQ(sum.Gaps, 1u);
  EXPECT_EQ(sum.Missing, 50u);
  EXPECT_EQ(sum.Ended, 1);
  EXPECT_EQ(sum.Damaged, 0);
  EXPECT_EQ(sum.Compressed, 0);
  EXPECT_EQ(sum.FileOffset, size);
  EXPECT_EQ(sum.DamageOffset, 0u);
  EXPECT_STREQ(sum.Error, "");
  ASSERT_EQ(sum.StreamCount, 1);
  EXPECT_STREQ(sum.Streams[0].Name, "239.9.9.9:9001");
  EXPECT_EQ(sum.Streams[0].LastSeq, 1500u);
  EXPECT_EQ(sum.Streams[0].Datagrams, 290u);
}

TEST(CaptureApi, TakesOneGroupWhenToldAndRefusesWhatASessionWould) {
  TempDir dir;
  const std::vector<std::string> feed = market_datagrams(40, 5);
  std::vector<Out> both;
  for (size_t i = 0; i < feed.size(); ++i) {
    both.push_back(Out{i % 2 ? "239.9.9.9:9002" : "239.9.9.9:9001", feed[i]});
  }
  const std::string path = dir.File("two.pcap");
  write_capture(path, false, both, 1000);

  ZAVO_CaptureSummary sum;
  ZAVO_CaptureSetting s = all_kinds();
  EXPECT_EQ(decode(path, s, &sum).size(), 200u);
  EXPECT_EQ(sum.StreamCount, 2);
  s.GroupIP = "239.9.9.9";
  s.GroupPort = 9002;
  const std::vector<Rec> odd = decode(path, s, &sum);
  ASSERT_EQ(odd.size(), 100u);
  EXPECT_EQ(odd.front().seq, 6u) << "the second datagram's first field";
  EXPECT_EQ(sum.Datagrams, 20u);
  EXPECT_EQ(sum.Passed, 20u);

  char why[256];
  ZAVO_CaptureSetting bad = all_kinds();
  bad.DataHandler = nullptr;
  EXPECT_EQ(ZAVO_CaptureOpen(path.c_str(), &bad, why, sizeof why), nullptr);
  EXPECT_NE(std::string(why).find("handler"), std::string::npos) << why;
  bad = all_kinds();
  bad.SubscribedMarkets = "XX";
  EXPECT_EQ(ZAVO_CaptureOpen(path.c_str(), &bad, why, sizeof why), nullptr);
  EXPECT_NE(std::string(why).find("refused"), std::string::npos) << why;
  bad = all_kinds();
  bad.GroupIP = "239.9.9";
  EXPECT_EQ(ZAVO_CaptureOpen(path.c_str(), &bad, why, sizeof why), nullptr);
  EXPECT_NE(std::string(why).find("bad group address"), std::string::npos) << why;
  const std::string missing = dir.File("missing.pcap");
  EXPECT_EQ(ZAVO_CaptureOpen(missing.c_str(), &s, why, sizeof why), nullptr);
  EXPECT_NE(std::string(why).find(missing), std::string::npos) << why;
  // A reason that does not fit is cut, and still terminated.
  char tiny[8];
  EXPECT_EQ(ZAVO_CaptureOpen(missing.c_str(), &s, tiny, sizeof tiny), nullptr);
  EXPECT_EQ(std::string(tiny).size(), 7u);
  EXPECT_EQ(ZAVO_CaptureOpen(nullptr, &s, why, sizeof why), nullptr);
  EXPECT_EQ(ZAVO_CaptureOpen(path.c_str(), nullptr, nullptr, 0), nullptr);
  // Raw mode takes both markets unless told otherwise, as a live session.
  ZAVO_CaptureSetting raw = all_kinds();
  raw.RawMode = 1;
  ZAVO_CAPTURE c = ZAVO_CaptureOpen(path.c_str(), &raw, why, sizeof why);
  EXPECT_NE(c, nullptr) << why;
  ZAVO_CaptureClose(c);
}

TEST(CaptureApi, DamageNamesTheFileAndTheByteAndKeepsWhatCameBefore) {
  if (!record::ZstdSupported()) GTEST_SKIP() << "built without libzstd";
  TempDir dir;
  const std::vector<Out> feed = to("239.9.9.9:9001", market_datagrams(300, 5));
  ZAVO_CaptureSummary sum;
  for (bool compressed : {true, false}) {
    SCOPED_TRACE(compressed ? "compressed" : "plain");
    const std::string whole = dir.File(compressed ? "whole.pcap.zst" : "whole.pcap");
    const uint64_t size = write_capture(whole, compressed, feed, 100);
    const std::vector<Rec> want = decode(whole, all_kinds(), &sum);
    ASSERT_EQ(want.size(), 1500u);
    EXPECT_EQ(sum.Compressed, compressed ? 1 : 0);

    std::ifstream in(whole, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t cut_at = static_cast<size_t>(size * 5 / 6);  // inside the last frame
    const std::string cut = dir.File(compressed ? "cut.pcap.zst" : "cut.pcap");
    std::ofstream(cut, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(cut_at));
    const std::vector<Rec> got = decode(cut, all_kinds(), &sum);
    EXPECT_EQ(sum.Ended, 1);
    EXPECT_EQ(sum.Damaged, 1);
    EXPECT_EQ(sum.DamageOffset, cut_at);
    EXPECT_NE(std::string(sum.Error).find(cut + ": "), std::string::npos) << sum.Error;
    EXPECT_NE(std::string(sum.Error).find("byte " + std::to_string(cut_at)), std::string::npos)
        << sum.Error;
    // What came before the cut: two whole frames at least, in order.
    ASSERT_GE(got.size(), compressed ? 1000u : 1200u);
    ASSERT_LT(got.size(), 1500u);
    EXPECT_EQ(FirstDifference(std::vector<Rec>(want.begin(), want.begin() + got.size()), got), "");
  }
}

}  // namespace
}  // namespace test
}  // namespace zavo
