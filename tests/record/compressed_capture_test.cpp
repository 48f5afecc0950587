// Compressed captures: written by the recorder's writer, read by the shared
// reader and the offline decoder exactly like plain ones, told by their
// first bytes; a cut or damaged file keeps what came before and says where.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "feed_recorder.h"
#include "pcap_reader.h"
#include "pcap_source.h"
#include "pcap_writer.h"
#include "record_options.h"
#include "record_test_util.h"
#include "sim_market.h"
#include "sim_server.h"
#include "sim_wire.h"
#include "zstd_input.h"
#include "zstd_output.h"

namespace zavo {
namespace test {
namespace {

constexpr int kConnect = 6;

struct Got {
  uint64_t ts_ns;
  std::string src, dst, payload;
  bool operator==(const Got& o) const {
    return ts_ns == o.ts_ns && src == o.src && dst == o.dst && payload == o.payload;
  }
};

// Writes the datagrams, flushing after every `per_flush` of them (as the
// recorder does each second). Returns the file size after each flush.
std::vector<uint64_t> write_capture(const std::string& path, bool compressed,
                                    const std::vector<std::string>& datagrams, size_t per_flush) {
  std::vector<uint64_t> flushed_at;
  record::PcapWriter w;
  w.set_compressed(compressed);
  std::string error;
  EXPECT_TRUE(w.Open(path, &error)) << error;
  sockaddr_in src, dst;
  EXPECT_TRUE(record::ParseEndpoint("10.1.2.3:40000", &src));
  EXPECT_TRUE(record::ParseEndpoint("239.9.9.9:9001", &dst));
  uint64_t ts = 1700000000123456789ULL;
  for (size_t i = 0; i < datagrams.size(); ++i) {
    EXPECT_TRUE(w.Write(ts += 1000, src, dst, datagrams[i].data(), datagrams[i].size()));
    if ((i + 1) % per_flush == 0) {
      EXPECT_TRUE(w.Flush());
      flushed_at.push_back(w.FileBytes());
    }
  }
  EXPECT_TRUE(w.Close());
  return flushed_at;
}

// Everything the shared reader gives, and how it ended.
std::vector<Got> read_all(const std::string& path, record::PcapReader::Result* end,
                          std::string* error) {
  std::vector<Got> out;
  record::PcapReader reader;
  if (!reader.Open(path, error)) {
    *end = record::PcapReader::kError;
    return out;
  }
  record::CapturedDatagram d;
  while ((*end = reader.Next(&d)) == record::PcapReader::kDatagram) {
    out.push_back(Got{d.ts_ns, record::AddressText(d.src), record::AddressText(d.dst),
                      std::string(d.data, d.len)});
  }
  *error = reader.error();
  return out;
}

std::vector<Rec> decode(const std::string& path, zavo_tail::PcapResult* r) {
  DataOf(kConnect).Clear();
  zavo_tail::Options opt;
  opt.connect_id = kConnect;
  EXPECT_TRUE(zavo_tail::DecodePcap(path, opt, false, OnData, r)) << r->error;
  return DataOf(kConnect).Take();
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool have_zstd_command() {
  return std::system("command -v zstd >/dev/null 2>&1") == 0;
}

TEST(CompressedCapture, PlainAndCompressedReadBackTheSame) {
  if (!record::ZstdSupported()) GTEST_SKIP() << "built without libzstd";
  TempDir dir;
  const std::vector<std::string> all = market_datagrams(300, 5);
  const std::string plain = dir.File("feed.pcap");
  const std::string zst = dir.File("feed.pcap.zst");
  write_capture(plain, false, all, 100);
  const std::vector<uint64_t> frames = write_capture(zst, true, all, 100);
  ASSERT_EQ(frames.size(), 3u);
  const std::string z = read_file(zst);
  EXPECT_EQ(z.substr(0, 4), std::string("\x28\xb5\x2f\xfd", 4));
  EXPECT_LT(z.size(), read_file(plain).size());
  EXPECT_EQ(frames.back(), z.size()) << "the last flush left nothing for closing";

  record::PcapReader::Result end;
  std::string error;
  const std::vector<Got> want = read_all(plain, &end, &error);
  ASSERT_EQ(end, record::PcapReader::kEnd) << error;
  ASSERT_EQ(want.size(), 300u);
  EXPECT_EQ(want[299].payload, all[299]);
  EXPECT_TRUE(read_all(zst, &end, &error) == want);
  EXPECT_EQ(end, record::PcapReader::kEnd) << error;
  // Told by the content, not the name.
  const std::string renamed = dir.File("renamed.pcap");
  write_file(renamed, z);
  EXPECT_TRUE(read_all(renamed, &end, &error) == want);
  EXPECT_EQ(end, record::PcapReader::kEnd) << error;

  // The offline decoder gives the same records from both.
  zavo_tail::PcapResult r;
  const std::vector<Rec> plain_recs = decode(plain, &r);
  EXPECT_TRUE(r.complete) << r.error;
  ASSERT_EQ(plain_recs.size(), 1500u);
  const std::vector<Rec> zst_recs = decode(zst, &r);
  EXPECT_TRUE(r.complete) << r.error;
  EXPECT_EQ(FirstDifference(plain_recs, zst_recs), "");

  // The standard tool decompresses it to the plain file, byte for byte.
  if (have_zstd_command()) {
    const std::string out = dir.File("unpacked.pcap");
    ASSERT_EQ(std::system(("zstd -dqc '" + zst + "' > '" + out + "'").c_str()), 0);
    EXPECT_TRUE(read_file(out) == read_file(plain));
  }
}

// A minimal pcapng file: section header, one Ethernet interface with
// nanosecond stamps, and an enhanced packet block per frame.
std::string pcapng_file(const std::vector<std::string>& frames) {
  std::string f;
  auto u32 = [&f](uint32_t v) { f.append(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [&f](uint16_t v) { f.append(reinterpret_cast<const char*>(&v), 2); };
  u32(0x0A0D0D0A), u32(28), u32(0x1A2B3C4D), u16(1), u16(0), u32(0xffffffff), u32(0xffffffff),
      u32(28);
  // Interface: link type 1, option if_tsresol = 9 (nanoseconds), end.
  u32(1), u32(32), u16(1), u16(0), u32(65535), u16(9), u16(1), u32(9), u32(0), u32(32);
  uint64_t ts = 1700000000000000001ULL;
  for (const std::string& fr : frames) {
    const uint32_t padded = static_cast<uint32_t>((fr.size() + 3) & ~size_t{3});
    u32(6), u32(32 + padded), u32(0), u32(static_cast<uint32_t>(ts >> 32)),
        u32(static_cast<uint32_t>(ts)), u32(static_cast<uint32_t>(fr.size())),
        u32(static_cast<uint32_t>(fr.size()));
    f += fr;
    f.append(padded - fr.size(), '\0');
    u32(32 + padded);
    ts += 1000;
  }
  return f;
}

// Compresses `bytes` into `path` the way the writer does.
void compress_file(const std::string& path, const std::string& bytes) {
  FILE* sink = std::fopen(path.c_str(), "wb");
  ASSERT_NE(sink, nullptr);
  std::string error;
  std::unique_ptr<record::ZstdOutput> z =
      record::ZstdOutput::Open(sink, record::ZstdOutput::kDefaultLevel, &error);
  ASSERT_TRUE(z) << error;
  ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), z->stream()), bytes.size());
  ASSERT_EQ(std::fclose(z->stream()), 0);
  EXPECT_TRUE(z->ok());
}

TEST(CompressedCapture, PcapngInsideZstdIsRead) {
  if (!record::ZstdSupported()) GTEST_SKIP() << "built without libzstd";
  TempDir dir;
  // Frames taken from a plain capture of two datagrams.
  const std::vector<std::string> payloads = {"first datagram", "second one"};
  const std::string plain = dir.File("two.pcap");
  write_capture(plain, false, payloads, 100);
  const std::string p = read_file(plain);
  std::vector<std::string> frames;
  size_t at = 24;
  while (at + 16 <= p.size()) {
    uint32_t caplen = 0;
    std::memcpy(&caplen, p.data() + at + 8, 4);
    frames.push_back(p.substr(at + 16, caplen));
    at += 16 + caplen;
  }
  ASSERT_EQ(frames.size(), 2u);
  const std::string ng = dir.File("two.pcapng.zst");
  compress_file(ng, pcapng_file(frames));
  record::PcapReader::Result end;
  std::string error;
  const std::vector<Got> got = read_all(ng, &end, &error);
  EXPECT_EQ(end, record::PcapReader::kEnd) << error;
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].payload, payloads[0]);
  EXPECT_EQ(got[1].payload, payloads[1]);
  EXPECT_EQ(got[1].ts_ns, 1700000000000001001ULL);
  EXPECT_EQ(got[1].dst, "239.9.9.9:9001");
}

TEST(CompressedCapture, CutAndDamagedFilesKeepWhatCameBeforeAndSayWhere) {
  if (!record::ZstdSupported()) GTEST_SKIP() << "built without libzstd";
  TempDir dir;
  const std::vector<std::string> all = market_datagrams(60, 5);
  const std::string whole = dir.File("whole.pcap.zst");
  // Six frames of ten datagrams each.
  const std::vector<uint64_t> frame_end = write_capture(whole, true, all, 10);
  ASSERT_EQ(frame_end.size(), 6u);
  const std::string bytes = read_file(whole);
  record::PcapReader::Result end;
  std::string error;
  const std::vector<Got> want = read_all(whole, &end, &error);
  ASSERT_EQ(want.size(), 60u);

  // A recorder killed right after a flush: a shorter file, and no error.
  const std::string after_flush = dir.File("after_flush.pcap.zst");
  write_file(after_flush, bytes.substr(0, frame_end[4]));
  std::vector<Got> got = read_all(after_flush, &end, &error);
  EXPECT_EQ(end, record::PcapReader::kEnd) << error;
  EXPECT_TRUE(got == std::vector<Got>(want.begin(), want.begin() + 50));

  // Cut inside the last frame: what the frame still gives is read, then the
  // cut is named with where it is.
  const std::string cut = dir.File("cut.pcap.zst");
  const uint64_t cut_at = frame_end[4] + (frame_end[5] - frame_end[4]) / 2;
  write_file(cut, bytes.substr(0, cut_at));
  got = read_all(cut, &end, &error);
  EXPECT_EQ(end, record::PcapReader::kError);
  EXPECT_NE(error.find("truncated compressed file: it ends at byte " + std::to_string(cut_at) +
                       " inside the frame from byte " + std::to_string(frame_end[4])),
            std::string::npos)
      << error;
  ASSERT_GE(got.size(), 50u);
  ASSERT_LT(got.size(), 60u);
  EXPECT_TRUE(got == std::vector<Got>(want.begin(), want.begin() + got.size()));

  // A damaged third frame: the two before it are read, nothing of it.
  const std::string bad = dir.File("bad.pcap.zst");
  std::string damaged = bytes;
  const size_t mid = frame_end[1] + (frame_end[2] - frame_end[1]) / 2;
  for (size_t i = mid; i < mid + 8; ++i) damaged[i] = static_cast<char>(damaged[i] ^ 0x5a);
  write_file(bad, damaged);
  got = read_all(bad, &end, &error);
  EXPECT_EQ(end, record::PcapReader::kError);
  EXPECT_NE(error.find("damaged compressed data at byte "), std::string::npos) << error;
  EXPECT_NE(error.find("in the frame from byte " + std::to_string(frame_end[1])), std::string::npos)
      << error;
  EXPECT_TRUE(got == std::vector<Got>(want.begin(), want.begin() + 20));

  // Damage only the checksum finds (in the checksum itself) of a frame of
  // many blocks: the frame decodes, and still nothing of it is handed on.
  const std::vector<std::string> many = market_datagrams(2000, 5);
  const std::string big = dir.File("big.pcap.zst");
  const std::vector<uint64_t> big_end = write_capture(big, true, many, 1000);
  ASSERT_EQ(big_end.size(), 2u);
  const std::vector<Got> big_want = read_all(big, &end, &error);
  ASSERT_EQ(big_want.size(), 2000u);
  std::string sum_damaged = read_file(big);
  for (size_t i = big_end[1] - 4; i < big_end[1]; ++i) sum_damaged[i] = ~sum_damaged[i];
  write_file(big, sum_damaged);
  got = read_all(big, &end, &error);
  EXPECT_EQ(end, record::PcapReader::kError);
  EXPECT_NE(error.find("checksum"), std::string::npos) << error;
  EXPECT_NE(error.find("in the frame from byte " + std::to_string(big_end[0])), std::string::npos)
      << error;
  EXPECT_TRUE(got == std::vector<Got>(big_want.begin(), big_want.begin() + 1000)) << got.size();

  // The offline decoder names the file with the damage, and keeps the rest.
  zavo_tail::PcapResult r;
  const std::vector<Rec> recs = decode(bad, &r);
  EXPECT_FALSE(r.complete);
  EXPECT_NE(r.error.find("bad.pcap.zst: damaged compressed data"), std::string::npos) << r.error;
  EXPECT_EQ(recs.size(), 100u);
  // Damage in the very first frame: nothing to read, and said when opening.
  std::string head = bytes;
  for (size_t i = 6; i < 40; ++i) head[i] = static_cast<char>(head[i] ^ 0x5a);
  write_file(bad, head);
  record::PcapReader reader;
  EXPECT_FALSE(reader.Open(bad, &error));
  EXPECT_NE(error.find(bad + ": damaged compressed data at byte "), std::string::npos) << error;
}

TEST(CompressedCapture, RecorderWritesCompressedRotatedFiles) {
  EXPECT_EQ(record::FeedRecorder::RotatedName("feed.pcap.zst", 3), "feed.0003.pcap.zst");
  EXPECT_EQ(record::FeedRecorder::RotatedName("/d/feed.zst", 0), "/d/feed.0000.zst");
  EXPECT_EQ(record::FeedRecorder::RotatedName("/d/.zst", 1), "/d/.zst.0001");
  if (!record::ZstdSupported()) GTEST_SKIP() << "built without libzstd";

  TempDir dir;
  sim::SimConfig cfg;
  cfg.listen_port = 0;
  cfg.group = "239.255.8.9";
  cfg.port = 17091;
  cfg.rate = 0;
  cfg.heartbeat_ms = 3600 * 1000;
  sim::SimServer server(cfg);
  std::string error;
  ASSERT_EQ(server.Start(&error), 0) << error;

  record::RecorderConfig rc;
  rc.groups = {"239.255.8.9:17091"};
  rc.out = dir.File("feed.pcap.zst");
  rc.compress = true;
  rc.rotate_bytes = 16 * 1024;
  record::FeedRecorder recorder(rc);
  ASSERT_TRUE(recorder.Start(&error)) << error;
  for (int burst = 0; burst < 200 && recorder.files().size() < 3; ++burst) {
    server.PublishNow(60);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(recorder.Poll(20, &error)) << error;
    ASSERT_TRUE(recorder.Flush());
  }
  ASSERT_TRUE(recorder.Stop());
  ASSERT_GE(recorder.files().size(), 3u);
  EXPECT_EQ(recorder.files()[0], dir.File("feed.0000.pcap.zst"));
  EXPECT_EQ(recorder.files()[1], dir.File("feed.0001.pcap.zst"));
  // Each file a complete stream of its own.
  uint64_t datagrams = 0;
  for (const std::string& f : recorder.files()) {
    record::PcapReader::Result end;
    const std::vector<Got> got = read_all(f, &end, &error);
    EXPECT_EQ(end, record::PcapReader::kEnd) << f << ": " << error;
    EXPECT_EQ(read_file(f).substr(0, 4), std::string("\x28\xb5\x2f\xfd", 4)) << f;
    datagrams += got.size();
  }
  EXPECT_EQ(datagrams, recorder.Counts().datagrams);
}

TEST(CompressedCapture, CompressOptionNamesTheFile) {
  auto parse = [](std::vector<const char*> args, record::RecordOptions* o, std::string* err) {
    args.insert(args.begin(), "zavo_record");
    *o = record::RecordOptions();
    return record::ParseRecordOptions(static_cast<int>(args.size()), args.data(), o, err);
  };
  record::RecordOptions o;
  std::string err;
  if (!record::ZstdSupported()) {
    // Refused with the reason, rather than a plain file under a .zst name.
    EXPECT_FALSE(parse({"--compress", "--out", "day.pcap"}, &o, &err));
    EXPECT_NE(err.find("libzstd-dev"), std::string::npos) << err;
    EXPECT_FALSE(parse({"--out", "day.pcap.zst"}, &o, &err));
    return;
  }
  ASSERT_TRUE(parse({"--compress", "--out", "day.pcap"}, &o, &err)) << err;
  EXPECT_TRUE(o.recorder.compress);
  EXPECT_EQ(o.recorder.out, "day.pcap.zst");
  ASSERT_TRUE(parse({"--out", "day.pcap.zst", "--rotate-mb", "4"}, &o, &err)) << err;
  EXPECT_TRUE(o.recorder.compress);
  EXPECT_EQ(o.recorder.out, "day.pcap.zst");
  EXPECT_EQ(record::FeedRecorder::FirstFile(o.recorder), "day.0000.pcap.zst");
  ASSERT_TRUE(parse({"--out", "day.pcap"}, &o, &err)) << err;
  EXPECT_FALSE(o.recorder.compress);
}

}  // namespace
}  // namespace test
}  // namespace zavo
