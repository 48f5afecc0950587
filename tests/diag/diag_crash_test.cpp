#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "util/diagnostics.h"

namespace zavo {
namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> list_dir(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    }
    closedir(d);
  }
  return names;
}

enum class Crash { kSegv, kAbort };

// Runs a child that installs the handler in `dir` and then crashes; returns
// its wait status. The child's standard output goes to dir/stdout.txt.
int run_crashing_child(const std::string& dir, Crash how) {
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(90);
    const int out = open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || dup2(out, STDOUT_FILENO) < 0) _exit(91);
    rlimit no_core{0, 0};  // keep the system's own core file out of the way
    setrlimit(RLIMIT_CORE, &no_core);
    open_core_dump();
    if (how == Crash::kSegv) {
      // A write to an inaccessible page: a genuine fault, not a raise().
      void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (page == MAP_FAILED) _exit(92);
      *static_cast<volatile int*>(page) = 1;
    } else {
      abort();
    }
    _exit(93);  // the crash did not happen
  }
  // Bounded wait: the child has at most 30 s to die.
  int status = 0;
  for (int i = 0; i < 3000; ++i) {
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return status;
    if (r < 0) return -1;
    timespec pause{0, 10 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

long long stamp_to_epoch(const std::string& stamp) {
  tm t{};
  t.tm_year = std::stoi(stamp.substr(0, 4)) - 1900;
  t.tm_mon = std::stoi(stamp.substr(4, 2)) - 1;
  t.tm_mday = std::stoi(stamp.substr(6, 2));
  t.tm_hour = std::stoi(stamp.substr(8, 2));
  t.tm_min = std::stoi(stamp.substr(10, 2));
  t.tm_sec = std::stoi(stamp.substr(12, 2));
  t.tm_isdst = -1;
  return static_cast<long long>(mktime(&t));
}

TEST(CrashHandler, WritesBackTraceFileAndDiesOfTheSignal) {
  const struct {
    Crash how;
    int sig;
    const char* name;
  } cases[] = {{Crash::kSegv, SIGSEGV, "SIGSEGV"}, {Crash::kAbort, SIGABRT, "SIGABRT"}};

  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    char tmpl[] = "/tmp/diag_crash_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;

    const long long started = static_cast<long long>(time(nullptr));
    const int status = run_crashing_child(dir, c.how);
    ASSERT_NE(status, -1);
    ASSERT_TRUE(WIFSIGNALED(status))
        << "child exited with status " << (WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    EXPECT_EQ(WTERMSIG(status), c.sig);

    std::string dump_name;
    for (const std::string& name : list_dir(dir)) {
      if (name != "stdout.txt") dump_name = name;
    }
    const std::string suffix = ".core_dump";
    ASSERT_EQ(dump_name.size(), 17 + suffix.size()) << "files: " << dump_name;
    const std::string stamp = dump_name.substr(0, 17);
    EXPECT_EQ(stamp.find_first_not_of("0123456789"), std::string::npos) << dump_name;
    EXPECT_EQ(dump_name.substr(17), suffix);
    // The name carries local time, within a few seconds of the crash.
    const long long crashed = stamp_to_epoch(stamp);
    EXPECT_LE(std::llabs(crashed - started), 5) << stamp;

    const std::string dump = read_file(dir + "/" + dump_name);
    const std::string header = "\ncore: " + stamp.substr(0, 8) + " " + stamp.substr(8, 2) + ":" +
                               stamp.substr(10, 2) + ":" + stamp.substr(12, 2) + "." +
                               stamp.substr(14, 3) + " Signal:" + c.name + "\n";
    EXPECT_EQ(dump.compare(0, header.size(), header), 0) << dump;

    const std::string count_key = "\nbacktrace return ";
    const size_t count_at = dump.find(count_key);
    ASSERT_NE(count_at, std::string::npos) << dump;
    const int frames = std::atoi(dump.c_str() + count_at + count_key.size());
    const std::string count_line = count_key + std::to_string(frames) + " address\n";
    EXPECT_EQ(dump.compare(count_at, count_line.size(), count_line), 0) << dump;
    EXPECT_GT(frames, 1);
    EXPECT_LE(frames, 256);
    for (int i = 0; i < frames; ++i) {
      EXPECT_NE(dump.find("\n[" + std::to_string(i) + "] "), std::string::npos) << i;
    }
    EXPECT_EQ(dump.find("\n[" + std::to_string(frames) + "] "), std::string::npos);
    const std::string file_end = "backtrace end\n\n";
    ASSERT_GE(dump.size(), file_end.size());
    EXPECT_EQ(dump.substr(dump.size() - file_end.size()), file_end);

    // Standard output carries the same text, ending with a single line end.
    const std::string out = read_file(dir + "/stdout.txt");
    EXPECT_NE(out.find(header), std::string::npos) << out;
    EXPECT_NE(out.find(count_line), std::string::npos);
    const std::string out_end = "\nbacktrace end\n";
    ASSERT_GE(out.size(), out_end.size());
    EXPECT_EQ(out.substr(out.size() - out_end.size()), out_end);

    unlink((dir + "/" + dump_name).c_str());
    unlink((dir + "/stdout.txt").c_str());
    rmdir(dir.c_str());
  }
}

TEST(CrashHandler, NamesSignalsAndReusesOneBufferForOthers) {
  EXPECT_STREQ(SignalName(SIGILL), "SIGILL");
  EXPECT_STREQ(SignalName(SIGABRT), "SIGABRT");
  EXPECT_STREQ(SignalName(SIGFPE), "SIGFPE");
  EXPECT_STREQ(SignalName(SIGKILL), "SIGKILL");
  EXPECT_STREQ(SignalName(SIGSEGV), "SIGSEGV");
  EXPECT_STREQ(SignalName(SIGTERM), "SIGTERM");
  EXPECT_STREQ(SignalName(SIGXFSZ), "SIGXFSZ");
  const char* first = SignalName(7);
  EXPECT_STREQ(first, "7");
  const char* second = SignalName(-12);
  EXPECT_EQ(first, second);
  EXPECT_STREQ(second, "-12");
  EXPECT_STREQ(SignalName(64), "64");
}

}  // namespace
}  // namespace zavo
