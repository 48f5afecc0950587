// The files a recording writes: an existing capture is never replaced
// unless that was asked for, and a rotated series goes round the names that
// are taken.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "feed_recorder.h"
#include "record_test_util.h"
#include "sim_server.h"

namespace zavo {
namespace test {
namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

TEST(RecordFiles, ExistingFilesAreKeptUnlessReplacingWasAsked) {
  TempDir dir;
  const std::string out = dir.File("day.pcap");
  write_file(out, "yesterday");
  record::RecorderConfig rc;
  rc.groups = {"239.255.8.6:17061"};
  rc.out = out;
  std::string error;
  {
    record::FeedRecorder recorder(rc);
    EXPECT_FALSE(recorder.Start(&error));
    EXPECT_NE(error.find(out), std::string::npos) << error;
    EXPECT_NE(error.find("exists"), std::string::npos) << error;
    EXPECT_TRUE(recorder.files().empty());
  }
  EXPECT_EQ(read_file(out), "yesterday");
  // The first file of a series is the one checked when rotating.
  rc.rotate_bytes = 1 << 20;
  write_file(dir.File("day.0000.pcap"), "old series");
  {
    record::FeedRecorder recorder(rc);
    EXPECT_FALSE(recorder.Start(&error));
    EXPECT_NE(error.find("day.0000.pcap"), std::string::npos) << error;
  }
  EXPECT_EQ(read_file(dir.File("day.0000.pcap")), "old series");
  rc.rotate_bytes = 0;
  rc.overwrite = true;
  {
    record::FeedRecorder recorder(rc);
    ASSERT_TRUE(recorder.Start(&error)) << error;
    EXPECT_TRUE(recorder.Stop());
  }
  // A capture file header now, not the old bytes.
  EXPECT_EQ(read_file(out).size(), 24u);
}

TEST(RecordFiles, RotationGoesRoundTakenNames) {
  TempDir dir;
  sim::SimConfig cfg;
  cfg.listen_port = 0;
  cfg.group = "239.255.8.7";
  cfg.port = 17071;
  cfg.rate = 0;
  cfg.heartbeat_ms = 3600 * 1000;
  sim::SimServer server(cfg);
  std::string error;
  ASSERT_EQ(server.Start(&error), 0) << error;

  write_file(dir.File("feed.0001.pcap"), "keep me");
  write_file(dir.File("feed.0002.pcap"), "me too");
  record::RecorderConfig rc;
  rc.groups = {"239.255.8.7:17071"};
  rc.out = dir.File("feed.pcap");
  rc.rotate_bytes = 16 * 1024;
  // Even when the first file may be replaced, later ones never replace one.
  rc.overwrite = true;
  record::FeedRecorder recorder(rc);
  ASSERT_TRUE(recorder.Start(&error)) << error;
  for (int burst = 0; burst < 40 && recorder.files().size() < 3; ++burst) {
    server.PublishNow(60);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(recorder.Poll(20, &error)) << error;
  }
  ASSERT_TRUE(recorder.Stop());
  ASSERT_GE(recorder.files().size(), 3u);
  EXPECT_EQ(recorder.files()[0], dir.File("feed.0000.pcap"));
  EXPECT_EQ(recorder.files()[1], dir.File("feed.0003.pcap"));
  EXPECT_EQ(recorder.files()[2], dir.File("feed.0004.pcap"));
  EXPECT_EQ(read_file(dir.File("feed.0001.pcap")), "keep me");
  EXPECT_EQ(read_file(dir.File("feed.0002.pcap")), "me too");
}

}  // namespace
}  // namespace test
}  // namespace zavo
