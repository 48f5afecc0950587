// The programs as a user meets them, inside the suite's private network
// namespace: one table of exit statuses for every tool, one spelling of a
// group, --book refused for codes it cannot show, a word when a session
// receives nothing, and the demo script run from anywhere and stopped early.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "process_helpers.h"

namespace {

using namespace tail_test;

std::unique_ptr<Proc> Tail(std::vector<std::string> args) {
  return std::make_unique<Proc>(ZAVO_TAIL_BIN, std::move(args));
}

// A simulator of its own on control port `port`, publishing both feeds to
// `group` on their default ports.
std::unique_ptr<Proc> Sim(int port, const std::string& group, std::vector<std::string> extra = {}) {
  std::vector<std::string> args = {
      "--listen", "127.0.0.1:" + std::to_string(port), "--group", group, "--mode", "both", "-q"};
  args.insert(args.end(), extra.begin(), extra.end());
  auto sim = std::make_unique<Proc>(ZAVO_SIM_BIN, args);
  EXPECT_TRUE(AwaitListening(port)) << sim->Err();
  return sim;
}

double Since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

TEST(ExitStatus, CtrlCIs130AndSigtermIs0InEveryTool) {
  auto sim = Sim(6630, "239.255.6.3");
  const std::string server = "127.0.0.1:6630";

  // Streaming: Ctrl-C gives the status an interruption during the login
  // gives, after the usual closing line; SIGTERM is an orderly stop.
  auto ctrl_c = Tail({"--server", server, "--group", "239.255.6.3:6601", "--format", "none"});
  ASSERT_TRUE(ctrl_c->AwaitOutput("[event] kind=login")) << ctrl_c->Err();
  ctrl_c->Signal(SIGINT);
  EXPECT_EQ(ctrl_c->Wait(), 130) << ctrl_c->Err();
  EXPECT_TRUE(Contains(ctrl_c->Err(), "zavo_tail: closed after ")) << ctrl_c->Err();
  auto term = Tail({"--server", server, "--group", "239.255.6.3:6601", "--format", "none"});
  ASSERT_TRUE(term->AwaitOutput("[event] kind=login")) << term->Err();
  term->Signal(SIGTERM);
  EXPECT_EQ(term->Wait(), 0) << term->Err();

  // The recorder: a bare group is the struct feed's port; Ctrl-C still
  // closes a whole file.
  auto rec = std::make_unique<Proc>(
      ZAVO_RECORD_BIN, std::vector<std::string>{"--group", "239.255.6.3", "--out", "rec.pcap"});
  ASSERT_TRUE(
      rec->AwaitOutput("zavo_record: recording 239.255.6.3:6601 on 127.0.0.1 into rec.pcap"))
      << rec->Err();
  ASSERT_TRUE(rec->AwaitOutput("status: +")) << rec->Out();
  rec->Signal(SIGINT);
  EXPECT_EQ(rec->Wait(), 130) << rec->Err();
  EXPECT_TRUE(Contains(rec->Out(), "recorded ")) << rec->Out();
  EXPECT_FALSE(Contains(rec->Out(), "recorded 0 datagrams")) << rec->Out();

  sim->Signal(SIGINT);
  EXPECT_EQ(sim->Wait(), 130) << sim->Err();
  EXPECT_TRUE(Contains(sim->Out(), "SIGINT received, stopping")) << sim->Out();

  // SIGTERM while the login is still unanswered: the same 0 as when
  // streaming, at once.
  Proc silent(ZAVO_SIM_BIN, {"--listen", "127.0.0.1:6634", "--silent-login"});
  ASSERT_TRUE(AwaitListening(6634)) << silent.Err();
  auto opening = Tail({"--server", "127.0.0.1:6634"});
  ASSERT_TRUE(silent.AwaitOutput("left unanswered")) << silent.Out();
  const auto start = Clock::now();
  opening->Signal(SIGTERM);
  EXPECT_EQ(opening->Wait(5), 0) << opening->Err();
  EXPECT_LT(Since(start), 2.0);
  silent.Signal(SIGTERM);
  EXPECT_EQ(silent.Wait(), 0);

  // A capture file that is missing or is not a capture is an input error.
  auto missing = Tail({"--pcap", "/nonexistent/none.pcap"});
  EXPECT_EQ(missing->Wait(), 2) << missing->Err();
  EXPECT_TRUE(Contains(missing->Err(), "--pcap")) << missing->Err();
  auto text = std::make_unique<Proc>("/bin/sh", std::vector<std::string>{"-c", "echo no > x.pcap"});
  ASSERT_EQ(text->Wait(), 0);
  auto not_capture = Tail({"--pcap", text->dir() + "/x.pcap"});
  EXPECT_EQ(not_capture->Wait(), 2) << not_capture->Err();
  EXPECT_TRUE(Contains(not_capture->Err(), "zavo_tail: ")) << not_capture->Err();
  EXPECT_TRUE(not_capture->Out().empty()) << not_capture->Out();
}

TEST(TailLive, BareGroupsBookCodesAndSilence) {
  auto sim = Sim(6640, "239.255.6.4");
  const std::string server = "127.0.0.1:6640";

  // A group without its port takes the feed's default one, in each mode.
  auto s = Tail({"--server", server, "--group", "239.255.6.4", "--max-records", "3", "--summary"});
  auto r = Tail(
      {"--server", server, "--group", "239.255.6.4", "--raw", "--max-records", "3", "--summary"});
  EXPECT_EQ(s->Wait(), 0) << s->Err();
  EXPECT_EQ(r->Wait(), 0) << r->Err();
  EXPECT_TRUE(Contains(s->Err(), "group 239.255.6.4:6601 on 127.0.0.1")) << s->Err();
  EXPECT_TRUE(Contains(r->Out(), "records by kind: raw=3\n")) << r->Out();

  // --book: a code the code table lacks, a word that is no code, an index.
  const std::vector<std::pair<std::string, std::string>> books = {
      {"999999.SZ", "zavo_tail: --book 999999.SZ: the SZ code table has no such code\n"},
      {"foo", "zavo_tail: --book foo.SZ: the SZ code table has no such code\n"},
      {"000001.SH", "zavo_tail: --book 000001.SH is an index: only a stock has an order book\n"},
  };
  for (const auto& b : books) {
    auto t = Tail({"--server", server, "--group", "239.255.6.4", "--book", b.first, "--format",
                   "json", "--duration", "20"});
    EXPECT_EQ(t->Wait(15), 2) << b.first << ": " << t->Err();
    EXPECT_TRUE(Contains(t->Err(), b.second + "(see zavo_tail --help)\n")) << t->Err();
  }

  // Nothing arrives: a group nobody publishes on, and a filter that matches
  // nothing. Both say so after a few seconds, and in the summary.
  auto wrong = Tail({"--server", server, "--group", "239.255.6.9", "--duration", "6", "--summary",
                     "--format", "none"});
  auto none = Tail({"--server", server, "--group", "239.255.6.4", "--markets", "SZ", "--codes",
                    "999999.SZ", "--duration", "6", "--summary", "--format", "none"});
  EXPECT_EQ(wrong->Wait(), 0) << wrong->Err();
  EXPECT_EQ(none->Wait(), 0) << none->Err();
  EXPECT_TRUE(Contains(wrong->Err(),
                       "zavo_tail: no data for 5 s from group 239.255.6.9:6601 on interface "
                       "127.0.0.1 (check --group and --interface)\n"))
      << wrong->Err();
  EXPECT_TRUE(Contains(wrong->Out(),
                       "no data received from group 239.255.6.9:6601 on interface 127.0.0.1 in "))
      << wrong->Out();
  EXPECT_TRUE(Contains(none->Err(),
                       "zavo_tail: no data for 5 s from group 239.255.6.4:6601 on interface "
                       "127.0.0.1 (check --group and --interface; --markets and --codes may "
                       "match nothing)\n"))
      << none->Err();
  EXPECT_TRUE(Contains(none->Out(), "no data received from group 239.255.6.4:6601")) << none->Out();
  // A session with data says nothing of the kind.
  EXPECT_FALSE(Contains(s->Err() + s->Out(), "no data")) << s->Err();

  sim->Signal(SIGTERM);
  EXPECT_EQ(sim->Wait(), 0);
}

// The demo, with the programs of this build (nothing installed or built).
TEST(Demo, RunsByARelativePathFromOutsideAndStopsOnEarlyCtrlC) {
  // The scratch directory is /tmp/<name>: the repository is two levels up.
  const std::string script = std::string("../..") + ZAVO_SOURCE_DIR + "/scripts/demo.sh";
  const std::vector<std::pair<std::string, std::string>> env = {
      {"ZAVO_DEMO_BUILD_DIR", ZAVO_BUILD_DIR}};
  Proc run(script, {"--seconds", "1", "--", "--format", "none"}, env);
  EXPECT_EQ(run.Wait(60), 0) << run.Out() << run.Err();
  EXPECT_TRUE(Contains(run.Out(), "==== summary ====")) << run.Out() << run.Err();
  EXPECT_TRUE(Contains(run.Out(), "[demo] client exited with status 0")) << run.Out();

  // Ctrl-C reaches the whole process group, as from a terminal, right after
  // the simulator was started: the demo ends at once, as interrupted.
  Proc early(ZAVO_SOURCE_DIR "/scripts/demo.sh", {"--seconds", "30"}, env, true);
  ASSERT_TRUE(early.AwaitOutput("[demo] starting the simulator", 20)) << early.Out() << early.Err();
  const auto start = Clock::now();
  early.SignalGroup(SIGINT);
  EXPECT_EQ(early.Wait(10), 130) << early.Out() << early.Err();
  EXPECT_LT(Since(start), 10.0);
}

}  // namespace
