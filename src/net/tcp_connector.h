#pragma once
// Client side of a TCP connection on an EvLoop: connects to one IPv4
// endpoint, serves the stream through TcpIO, reports connection changes to
// the derived class and, when a reconnect interval is set, retries after
// every failure with that fixed delay until closed.
#include <uv.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "net/socket_headers.h"
#include "net/tcp_io.h"

namespace zavo {

class EvLoop;
class EvTimer;
struct Timestamp;

class TcpConnector : public TcpIO {
 public:
  TcpConnector(EvLoop* loop, TcpIO::ReadMode mode = TcpIO::kDrainRead);

  // Loop thread, or before the loop runs. Immediate libuv failures (bad
  // address, handle set-up, refused at once) come back here and do not reach
  // OnError; the outcome of the attempt arrives as OnConnected or OnError.
  // UV_EALREADY while an attempt or connection is in place.
  int Connect(const char* ip, int port);

  // Every failure after Connect: stops the stream, reports
  // OnDisconnected(status) and arms the reconnection if an interval is set.
  void OnError(long status) override;
  virtual void OnConnected() = 0;
  // Negative libuv status on failure; 0 after Close(true).
  virtual void OnDisconnected(int status) = 0;

  // Any thread: stops the connection and any pending reconnection. With
  // `notify`, OnDisconnected(0) follows once the handle is closed.
  void Close(bool notify);
  // Any thread, never blocks (the release rule in ev_loop.h): closes `c`
  // without notification and destroys it on its loop thread. `released`,
  // when given, runs right after the destructor, on the loop thread (or on
  // the caller's thread when no thread runs the loop). Not from the
  // connector's own callbacks.
  static void Release(TcpConnector* c, std::function<void()> released = nullptr);

  EvLoop* GetEvLoop() const { return loop_; }
  // Connected and serving the stream (loop thread).
  bool IsConnected() const { return IsOpen(); }

  // Milliseconds between reconnection attempts; 0 (the initial value) means
  // none. Any thread, at any time: read at every failure.
  void SetReconnectInterval(uint32_t interval_ms) {
    reconnect_interval_.store(interval_ms, std::memory_order_relaxed);
  }
  // The status of the last failure reported to OnDisconnected (negative
  // libuv code; 0 for none yet or a close asked for). Loop thread.
  int last_error() const { return last_error_; }

  static void uvcb_tcp_connect(uv_connect_t* req, int status);
  static void uvcb_tcp_close(uv_handle_t* handle);

 protected:
  // Only through Release (or by the owner on the loop thread).
  ~TcpConnector() override;
  void uvcb_tcp_connect_imp(int status);
  void on_reconnect_timer(EvTimer* timer, const Timestamp& now);

 private:
  // One connection attempt: the handle and its request live together and
  // are freed in the handle's close callback, so a close still pending when
  // the connector goes away never touches freed memory.
  struct conn_ctx;
  int start_attempt();
  void discard_attempt(bool notify);
  void close_now(bool notify);

  EvLoop* loop_;
  std::atomic<uint32_t> reconnect_interval_{0};
  int last_error_ = 0;
  conn_ctx* ctx_ = nullptr;
  sockaddr_in addr_{};
  EvTimer* timer_ = nullptr;
  std::vector<conn_ctx*> closing_;
  uint64_t close_epoch_ = 0;
};

}  // namespace zavo
