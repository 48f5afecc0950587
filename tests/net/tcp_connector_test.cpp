#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "net/ev_loop.h"
#include "net/tcp_connector.h"
#include "net/tcp_listener.h"
#include "net_test_util.h"

namespace zavo {
namespace {

using testutil::Signal;

struct Events {
  Signal sig;
  int connected = 0, disconnected = 0, accepted = 0, left = 0;
  std::vector<int> statuses;
  uint64_t bytes = 0;
};

class Conn : public TcpConnector {
 public:
  Conn(EvLoop* loop, Events* ev, std::atomic<int>* destroyed = nullptr)
      : TcpConnector(loop), ev_(ev), destroyed_(destroyed) {}
  ~Conn() override {
    // 1 per destruction on the loop thread, 100 per one anywhere else.
    if (destroyed_) destroyed_->fetch_add(GetEvLoop()->IsInsideLoop() ? 1 : 100);
  }
  void OnConnected() override {
    ev_->sig.Update([&] { ++ev_->connected; });
  }
  void OnDisconnected(int status) override {
    ev_->sig.Update([&] {
      ++ev_->disconnected;
      ev_->statuses.push_back(status);
    });
  }
  DataResult OnData(const char*, unsigned long len) override {
    ev_->sig.Update([&] { ev_->bytes += len; });
    return {len, 0};
  }

 private:
  Events* ev_;
  std::atomic<int>* destroyed_;
};

class Sink : public TcpSession {
 public:
  DataResult OnData(const char*, unsigned long len) override { return {len, 0}; }
};

class Server : public TcpListener, public TcpSessionFactory {
 public:
  Server(EvLoop* loop, Events* ev) : TcpListener(loop, this), ev_(ev) {}
  TcpSession* New() override { return new Sink(); }
  void OnConnected(TcpSession*) override {
    ev_->sig.Update([&] { ++ev_->accepted; });
  }
  void OnDisconnected(TcpSession*) override {
    ev_->sig.Update([&] { ++ev_->left; });
  }

 private:
  Events* ev_;
};

template <typename F>
auto in_loop(EvLoop& loop, F&& f) -> decltype(f()) {
  std::promise<decltype(f())> p;
  auto fut = p.get_future();
  loop.CallInLoop([&] { p.set_value(f()); });
  return fut.get();
}

TEST(TcpConnector, RefusedWithoutAndWithReconnection) {
  EvLoop loop;
  loop.Start();
  const int port = testutil::FreeLoopbackPort();

  // Interval 0: one report with libuv's status, no further attempt.
  Events ev;
  auto* c = new Conn(&loop, &ev);
  EXPECT_EQ(in_loop(loop, [&] { return c->Connect("127.0.0.1", port); }), 0);
  ASSERT_TRUE(ev.sig.WaitFor([&] { return ev.disconnected == 1; }));
  EXPECT_FALSE(ev.sig.WaitFor([&] { return ev.disconnected > 1; }, 300));
  {
    std::lock_guard<std::mutex> lock(ev.sig.mu());
    EXPECT_EQ(ev.statuses[0], UV_ECONNREFUSED);
    EXPECT_EQ(ev.connected, 0);
  }
  // Bad address text fails at once, without a callback.
  EXPECT_EQ(in_loop(loop, [&] { return c->Connect("not-an-ip", port); }), UV_EINVAL);
  TcpConnector::Release(c);

  // A short interval: attempts go on until Close; Close(true) reports 0 once.
  Events ev2;
  auto* r = new Conn(&loop, &ev2);
  r->SetReconnectInterval(30);
  EXPECT_EQ(in_loop(loop, [&] { return r->Connect("127.0.0.1", port); }), 0);
  ASSERT_TRUE(ev2.sig.WaitFor([&] { return ev2.disconnected >= 4; }));
  r->Close(true);
  ASSERT_TRUE(ev2.sig.WaitFor([&] { return !ev2.statuses.empty() && ev2.statuses.back() == 0; }));
  int after_close = 0;
  {
    std::lock_guard<std::mutex> lock(ev2.sig.mu());
    after_close = ev2.disconnected;
    for (size_t i = 0; i + 1 < ev2.statuses.size(); ++i)
      EXPECT_EQ(ev2.statuses[i], UV_ECONNREFUSED);
  }
  EXPECT_FALSE(ev2.sig.WaitFor([&] { return ev2.disconnected > after_close; }, 300));
  TcpConnector::Release(r);
  loop.Stop();
  loop.Join();
}

TEST(TcpConnector, CloseNotifiesOnceAndReleaseFromAnotherThread) {
  EvLoop loop;
  loop.Start();
  Events sev, ev;
  auto* server = new Server(&loop, &sev);
  int port = in_loop(loop, [&] {
    server->Listen("127.0.0.1", 0);
    return server->BoundPort();
  });
  ASSERT_GT(port, 0);

  auto* c = new Conn(&loop, &ev);
  c->SetReconnectInterval(5000);
  ASSERT_EQ(in_loop(loop, [&] { return c->Connect("127.0.0.1", port); }), 0);
  ASSERT_TRUE(ev.sig.WaitFor([&] { return ev.connected == 1; }));
  EXPECT_EQ(in_loop(loop, [&] { return c->Connect("127.0.0.1", port); }), UV_EALREADY);
  EXPECT_EQ(in_loop(loop, [&] { return c->peer_port(); }), port);
  c->Close(true);
  ASSERT_TRUE(ev.sig.WaitFor([&] { return ev.disconnected == 1; }));
  EXPECT_FALSE(ev.sig.WaitFor([&] { return ev.disconnected > 1 || ev.connected > 1; }, 300));
  EXPECT_EQ(ev.statuses[0], 0);

  // Connected again, then Close(false): no report.
  ASSERT_EQ(in_loop(loop, [&] { return c->Connect("127.0.0.1", port); }), 0);
  ASSERT_TRUE(ev.sig.WaitFor([&] { return ev.connected == 2; }));
  c->Close(false);
  ASSERT_TRUE(sev.sig.WaitFor([&] { return sev.left == 2; }));  // server saw both leave
  EXPECT_FALSE(ev.sig.WaitFor([&] { return ev.disconnected > 1; }, 200));
  TcpConnector::Release(c);

  // Release from a foreign thread while the loop is busy returns at once,
  // with a connection and a pending reconnection in place; the destruction
  // follows on the loop thread, exactly once, when the loop gets to it.
  std::atomic<int> destroyed{0};
  Events ev3;
  auto* d = new Conn(&loop, &ev3, &destroyed);
  d->SetReconnectInterval(5000);
  ASSERT_EQ(in_loop(loop, [&] { return d->Connect("127.0.0.1", port); }), 0);
  ASSERT_TRUE(ev3.sig.WaitFor([&] { return ev3.connected == 1; }));
  std::promise<void> gate;
  std::shared_future<void> gate_f = gate.get_future().share();
  std::promise<void> busy;
  loop.AsyncExecute([gate_f, &busy] {
    busy.set_value();
    gate_f.wait();
  });
  busy.get_future().wait();
  std::promise<void> returned, released;
  std::future<void> returned_f = returned.get_future(), released_f = released.get_future();
  std::thread releaser([&] {
    TcpConnector::Release(d, [&] { released.set_value(); });
    returned.set_value();
  });
  const bool did_return = returned_f.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  EXPECT_TRUE(did_return) << "Release blocked on a busy loop";
  EXPECT_EQ(destroyed.load(), 0);  // the loop has not got to it yet
  gate.set_value();
  releaser.join();
  ASSERT_EQ(released_f.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(destroyed.load(), 1);
  // A connector released in the middle of connecting.
  std::atomic<int> destroyed2{0};
  std::promise<void> released2;
  auto* e = new Conn(&loop, &ev3, &destroyed2);
  loop.CallInLoop([&] { e->Connect("127.0.0.1", port); });
  TcpConnector::Release(e, [&] { released2.set_value(); });
  ASSERT_EQ(released2.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(destroyed2.load(), 1);
  EXPECT_FALSE(ev3.sig.WaitFor([&] { return ev3.connected > 1 || ev3.disconnected > 0; }, 200));

  TcpListener::Release(server);
  loop.Stop();
  loop.Join();
}

TEST(TcpConnector, SurvivesAServerRestartedRepeatedly) {
  EvLoop loop;
  loop.Start();
  Events ev;
  auto* c = new Conn(&loop, &ev);
  c->SetReconnectInterval(20);
  int port = 0;
  constexpr int kRestarts = 6;
  for (int round = 0; round < kRestarts; ++round) {
    Events sev;
    auto* server = new Server(&loop, &sev);
    int bound = in_loop(loop, [&] {
      int rc = server->Listen("127.0.0.1", port);
      return rc == 0 ? server->BoundPort() : rc;
    });
    ASSERT_GT(bound, 0) << get_uv_err_string(bound);
    if (round == 0) {
      port = bound;
      ASSERT_EQ(in_loop(loop, [&] { return c->Connect("127.0.0.1", port); }), 0);
    }
    ASSERT_TRUE(ev.sig.WaitFor([&] { return ev.connected == round + 1; })) << "round " << round;
    ASSERT_TRUE(sev.sig.WaitFor([&] { return sev.accepted == 1; }));
    // Data still flows on the new connection.
    c->AsyncWrite(Slice("ping", 4));
    // The server goes away: its sessions close without notification and the
    // client sees end of stream, then retries every 20 ms.
    int before = 0;
    {
      std::lock_guard<std::mutex> lock(ev.sig.mu());
      before = ev.disconnected;
    }
    TcpListener::Release(server);
    ASSERT_TRUE(ev.sig.WaitFor([&] { return ev.disconnected > before; })) << "round " << round;
  }
  {
    std::lock_guard<std::mutex> lock(ev.sig.mu());
    EXPECT_EQ(ev.connected, kRestarts);
    EXPECT_GE(ev.disconnected, kRestarts);
    for (int s : ev.statuses) EXPECT_LT(s, 0);
  }
  TcpConnector::Release(c);
  loop.Stop();
  loop.Join();
}

TEST(TcpListener, ThreeClientsOneLeavesThenClose) {
  EvLoop loop;
  loop.Start();
  Events sev;
  auto* server = new Server(&loop, &sev);
  int port = in_loop(loop, [&] {
    server->Listen("127.0.0.1", 0);
    return server->BoundPort();
  });
  ASSERT_GT(port, 0);
  EXPECT_EQ(in_loop(loop,
                    [&] {
                      server->BroadCast(Slice("nobody", 6));  // no session: nothing written
                      return TcpIO::GetCachedWriteReqCount();
                    }),
            0u);

  int fds[3];
  std::vector<int> client_ports;
  for (int i = 0; i < 3; ++i) {
    fds[i] = testutil::ConnectLoopback(port);
    ASSERT_GE(fds[i], 0);
    client_ports.push_back(testutil::LocalPort(fds[i]));
    ASSERT_TRUE(sev.sig.WaitFor([&] { return sev.accepted == i + 1; }));
  }
  auto session_ports = [&] {
    return in_loop(loop, [&] {
      std::vector<int> ports;
      for (TcpSession* s : server->sessions()) ports.push_back(s->peer_port());
      return ports;
    });
  };
  EXPECT_EQ(session_ports(), client_ports);

  ::close(fds[0]);
  ASSERT_TRUE(sev.sig.WaitFor([&] { return sev.left == 1; }));
  EXPECT_EQ(session_ports(), std::vector<int>({client_ports[1], client_ports[2]}));

  // Broadcast reaches both remaining clients.
  in_loop(loop, [&] {
    server->BroadCast(Slice("hello", 5));
    return 0;
  });
  for (int i = 1; i < 3; ++i) {
    char buf[16] = {0};
    ASSERT_EQ(::recv(fds[i], buf, 5, MSG_WAITALL), 5);
    EXPECT_EQ(std::string(buf, 5), "hello");
  }

  // A pointer that is not (or no longer) one of ours is ignored; a session
  // closed without notification leaves no report.
  TcpSession* second = in_loop(loop, [&] { return server->sessions().front(); });
  Sink stranger;
  server->CloseSession(&stranger, true);
  server->CloseSession(second, false);
  server->CloseSession(second, true);  // already gone
  EXPECT_EQ(session_ports(), std::vector<int>({client_ports[2]}));
  EXPECT_FALSE(sev.sig.WaitFor([&] { return sev.left > 1; }, 200));

  // Close destroys the rest without reports; Release from a foreign thread.
  std::thread([&] { TcpListener::Release(server); }).join();
  char c;
  EXPECT_EQ(::recv(fds[2], &c, 1, 0), 0);  // the session's end closed the socket
  EXPECT_EQ(::recv(fds[1], &c, 1, 0), 0);
  ::close(fds[1]);
  ::close(fds[2]);
  EXPECT_FALSE(sev.sig.WaitFor([&] { return sev.left > 1; }, 100));
  loop.Stop();
  loop.Join();
}

}  // namespace
}  // namespace zavo
