#pragma once
// The receivers the wire benchmark compares, each started on its own
// thread(s) and fed by the recorder of wire_feed.h:
//   floor   a bare thread on its own socket, either polling a non-blocking
//           socket with recvfrom or blocking in recvfrom
//   session a struct session of a build of the client library, through its
//           C interface
//   libuv   a libuv UDP receiver on an event loop
#include <uv.h>

#include <atomic>
#include <future>
#include <thread>

#include "support/session_library.h"

namespace zavo {
namespace bench {

class Receiver {
 public:
  virtual ~Receiver() = default;
  virtual bool start(int port) = 0;
  virtual void stop() = 0;
  // Core the publisher runs on for this receiver; -1 for no pinning.
  virtual int publisher_cpu() const { return -1; }
};

// spin: recvfrom in a tight loop on a non-blocking socket. Otherwise the
// thread blocks in recvfrom: on a machine with more runnable threads than
// cores it is the fairer floor for a receiver that blocks when idle (the
// scheduler favours a waking thread over one that used its share
// spinning). cpu >= 0 pins the thread there and the publisher to core 0.
class FloorReceiver : public Receiver {
 public:
  explicit FloorReceiver(bool spin, int cpu = -1) : spin_(spin), cpu_(cpu) {}
  int publisher_cpu() const override { return cpu_ < 0 ? -1 : 0; }
  bool start(int port) override;
  void stop() override;

 private:
  bool spin_;
  int cpu_;
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A struct session in the given idle strategy; its data handler reads the
// stamp from the delivered record. cpu >= 0 pins its read thread there
// (CpuID) and the publisher to core 0.
class SessionReceiver : public Receiver {
 public:
  SessionReceiver(const SessionLibrary& lib, int server_port, const char* strategy, int cpu = -1)
      : lib_(lib), server_port_(server_port), strategy_(strategy), cpu_(cpu) {}
  bool start(int port) override;
  void stop() override;
  int publisher_cpu() const override { return cpu_ < 0 ? -1 : 0; }

 private:
  const SessionLibrary& lib_;
  int server_port_;
  const char* strategy_;
  int cpu_;
  ZAVO_HANDLE handle_ = nullptr;
};

// What a user would write without the library: libuv on a loop thread.
class LibuvReceiver : public Receiver {
 public:
  bool start(int port) override;
  void stop() override;

 private:
  static void uvcb_stop(uv_async_t* async);
  static void uvcb_alloc(uv_handle_t* handle, size_t size, uv_buf_t* buf);
  static void uvcb_recv(uv_udp_t* udp, ssize_t n, const uv_buf_t* buf, const sockaddr* from,
                        unsigned flags);
  // The loop thread; sets `ready` to 0 once it receives, or to a libuv
  // error.
  void run(int port, std::promise<int>* ready);

  uv_loop_t loop_;
  uv_udp_t udp_;
  uv_async_t stop_async_;
  bool started_ = false;
  std::thread thread_;
};

}  // namespace bench
}  // namespace zavo
