// The command lines of recording, replay and offline decode: what each
// option sets, the defaults shared with the simulator, and the combinations
// that are refused rather than silently ignored.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "options.h"
#include "record_options.h"
#include "record_test_util.h"
#include "sim_options.h"
#include "zavo_defaults.h"

namespace zavo {
namespace test {
namespace {

// Options parse existing files only; their content does not matter here.
std::string touch(const TempDir& dir, const std::string& name) {
  const std::string path = dir.File(name);
  std::ofstream(path) << "x";
  return path;
}

TEST(ReplayOptions, FilesSpeedAndRefusedCombinations) {
  TempDir dir;
  const std::string a = touch(dir, "a.pcap"), b = touch(dir, "b.pcap");
  auto parse = [](std::vector<const char*> args, sim::SimOptions* o, std::string* err) {
    args.insert(args.begin(), "zavo_sim");
    *o = sim::SimOptions();
    return sim::ParseSimOptions(static_cast<int>(args.size()), args.data(), o, err);
  };
  sim::SimOptions o;
  std::string err;
  ASSERT_TRUE(parse({}, &o, &err)) << err;
  EXPECT_FALSE(o.replay.enabled());
  EXPECT_EQ(o.config.rate, 1000u);

  // Several files in order, then other options of the simulator.
  ASSERT_TRUE(parse({"--replay", a.c_str(), b.c_str(), "--speed", "2.5", "--loop", "-q"}, &o, &err))
      << err;
  ASSERT_EQ(o.replay.files, (std::vector<std::string>{a, b}));
  EXPECT_DOUBLE_EQ(o.replay.speed, 2.5);
  EXPECT_TRUE(o.replay.loop);
  EXPECT_FALSE(o.replay.max);
  EXPECT_FALSE(o.config.verbose);
  // The replaying server's configuration: no market of its own, both feeds.
  EXPECT_EQ(o.config.rate, 0u);
  EXPECT_EQ(o.config.raw_rate, 0u);
  EXPECT_FALSE(o.config.feed_heartbeats);
  EXPECT_EQ(o.config.feed_mode, sim::FeedMode::kBoth);
  ASSERT_TRUE(parse({"--max", "--replay", a.c_str()}, &o, &err)) << err;
  EXPECT_TRUE(o.replay.max);
  EXPECT_EQ(o.replay.files.size(), 1u);

  const std::vector<std::vector<const char*>> bad = {
      {"--replay"},
      {"--replay", "/nonexistent/x.pcap"},
      {"--replay", a.c_str(), "--speed", "0"},
      {"--replay", a.c_str(), "--speed", "fast"},
      {"--replay", a.c_str(), "--speed", "2", "--max"},
      {"--replay", a.c_str(), "--rate", "10"},
      {"--replay", a.c_str(), "--mode", "raw"},
      {"--replay", a.c_str(), "--raw-port", "6601"},
      {"--speed", "2"},
      {"--max"},
      {"--loop"}};
  for (const auto& args : bad) {
    err.clear();
    EXPECT_FALSE(parse(args, &o, &err)) << args[0] << " " << (args.size() > 2 ? args[2] : "");
    // The error names the option at fault.
    EXPECT_NE(err.find("--"), std::string::npos) << err;
  }
  const std::string help = sim::SimUsage("zavo_sim");
  for (const char* name : {"--replay", "--speed", "--max", "--loop"}) {
    EXPECT_NE(help.find(name), std::string::npos) << name;
  }
}

TEST(OfflineOptions, PcapFileGroupFilterAndLiveOptionsRefused) {
  TempDir dir;
  const std::string f = touch(dir, "day.pcap");
  auto parse = [](std::vector<const char*> args, zavo_tail::Options* o) {
    args.insert(args.begin(), "zavo_tail");
    *o = zavo_tail::Options();
    return zavo_tail::ParseOptions(static_cast<int>(args.size()), const_cast<char**>(args.data()),
                                   o);
  };
  zavo_tail::Options o;
  ASSERT_EQ(parse({"--pcap", f.c_str(), "--codes", "600001.SH", "--format", "json"}, &o), 0);
  EXPECT_EQ(o.pcap, f);
  EXPECT_FALSE(o.pcap_by_group);  // every datagram of the mode
  EXPECT_EQ(o.codes, "600001.SH");
  ASSERT_EQ(parse({"--pcap", f.c_str(), "--raw", "--group", "239.1.1.1:7000"}, &o), 0);
  EXPECT_TRUE(o.pcap_by_group);
  EXPECT_EQ(o.group.ToString(), "239.1.1.1:7000");
  ASSERT_EQ(parse({"--pcap", f.c_str(), "--raw", "--group", "239.1.1.1"}, &o), 0);
  EXPECT_EQ(o.group.port, ZAVO_DEFAULT_RAW_PORT);  // a bare group takes the mode's port
  ASSERT_EQ(parse({}, &o), 0);
  EXPECT_TRUE(o.pcap.empty());
  EXPECT_FALSE(o.pcap_by_group);

  const std::vector<std::vector<const char*>> bad = {
      {"--pcap"},
      {"--pcap", "/nonexistent/x.pcap"},
      {"--pcap", f.c_str(), "--server", "127.0.0.1:1"},
      {"--pcap", f.c_str(), "--interface", "127.0.0.1"},
      {"--pcap", f.c_str(), "--rebuild", "1:5"},
      {"--pcap", f.c_str(), "--duration", "3"},
      {"--pcap", f.c_str(), "--raw", "--codes", "600001.SH"}};
  for (const auto& args : bad) {
    EXPECT_EQ(parse(args, &o), -1) << (args.size() > 2 ? args[2] : args[0]);
  }
}

TEST(RecordOptions, DefaultGroupsValuesAndErrors) {
  auto parse = [](std::vector<const char*> args, record::RecordOptions* o, std::string* err) {
    args.insert(args.begin(), "zavo_record");
    *o = record::RecordOptions();
    return record::ParseRecordOptions(static_cast<int>(args.size()), args.data(), o, err);
  };
  record::RecordOptions o;
  std::string err;
  // Without --group: the simulator's struct and raw feeds, on its interface.
  ASSERT_TRUE(parse({"--out", "x.pcap"}, &o, &err)) << err;
  const std::string group = ZAVO_DEFAULT_GROUP_IP;
  EXPECT_EQ(o.recorder.groups,
            (std::vector<std::string>{group + ":" + std::to_string(ZAVO_DEFAULT_STRUCT_PORT),
                                      group + ":" + std::to_string(ZAVO_DEFAULT_RAW_PORT)}));
  EXPECT_EQ(o.recorder.interface_ip, ZAVO_DEFAULT_INTERFACE_IP);
  EXPECT_EQ(o.recorder.rotate_bytes, 0u);
  EXPECT_TRUE(o.status);

  // Given groups replace the defaults, in the order given.
  ASSERT_TRUE(
      parse({"--group", "239.1.1.1:7000", "--group=239.1.1.2:7001", "--interface", "10.1.2.3",
             "--out", "y.pcap", "--rotate-mb", "3", "--duration", "1.5", "--no-status"},
            &o, &err))
      << err;
  EXPECT_EQ(o.recorder.groups, (std::vector<std::string>{"239.1.1.1:7000", "239.1.1.2:7001"}));
  EXPECT_EQ(o.recorder.interface_ip, "10.1.2.3");
  EXPECT_EQ(o.recorder.out, "y.pcap");
  EXPECT_EQ(o.recorder.rotate_bytes, 3u << 20);
  EXPECT_DOUBLE_EQ(o.duration_s, 1.5);
  EXPECT_FALSE(o.status);
  // A group without a port takes the struct feed's port, as in every program.
  ASSERT_TRUE(parse({"--group", "239.1.1.1", "--out", "x.pcap"}, &o, &err)) << err;
  EXPECT_EQ(o.recorder.groups, (std::vector<std::string>{"239.1.1.1:6601"}));
  ASSERT_TRUE(parse({"--out", "z.pcap", "--rotate-hourly"}, &o, &err)) << err;
  EXPECT_TRUE(o.recorder.rotate_hourly);

  const std::vector<std::vector<const char*>> bad = {
      {},  // --out is needed
      {"--out", "x.pcap", "--group", "10.0.0.1:7000"},
      {"--out", "x.pcap", "--group", "239.1.1.1:0"},
      {"--out", "x.pcap", "--group", "239.1.1.1:"},
      {"--out", "x.pcap", "--interface", "eth0"},
      {"--out", "x.pcap", "--rotate-mb", "0"},
      {"--out", "x.pcap", "--rotate-mb", "2", "--rotate-hourly"},
      {"--out", "x.pcap", "--duration", "-1"},
      {"--out", "x.pcap", "--server", "127.0.0.1:6600"},
      {"--out", "x.pcap", "--bogus"}};
  for (const auto& args : bad) {
    err.clear();
    EXPECT_FALSE(parse(args, &o, &err)) << (args.size() > 2 ? args[2] : "(none)");
    EXPECT_NE(err.find("--"), std::string::npos) << err;
  }
  ASSERT_TRUE(parse({"--help"}, &o, &err));
  EXPECT_TRUE(o.help);
  const std::string help = record::RecordUsage("zavo_record");
  EXPECT_NE(help.find("239.255.6.1:6601 239.255.6.1:6602"), std::string::npos) << help;
}

}  // namespace
}  // namespace test
}  // namespace zavo
