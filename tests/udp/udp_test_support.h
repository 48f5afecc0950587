#pragma once
// Receiver and raw sender used by the multicast tests of this suite.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "net/udp_multicast_receiver.h"

namespace zavo {
namespace test {

constexpr const char* kLocalIf = "127.0.0.1";

// Collects every datagram handed to OnData.
class CollectingReceiver : public UdpMulticaseReceiver2 {
 public:
  void OnError(int code) override { last_error_ = code; }
  void OnData(const char* data, size_t len) override {
    std::lock_guard<std::mutex> guard(mu_);
    got_.emplace_back(data, len);
    cv_.notify_all();
  }

  // Waits until at least `n` datagrams arrived; false after `timeout`.
  bool WaitFor(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, timeout, [&] { return got_.size() >= n; });
  }
  std::vector<std::string> Got() {
    std::lock_guard<std::mutex> guard(mu_);
    return got_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> got_;
  int last_error_ = 0;
};

// Sends one datagram to group:port through 127.0.0.1, independently of the
// library's senders. True if the system took it.
inline bool raw_send(const char* group, unsigned port, const std::string& bytes) {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return false;
  in_addr iface{};
  inet_pton(AF_INET, kLocalIf, &iface);
  setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof(iface));
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, group, &to.sin_addr);
  ssize_t n =
      ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
  ::close(fd);
  return n == static_cast<ssize_t>(bytes.size());
}

// Threads of this process.
int thread_count();

}  // namespace test
}  // namespace zavo
