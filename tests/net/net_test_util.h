#pragma once
// Helpers shared by the transport tests: a condition to await, and free
// loopback ports.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace zavo {
namespace testutil {

// State changed by the loop thread and awaited by the test thread.
class Signal {
 public:
  template <typename F>
  void Update(F&& f) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      f();
    }
    cv_.notify_all();
  }
  // True if `pred` held within `ms` milliseconds.
  bool WaitFor(const std::function<bool()>& pred, int ms = 10000) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms), pred);
  }
  std::mutex& mu() { return mu_; }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
};

// A port on 127.0.0.1 that nothing listens on right now.
inline int FreeLoopbackPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(a);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

// A blocking client socket connected to 127.0.0.1:port; -1 on failure.
// Receives give up after 10 s so that a test never hangs on a lost byte.
inline int ConnectLoopback(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  timeval tv{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

inline int LocalPort(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof(a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

}  // namespace testutil
}  // namespace zavo
