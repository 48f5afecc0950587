// Running the project's programs as processes in the tests: each in a
// scratch directory of its own, standard output and error in two files.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace tail_test {

using Clock = std::chrono::steady_clock;

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::stringstream s(text);
  std::string line;
  while (std::getline(s, line)) out.push_back(line);
  return out;
}

inline bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A process started in its own scratch directory (the library writes its
// logs/ there), standard output and standard error in two files.
class Proc {
 public:
  // With `own_group`, the process leads a process group of its own, which
  // SignalGroup reaches as a terminal's Ctrl-C would.
  Proc(const std::string& bin, std::vector<std::string> args,
       const std::vector<std::pair<std::string, std::string>>& env = {}, bool own_group = false) {
    char tmpl[] = "/tmp/zavo_tail_test.XXXXXX";
    dir_ = mkdtemp(tmpl) ? tmpl : "/tmp";
    pid_ = fork();
    if (pid_ != 0) return;
    if (own_group) setpgid(0, 0);
    if (chdir(dir_.c_str()) != 0) _exit(126);
    const int out = open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0) _exit(126);
    dup2(out, 1);
    dup2(err, 2);
    for (const auto& e : env) setenv(e.first.c_str(), e.second.c_str(), 1);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(bin.c_str()));
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    execv(bin.c_str(), argv.data());
    _exit(127);
  }
  ~Proc() {
    if (pid_ > 0 && status_ == -1) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status_, 0);
    }
    // In the sanitizer builds the programs are instrumented too; a report
    // fails the test whatever the exit status was meant to be.
    const std::string err = Err();
    for (const char* mark : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                             "WARNING: ThreadSanitizer", "runtime error:"}) {
      EXPECT_FALSE(Contains(err, mark)) << err;
    }
    const std::string rm = "rm -rf '" + dir_ + "'";
    if (dir_.rfind("/tmp/zavo_tail_test.", 0) == 0 && std::system(rm.c_str()) != 0) {
      std::fprintf(stderr, "could not remove %s\n", dir_.c_str());
    }
  }

  // Waits (bounded) for the exit; the exit status, or -1 (then killed).
  int Wait(double seconds = 20) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (status_ == -1 && Clock::now() < deadline) {
      int st = 0;
      if (waitpid(pid_, &st, WNOHANG) == pid_) {
        status_ = st;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (status_ == -1) return -1;
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
  }
  void Signal(int sig) { kill(pid_, sig); }
  void SignalGroup(int sig) { kill(-pid_, sig); }
  const std::string& dir() const { return dir_; }

  std::string Out() const { return ReadFile(dir_ + "/stdout.txt"); }
  std::string Err() const { return ReadFile(dir_ + "/stderr.txt"); }
  // The library's log file(s), concatenated.
  std::string Log() const {
    std::string all;
    if (DIR* d = opendir((dir_ + "/logs").c_str())) {
      while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') all += ReadFile(dir_ + "/logs/" + e->d_name);
      }
      closedir(d);
    }
    return all;
  }
  // Waits (bounded) until standard output or error contains `part`.
  bool AwaitOutput(const std::string& part, double seconds = 10) const {
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    do {
      if (Contains(Out(), part) || Contains(Err(), part)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } while (Clock::now() < deadline);
    return false;
  }

 private:
  std::string dir_;
  pid_t pid_ = -1;
  int status_ = -1;
};

inline bool AwaitListening(int port, double seconds = 10) {
  const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  do {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
    close(fd);
    if (ok) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  } while (Clock::now() < deadline);
  return false;
}

}  // namespace tail_test
