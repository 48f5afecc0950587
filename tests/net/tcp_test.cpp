#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <future>
#include <string>
#include <vector>

#include "net/ev_loop.h"
#include "net/tcp_connector.h"
#include "net/tcp_io.h"
#include "net/tcp_listener.h"
#include "net_test_util.h"

namespace zavo {
namespace {

using testutil::Signal;

// Length-prefixed frames: 4-byte little-endian length, then the body. Asks
// for the whole frame at once so that large frames make the buffer grow.
struct FrameLog {
  Signal sig;
  std::vector<std::string> frames;
  std::vector<int> frames_per_read;  // frames cut by one do_read_impl round
  uint64_t bytes = 0;
  size_t max_capacity = 0;
  size_t readable_after = 0;
  int connected = 0, disconnected = 0, destroyed = 0;
};

TcpIO::DataResult cut_frame(FrameLog* log, const char* data, unsigned long len) {
  if (len < 4) return {0, 4};
  uint32_t body = 0;
  std::memcpy(&body, data, 4);
  if (len < 4u + body) return {0, 4u + body};
  log->sig.Update([&] { log->frames.emplace_back(data + 4, body); });
  return {4u + body, 0};
}

std::string frame(const std::string& body) {
  uint32_t n = static_cast<uint32_t>(body.size());
  return std::string(reinterpret_cast<const char*>(&n), 4) + body;
}

class FrameSession : public TcpSession {
 public:
  explicit FrameSession(FrameLog* log) : log_(log) {}
  DataResult OnData(const char* data, unsigned long len) override {
    log_->sig.Update([&] {
      log_->bytes += 0;
      log_->max_capacity = std::max(log_->max_capacity, recv_buffer_capacity());
    });
    return cut_frame(log_, data, len);
  }
  ~FrameSession() override {
    log_->sig.Update([&] { ++log_->destroyed; });
  }

 private:
  FrameLog* log_;
};

// Counts bytes only.
class CountSession : public TcpSession {
 public:
  explicit CountSession(FrameLog* log) : log_(log) {}
  DataResult OnData(const char*, unsigned long len) override {
    log_->sig.Update([&] { log_->bytes += len; });
    return {len, 0};
  }
  ~CountSession() override {
    log_->sig.Update([&] { ++log_->destroyed; });
  }

 private:
  FrameLog* log_;
};

class TestListener : public TcpListener, public TcpSessionFactory {
 public:
  TestListener(EvLoop* loop, FrameLog* log, bool framed)
      : TcpListener(loop, this), log_(log), framed_(framed) {}
  TcpSession* New() override {
    if (framed_) return new FrameSession(log_);
    return new CountSession(log_);
  }
  void OnConnected(TcpSession* s) override {
    EXPECT_TRUE(GetEvLoop()->IsInsideLoop());
    log_->sig.Update([&] {
      ++log_->connected;
      accepted.push_back(s);
      accepted_peer_ports.push_back(s->peer_port());
    });
  }
  void OnDisconnected(TcpSession* s) override {
    log_->sig.Update([&] {
      ++log_->disconnected;
      left.push_back(s);
    });
  }
  std::vector<TcpSession*> accepted, left;
  std::vector<int> accepted_peer_ports;

 private:
  FrameLog* log_;
  bool framed_;
};

// Records connection events; counts received bytes.
class TestConnector : public TcpConnector {
 public:
  TestConnector(EvLoop* loop, FrameLog* log, std::atomic<int>* destroyed_in_loop = nullptr)
      : TcpConnector(loop), log_(log), destroyed_in_loop_(destroyed_in_loop) {}
  ~TestConnector() override {
    if (destroyed_in_loop_) *destroyed_in_loop_ = GetEvLoop()->IsInsideLoop() ? 1 : 2;
  }
  void OnConnected() override {
    log_->sig.Update([&] { ++log_->connected; });
  }
  void OnDisconnected(int status) override {
    log_->sig.Update([&] {
      ++log_->disconnected;
      statuses.push_back(status);
    });
  }
  DataResult OnData(const char*, unsigned long len) override {
    log_->sig.Update([&] { log_->bytes += len; });
    return {len, 0};
  }
  std::vector<int> statuses;  // under log_->sig

 private:
  FrameLog* log_;
  std::atomic<int>* destroyed_in_loop_;
};

template <typename F>
auto run_in_loop(EvLoop& loop, F&& f) -> decltype(f()) {
  std::promise<decltype(f())> p;
  auto fut = p.get_future();
  loop.CallInLoop([&] { p.set_value(f()); });
  return fut.get();
}

int listen_on(EvLoop& loop, TcpListener* l, int port = 0) {
  return run_in_loop(loop, [&] {
    int rc = l->Listen("127.0.0.1", port);
    return rc == 0 ? l->BoundPort() : rc;
  });
}

TEST(TcpIO, ReceiveBufferGrowsAndCompactsUnderTraffic) {
  EvLoop loop;
  loop.Start();
  FrameLog log;
  auto* listener = new TestListener(&loop, &log, true);
  int port = listen_on(loop, listener);
  ASSERT_GT(port, 0);

  int fd = testutil::ConnectLoopback(port);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(log.sig.WaitFor([&] { return log.connected == 1; }));

  // Three frames in one segment are cut before the read callback returns.
  std::string three = frame("one") + frame("two") + frame("three");
  ASSERT_EQ(::send(fd, three.data(), three.size(), 0), static_cast<ssize_t>(three.size()));
  ASSERT_TRUE(log.sig.WaitFor([&] { return log.frames.size() == 3; }));
  TcpSession* s = listener->accepted[0];
  EXPECT_EQ(run_in_loop(loop, [&] { return s->recv_buffer_readable(); }), 0u);
  EXPECT_EQ(run_in_loop(loop, [&] { return s->recv_buffer_capacity(); }), 1048576u);
  EXPECT_EQ(s->peer_port(), testutil::LocalPort(fd));
  EXPECT_EQ(s->local_ip(), "127.0.0.1");

  // A 1500000-byte frame cannot fit 1 MiB: the framing layer asks for it all
  // and the buffer grows to twice the next power of two.
  std::string big_body(1500000, '\0');
  for (size_t i = 0; i < big_body.size(); ++i) big_body[i] = static_cast<char>(i * 7 + 3);
  std::string big = frame(big_body) + frame("tail");
  size_t off = 0;
  for (int guard = 0; off < big.size() && guard < 100000; ++guard) {
    ssize_t n = ::send(fd, big.data() + off, big.size() - off, 0);
    ASSERT_GT(n, 0);
    off += static_cast<size_t>(n);
  }
  ASSERT_TRUE(log.sig.WaitFor([&] { return log.frames.size() == 5; }));
  {
    std::lock_guard<std::mutex> lock(log.sig.mu());
    EXPECT_EQ(log.frames[3], big_body);  // nothing lost or reordered across compaction
    EXPECT_EQ(log.frames[4], "tail");
  }
  EXPECT_EQ(run_in_loop(loop, [&] { return s->recv_buffer_capacity(); }), 4194304u);
  EXPECT_EQ(run_in_loop(loop, [&] { return s->bytes_received(); }), three.size() + big.size());

  // End of stream closes the session with notification and destroys it.
  ::close(fd);
  ASSERT_TRUE(log.sig.WaitFor([&] { return log.disconnected == 1 && log.destroyed == 1; }));
  EXPECT_EQ(run_in_loop(loop, [&] { return listener->sessions().size(); }), 0u);
  TcpListener::Release(listener);
  loop.Stop();
  loop.Join();
}

// A framing layer announcing a frame larger than any buffer the connection
// will hold: the connection is dropped instead of the size wrapping.
class GreedySession : public TcpSession {
 public:
  explicit GreedySession(FrameLog* log) : log_(log) {}
  DataResult OnData(const char*, unsigned long) override { return {0, 0xFFFFFFF0ull}; }
  void OnError(long status) override {
    log_->sig.Update([&] { log_->readable_after = static_cast<size_t>(-status); });
    TcpSession::OnError(status);
  }

 private:
  FrameLog* log_;
};

class GreedyListener : public TestListener {
 public:
  using TestListener::TestListener;
  TcpSession* New() override { return new GreedySession(log); }
  FrameLog* log = nullptr;
};

TEST(TcpIO, OversizedNeedDropsTheConnection) {
  EvLoop loop;
  loop.Start();
  FrameLog log;
  auto* listener = new GreedyListener(&loop, &log, true);
  listener->log = &log;
  int port = listen_on(loop, listener);
  int fd = testutil::ConnectLoopback(port);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::send(fd, "abcdefgh", 8, 0), 8);
  ASSERT_TRUE(log.sig.WaitFor([&] { return log.disconnected == 1; }));
  {
    std::lock_guard<std::mutex> lock(log.sig.mu());
    EXPECT_EQ(static_cast<int>(log.readable_after), -UV_ENOBUFS);
  }
  ::close(fd);
  TcpListener::Release(listener);
  loop.Stop();
  loop.Join();
}

TEST(TcpIO, AsyncWriteBudgetAndWritesWithoutStream) {
  EvLoop loop;
  loop.Start();
  FrameLog server_log, client_log;
  auto* listener = new TestListener(&loop, &server_log, false);
  int port = listen_on(loop, listener);
  ASSERT_GT(port, 0);

  auto* c = new TestConnector(&loop, &client_log);
  // Not open yet: nothing is written and no request is left behind.
  const unsigned long reqs0 = TcpIO::GetCachedWriteReqCount();
  EXPECT_FALSE(run_in_loop(loop, [&] { return c->Write(Slice("x", 1)); }));
  EXPECT_EQ(TcpIO::GetCachedWriteReqCount(), reqs0);
  c->AsyncWrite(Slice("dropped", 7));  // no wake-up handle: discarded

  EXPECT_EQ(run_in_loop(loop, [&] { return c->Connect("127.0.0.1", port); }), 0);
  ASSERT_TRUE(client_log.sig.WaitFor([&] { return client_log.connected == 1; }));
  ASSERT_TRUE(server_log.sig.WaitFor([&] { return server_log.connected == 1; }));

  // Hold the loop so that the three buffers wait in the queue together.
  std::promise<void> gate;
  std::shared_future<void> gate_f = gate.get_future().share();
  loop.AsyncExecute([gate_f] { gate_f.wait(); });
  for (int i = 0; i < 3; ++i)
    c->AsyncWrite(ByteBuffer(std::string(600000, 'a' + i).data(), 600000));
  gate.set_value();
  ASSERT_TRUE(server_log.sig.WaitFor([&] { return server_log.bytes == 1800000; }, 20000));
  // Two buffers in the first wake-up (the second passes 1 MiB), one in the next.
  EXPECT_EQ(run_in_loop(loop, [&] { return c->async_write_rounds(); }), 2u);

  // Unlimited: one wake-up drains everything.
  c->set_async_send_limit(0);
  std::promise<void> gate2;
  std::shared_future<void> gate2_f = gate2.get_future().share();
  loop.AsyncExecute([gate2_f] { gate2_f.wait(); });
  for (int i = 0; i < 3; ++i) c->AsyncWrite(ByteBuffer(std::string(600000, 'x').data(), 600000));
  gate2.set_value();
  ASSERT_TRUE(server_log.sig.WaitFor([&] { return server_log.bytes == 3600000; }, 20000));
  EXPECT_EQ(run_in_loop(loop, [&] { return c->async_write_rounds(); }), 3u);
  EXPECT_EQ(c->bytes_submitted(), 3600000u + 1u + 7u);  // dropped bytes count as submitted

  // Direct write from the loop thread; then StopIO twice is harmless.
  EXPECT_TRUE(run_in_loop(loop, [&] { return c->Write(Slice("0123456789", 10)); }));
  ASSERT_TRUE(server_log.sig.WaitFor([&] { return server_log.bytes == 3600010; }));
  run_in_loop(loop, [&] {
    c->StopIO();
    c->StopIO();
    return 0;
  });
  EXPECT_FALSE(run_in_loop(loop, [&] { return c->Write(Slice("late", 4)); }));

  TcpConnector::Release(c);
  TcpListener::Release(listener);
  loop.Stop();
  loop.Join();
  EXPECT_EQ(TcpIO::GetCachedWriteReqCount(), reqs0);
}

}  // namespace
}  // namespace zavo
