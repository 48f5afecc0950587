// Running feedtap and feedtap_gen as processes in the tests.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "feedtap_test_util.h"

namespace feedtap_test {
namespace process {

using Clock = std::chrono::steady_clock;

// Starts `bin` with `args` in `dir`, standard output going to
// dir/stdout.txt and standard error to dir/`errName` (the same file unless
// another name is given).
inline pid_t Spawn(const std::string& dir, const std::string& bin, std::vector<std::string> args,
                   const std::string& errName = "stdout.txt") {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  // A test that fails before stopping its process must not leave it behind
  // once the suite ends.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (chdir(dir.c_str()) != 0) _exit(126);
  const int fd = open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) _exit(126);
  dup2(fd, 1);
  if (errName == "stdout.txt") {
    dup2(fd, 2);
  } else {
    const int err = open(errName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (err < 0) _exit(126);
    dup2(err, 2);
  }
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(bin.c_str()));
  for (auto& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  execv(bin.c_str(), argv.data());
  _exit(127);
}

// Waits (bounded) for the process to end; returns its wait status or -1.
inline int WaitExit(pid_t pid, int seconds = 10) {
  const auto deadline = Clock::now() + std::chrono::seconds(seconds);
  int status = 0;
  while (Clock::now() < deadline) {
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return status;
    if (r < 0) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

// Waits (bounded) until `pred` holds for the text of `path`.
template <typename Pred>
inline bool AwaitFile(const std::string& path, Pred pred, int seconds = 10) {
  const auto deadline = Clock::now() + std::chrono::seconds(seconds);
  while (Clock::now() < deadline) {
    if (pred(feedtap_test::ReadFile(path))) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return pred(feedtap_test::ReadFile(path));
}

inline bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The one CSV file under dir/data, or "" if there is not exactly one.
inline std::string OnlyDataFile(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir((dir + "/data").c_str())) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    }
    closedir(d);
  }
  return names.size() == 1 ? names[0] : "";
}

}  // namespace process
}  // namespace feedtap_test
