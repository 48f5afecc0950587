#include "util/logger.h"
#include "support/wait_until.h"

#include "support/log_line.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace zavo {
namespace {

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/zavo_logger_XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::vector<std::string> read_lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

// Exposes the write step so a line can be formatted from a fixed entry.
class ProbeLogger : public Logger {
 public:
  using AsyncLogger::do_write;
};

using zavo_test::LogLine;
using zavo_test::parse_log_line;

bool all_digits(const std::string& s) {
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return !s.empty();
}

TEST(Logger, LevelsThresholdAndLineFormat) {
  TempDir dir;
  const std::string path = dir.file("a.log");
  {
    Logger log;
    log.set_console(false);
    EXPECT_EQ(log.threshold(), 1);
    ASSERT_TRUE(log.Start(path));
    log.LogDebug("debug %d", 1);
    log.LogInfo("info %d", 2);
    log.LogError("error %s", "three");
    log.Log("%p[%s] plain", static_cast<void*>(&log), "Logger");
    log.Log(AsyncLogger::kInfo, "via level %u", 5u);
  }
  auto lines = read_lines(path);
  ASSERT_EQ(lines.size(), 4u);
  const char letters[] = {'I', 'E', '-', 'I'};
  const char* texts[] = {"info 2", "error three", nullptr, "via level 5"};
  for (size_t i = 0; i < lines.size(); ++i) {
    LogLine m;
    ASSERT_TRUE(parse_log_line(lines[i], &m)) << lines[i];
    EXPECT_EQ(m.letter, letters[i]);
    if (texts[i]) {
      EXPECT_EQ(m.text, texts[i]);
    }
  }
  EXPECT_NE(lines[2].find("[Logger] plain"), std::string::npos);

  // Lowering the threshold lets debug lines through.
  const std::string path2 = dir.file("b.log");
  {
    Logger log;
    log.set_console(false);
    log.set_threshold(0);
    ASSERT_TRUE(log.Start(path2));
    log.LogDebug("now visible");
  }
  lines = read_lines(path2);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("] [D] now visible"), std::string::npos);
}

TEST(Logger, FixedEntryStampAndLetters) {
  TempDir dir;
  const std::string path = dir.file("fixed.txt");
  FILE* f = fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr);
  ProbeLogger log;
  AsyncLogger::log_entry e;
  e.level = 1;
  e.year = 2021, e.month = 3, e.day = 1, e.hour = 9, e.minute = 5, e.second = 7;
  e.millisecond = 4;
  const char text[] = "hello";
  e.text.assign(text, text + sizeof text);
  log.do_write(e, f);
  e.level = 7;  // outside the table: plain letter
  log.do_write(e, f);
  e.level = 0;
  e.text.clear();  // an entry whose formatting produced nothing
  log.do_write(e, f);
  log.do_write(e, nullptr);  // no stream: nothing happens
  fclose(f);
  auto lines = read_lines(path);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "[20210301 09:05:07.004] [I] hello");
  EXPECT_EQ(lines[1], "[20210301 09:05:07.004] [-] hello");
  EXPECT_EQ(lines[2], "[20210301 09:05:07.004] [D] ");
}

TEST(Logger, LongMessagesAreComplete) {
  TempDir dir;
  const std::string path = dir.file("long.log");
  const std::string s300(300, 'x');
  const std::string s255(255, 'y');  // exactly one byte short of the first buffer
  const std::string s5000(5000, 'z');
  {
    Logger log;
    log.set_console(false);
    ASSERT_TRUE(log.Start(path));
    log.Log("%s", s300.c_str());
    log.Log("%s", s255.c_str());
    log.Log("%s|%d", s5000.c_str(), 42);
    log.Log("%s", "");  // empty message still makes a line
  }
  auto lines = read_lines(path);
  ASSERT_EQ(lines.size(), 4u);
  const size_t prefix = std::string("[20210301 09:05:07.004] [-] ").size();
  EXPECT_EQ(lines[0].substr(prefix), s300);
  EXPECT_EQ(lines[1].substr(prefix), s255);
  EXPECT_EQ(lines[2].substr(prefix), s5000 + "|42");
  EXPECT_EQ(lines[3].size(), prefix);
}

TEST(Logger, StartTruncatesIgnoresSecondPathAndFailsOnBadPath) {
  TempDir dir;
  const std::string path = dir.file("run.log");
  {
    std::ofstream old(path);
    old << "old line 1\nold line 2\n";
  }
  const std::string other = dir.file("other.log");
  {
    Logger log;
    log.set_console(false);
    ASSERT_TRUE(log.Start(path));
    EXPECT_TRUE(log.Start(other));  // already running: path ignored
    log.Log("new");
  }
  auto lines = read_lines(path);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("] [-] new"), std::string::npos);
  EXPECT_FALSE(std::ifstream(other).good());

  Logger bad;
  bad.set_console(false);
  EXPECT_FALSE(bad.Start(dir.file("missing/dir/x.log")));
  bad.Log("dropped without a file");             // must not crash or block
  EXPECT_TRUE(bad.Start(dir.file("late.log")));  // a later start can still succeed
}

TEST(Logger, DestructorWritesEveryQueuedEntryInOrder) {
  TempDir dir;
  const std::string path = dir.file("burst.log");
  constexpr int kLines = 5000;
  {
    Logger log;
    log.set_console(false);
    ASSERT_TRUE(log.Start(path));
    for (int i = 0; i < kLines; ++i) log.Log("line %d", i);
  }
  auto lines = read_lines(path);
  ASSERT_EQ(lines.size(), static_cast<size_t>(kLines));
  for (int i = 0; i < kLines; ++i) {
    ASSERT_EQ(lines[i].substr(lines[i].find("] [-] ") + 6), "line " + std::to_string(i));
  }
}

TEST(Logger, ConcurrentWritersNeverInterleave) {
  TempDir dir;
  const std::string path = dir.file("mt.log");
  constexpr int kThreads = 4, kPer = 500;
  {
    Logger log;
    log.set_console(false);
    ASSERT_TRUE(log.Start(path));
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; ++t) {
      ts.emplace_back([&log, t] {
        for (int i = 0; i < kPer; ++i) log.Log("t%d n%d %s", t, i, "payload-payload-payload");
      });
    }
    for (auto& t : ts) t.join();
  }
  auto lines = read_lines(path);
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kPer));
  int next[kThreads] = {0, 0, 0, 0};
  for (const auto& l : lines) {
    LogLine m;
    ASSERT_TRUE(parse_log_line(l, &m)) << l;
    int t = -1, n = -1;
    char tail[64] = {0};
    ASSERT_EQ(sscanf(m.text.c_str(), "t%d n%d %63s", &t, &n, tail), 3) << l;
    ASSERT_TRUE(t >= 0 && t < kThreads) << l;
    EXPECT_STREQ(tail, "payload-payload-payload") << l;
    EXPECT_EQ(n, next[t]++);  // each writer's order kept
  }
}

TEST(Logger, ConsoleFlagWritesToStdoutBeforeStart) {
  Logger log;  // console on by default
  EXPECT_TRUE(log.console());
  testing::internal::CaptureStdout();
  log.LogInfo("to console %d", 9);
  log.LogDebug("below threshold");
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("] [I] to console 9\n"), std::string::npos);
  EXPECT_EQ(out.find("below threshold"), std::string::npos);

  log.set_console(false);
  testing::internal::CaptureStdout();
  log.LogInfo("silent");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(Logger, InstanceAndMacro) {
  EXPECT_EQ(Logger::Instance(), nullptr);
  ZAVO_LOG("%s", "no instance: a no-op");
  TempDir dir;
  const std::string path = dir.file("inst.log");
  {
    Logger log;
    log.set_console(false);
    ASSERT_TRUE(log.Start(path));
    Logger::SetInstance(&log);
    EXPECT_EQ(Logger::Instance(), &log);
    ZAVO_LOG("%p[%s] via macro", static_cast<void*>(&log), "Test");
  }
  // The destroyed logger no longer answers as the instance.
  EXPECT_EQ(Logger::Instance(), nullptr);
  auto lines = read_lines(path);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("[Test] via macro"), std::string::npos);
}

TEST(LogFileName, StampAndDirectory) {
  tm t{};
  t.tm_year = 2021 - 1900, t.tm_mon = 4, t.tm_mday = 12;
  t.tm_hour = 9, t.tm_min = 30, t.tm_sec = 15;
  EXPECT_EQ(log_file_path("./logs/", t, 123), "./logs/20210512093015123.log");
  t.tm_year = 1999 - 1900, t.tm_mon = 0, t.tm_mday = 2, t.tm_hour = 0, t.tm_min = 0, t.tm_sec = 0;
  EXPECT_EQ(log_file_path("./logs/", t, 7), "./logs/19990102000000007.log");

  TempDir dir;
  const std::string logs = dir.path() + "/logs/";
  const std::string p = make_log_file_path(logs);
  struct stat st {};
  ASSERT_EQ(stat(logs.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777 & ~0775u, 0u);
  ASSERT_EQ(p.substr(0, logs.size()), logs);
  const std::string name = p.substr(logs.size());
  ASSERT_EQ(name.size(), 21u) << p;
  EXPECT_TRUE(all_digits(name.substr(0, 17))) << p;
  EXPECT_EQ(name.substr(17), ".log");
  // An existing directory is reused.
  EXPECT_EQ(make_log_file_path(logs).substr(0, logs.size()), logs);
}

}  // namespace
}  // namespace zavo

namespace zavo {
namespace {

int thread_count() {
  int n = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/task")) {
    (void)e;
    ++n;
  }
  return n;
}

// Holds the worker in its first write until released, so that the queue
// fills behind it.
class GatedLogger : public Logger {
 public:
  std::atomic<bool> open_gate{false};
  size_t queued() const { return queue_.size(); }

 protected:
  void do_write(const log_entry& e, FILE* out) override {
    test::WaitUntil([this] { return open_gate.load(); });
    AsyncLogger::do_write(e, out);
  }
};

}  // namespace

TEST(Logger, ArmedLoggerMakesNothingUntilTheFirstLineAndFinishEndsItsWorker) {
  TempDir dir;
  const std::string logs = dir.path() + "/logs/";
  const std::string path = logs + "first.log";
  const int threads_before = thread_count();
  Logger log;
  log.set_console(false);
  log.StartOnFirstLine(path, logs);
  struct stat st {};
  EXPECT_NE(stat(logs.c_str(), &st), 0) << "the directory is made with the first line";
  EXPECT_EQ(thread_count(), threads_before);

  log.Log("first %d", 1);
  log.Log("second");
  EXPECT_EQ(stat(logs.c_str(), &st), 0);
  EXPECT_EQ(thread_count(), threads_before + 1);

  // The end of the process: every line is in, the worker is gone, and
  // nothing later writes or starts anything.
  log.Finish();
  EXPECT_EQ(thread_count(), threads_before);
  log.Log("after the end");
  log.StartOnFirstLine(dir.file("again.log"), "");
  log.Log("still after the end");
  EXPECT_EQ(thread_count(), threads_before);
  const auto lines = read_lines(path);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("] [-] first 1"), std::string::npos);
  EXPECT_NE(lines[1].find("] [-] second"), std::string::npos);
  EXPECT_FALSE(std::ifstream(dir.file("again.log")).good());
}

TEST(Logger, AFullQueueDropsLinesAndTheFileSaysHowMany) {
  TempDir dir;
  const std::string path = dir.file("flood.log");
  constexpr size_t kExtra = 250;
  const size_t total = AsyncLogger::kMaxQueuedLines + 1 + kExtra;
  GatedLogger log;
  log.set_console(false);
  ASSERT_TRUE(log.Start(path));
  log.Log("line 0");
  // Once the worker holds line 0 in its write, exactly the bound fits
  // behind it.
  test::WaitUntil([&] { return log.queued() == 0; });
  ASSERT_EQ(log.queued(), 0u);
  for (size_t i = 1; i < total; ++i) log.Log("line %zu", i);
  EXPECT_EQ(log.dropped_lines(), kExtra);
  log.open_gate.store(true);
  log.Finish();
  const auto lines = read_lines(path);
  ASSERT_EQ(lines.size(), AsyncLogger::kMaxQueuedLines + 2);
  EXPECT_NE(lines[1].find("[E] 250 log lines dropped"), std::string::npos) << lines[1];
  EXPECT_NE(lines.back().find("] [-] line " + std::to_string(AsyncLogger::kMaxQueuedLines)),
            std::string::npos)
      << lines.back();
}

}  // namespace zavo
