// Offline decoding as a user runs it: `zavo_tail --pcap` on a capture made
// here, whose snapshots were stamped upstream a known time before they were
// captured. The delay printed is measured against the capture time, so the
// same file decodes to the same bytes whenever it is decoded.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "pcap_writer.h"
#include "process_helpers.h"
#include "proto/struct_packet.h"
#include "proto/sys_field.h"

namespace {

using namespace tail_test;

constexpr uint64_t kEpochSec = 1704159000;  // 2024-01-02 01:30:00 UTC

sockaddr_in endpoint(const char* ip, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, ip, &a.sin_addr);
  return a;
}

// One struct datagram of snapshots stamped upstream at kEpochSec and
// `track_nsec` nanoseconds.
std::string snapshot_datagram(const std::vector<std::string>& codes, int64_t track_nsec,
                              uint64_t first_seq) {
  using zavo::StoreBigEndian;
  using zavo::StructPacket;
  std::string body;
  uint64_t seq = first_seq;
  for (const std::string& code : codes) {
    zavo::SecuritySnapShotField f;
    f.Code.Set(code.c_str());
    f.ExchangeID = 1;
    f.TimeStamp = 20240102093000000UL;
    f.MatchPx = 1000;
    f.DelayTrackSec = kEpochSec;
    f.DelayTrackNsec = track_nsec;
    std::string field(StructPacket::kFieldHeaderSize + zavo::SecuritySnapShotField::Size(), '\0');
    StoreBigEndian<unsigned short>(&field[0], zavo::SecuritySnapShotField::kFieldId);
    StoreBigEndian<unsigned short>(&field[2], zavo::SecuritySnapShotField::Size());
    StoreBigEndian<unsigned long>(&field[4], seq++);
    EXPECT_TRUE(
        f.Encode(&field[StructPacket::kFieldHeaderSize], zavo::SecuritySnapShotField::Size()));
    body += field;
  }
  std::string out(StructPacket::kHeaderSize, '\0');
  StoreBigEndian<unsigned short>(&out[0], StructPacket::kMagic);
  StoreBigEndian<unsigned short>(&out[2], static_cast<unsigned short>(body.size()));
  StoreBigEndian<unsigned int>(&out[4], 0);
  StoreBigEndian<unsigned long>(&out[8], 20240102093000500UL);
  return out + body;
}

std::string write_capture() {
  const std::string path = "/tmp/zavo_tail_pcap_decode_" + std::to_string(getpid()) + ".pcap";
  zavo::record::PcapWriter w;
  std::string error;
  EXPECT_TRUE(w.Open(path, &error)) << error;
  const sockaddr_in src = endpoint("127.0.0.1", 40000);
  const sockaddr_in dst = endpoint("239.255.6.9", 6601);
  // Captured 1500 us and 2250 us after their upstream stamps.
  const std::string a = snapshot_datagram({"600000", "600001"}, 500000, 1);
  const std::string b = snapshot_datagram({"600002"}, 1000000, 3);
  EXPECT_TRUE(w.Write(kEpochSec * 1000000000ULL + 2000000, src, dst, a.data(), a.size()));
  EXPECT_TRUE(w.Write(kEpochSec * 1000000000ULL + 3250000, src, dst, b.data(), b.size()));
  EXPECT_TRUE(w.Close());
  return path;
}

TEST(PcapDecode, OneCaptureDecodesToTheSameBytesWheneverItIsDecoded) {
  const std::string path = write_capture();
  std::vector<std::string> outputs;
  for (int run = 0; run < 3; ++run) {
    // Time is the subject: the runs must be apart on the wall clock by more
    // than the microseconds the delay is printed in.
    if (run > 0) std::this_thread::sleep_for(std::chrono::milliseconds(30));
    Proc tail(ZAVO_TAIL_BIN, {"--pcap", path, "--format", "csv"});
    ASSERT_EQ(tail.Wait(), 0) << tail.Err();
    outputs.push_back(tail.Out());
  }
  std::remove(path.c_str());

  const std::vector<std::string> lines = Lines(outputs[0]);
  std::vector<std::string> records;
  for (const std::string& l : lines) {
    if (Contains(l, "security")) records.push_back(l);
  }
  ASSERT_EQ(records.size(), 3u) << outputs[0];
  // The delay of each record (the last column) is its capture time less
  // its upstream stamp.
  auto delay = [](const std::string& line) { return line.substr(line.rfind(',') + 1); };
  EXPECT_EQ(delay(records[0]), "1500") << records[0];
  EXPECT_EQ(delay(records[1]), "1500") << records[1];
  EXPECT_EQ(delay(records[2]), "2250") << records[2];
  EXPECT_EQ(outputs[1], outputs[0]);
  EXPECT_EQ(outputs[2], outputs[0]);
}

}  // namespace
