#include "net/tcp_connector.h"

#include <algorithm>
#include <cassert>

#include "net/ev_loop.h"
#include "net/ev_timer.h"
#include "util/logger.h"

namespace zavo {

struct TcpConnector::conn_ctx {
  uv_tcp_t tcp;  // first member: the close callback gets back here from the handle
  uv_connect_t req;
  TcpConnector* owner;
  bool active;  // the connector still waits for this attempt's completion
  bool notify;  // report OnDisconnected(0) when the close completes
};

TcpConnector::TcpConnector(EvLoop* loop, TcpIO::ReadMode mode) : TcpIO(mode), loop_(loop) {}

TcpConnector::~TcpConnector() {
  ZAVO_ASSERT_IN_LOOP(loop_);
  StopIO();
  discard_attempt(false);
  for (conn_ctx* c : closing_) c->owner = nullptr;
  closing_.clear();
  if (timer_ != nullptr) {
    EvTimer::Release(timer_);
    timer_ = nullptr;
  }
}

int TcpConnector::Connect(const char* ip, int port) {
  ZAVO_ASSERT_IN_LOOP(loop_);
  if (ctx_ != nullptr) return UV_EALREADY;
  sockaddr_in addr{};
  int rc = uv_ip4_addr(ip, port, &addr);
  if (rc != 0) return rc;
  addr_ = addr;
  return start_attempt();
}

int TcpConnector::start_attempt() {
  conn_ctx* c = new conn_ctx();
  c->owner = this;
  c->active = true;
  c->notify = false;
  c->req.data = c;
  int rc = init_uv_tcp(loop_->uv_loop(), &c->tcp);
  c->tcp.data = static_cast<TcpIO*>(this);
  if (rc == 0) {
    rc = uv_tcp_connect(&c->req, &c->tcp, reinterpret_cast<const sockaddr*>(&addr_),
                        uvcb_tcp_connect);
  }
  ctx_ = c;
  if (rc != 0) discard_attempt(false);
  return rc;
}

void TcpConnector::discard_attempt(bool notify) {
  conn_ctx* c = ctx_;
  ctx_ = nullptr;
  if (c == nullptr) {
    if (notify) OnDisconnected(0);
    return;
  }
  c->active = false;
  uv_handle_t* h = reinterpret_cast<uv_handle_t*>(&c->tcp);
  if (uv_handle_usable(h)) {
    c->notify = notify;
    closing_.push_back(c);
    uv_close(h, uvcb_tcp_close);
  } else {
    // uv_tcp_init failed: libuv never knew the handle.
    delete c;
    if (notify) OnDisconnected(0);
  }
}

void TcpConnector::uvcb_tcp_connect(uv_connect_t* req, int status) {
  conn_ctx* c = static_cast<conn_ctx*>(req->data);
  // A closed attempt completes with UV_ECANCELED; nobody waits for it.
  if (!c->active || c->owner == nullptr) return;
  c->owner->uvcb_tcp_connect_imp(status);
}

void TcpConnector::uvcb_tcp_connect_imp(int status) {
  if (status == 0) {
    status = OpenIO(&ctx_->tcp);
    if (status == 0) {
      OnConnected();
      return;
    }
  }
  OnError(status);
}

void TcpConnector::uvcb_tcp_close(uv_handle_t* handle) {
  conn_ctx* c = reinterpret_cast<conn_ctx*>(handle);
  TcpConnector* owner = c->owner;
  bool notify = c->notify;
  if (owner != nullptr) {
    auto it = std::find(owner->closing_.begin(), owner->closing_.end(), c);
    if (it != owner->closing_.end()) owner->closing_.erase(it);
  }
  delete c;
  if (owner != nullptr && notify) owner->OnDisconnected(0);
}

void TcpConnector::OnError(long status) {
  ZAVO_ASSERT_IN_LOOP(loop_);
  StopIO();
  discard_attempt(false);
  const uint64_t epoch = close_epoch_;
  last_error_ = static_cast<int>(status);
  OnDisconnected(static_cast<int>(status));
  // Closed (or reconnected by hand) from inside OnDisconnected: that wins
  // over the automatic retry.
  if (close_epoch_ != epoch || ctx_ != nullptr) return;
  const uint32_t interval = reconnect_interval_.load(std::memory_order_relaxed);
  if (interval == 0) return;
  if (timer_ == nullptr) {
    timer_ = new EvTimer(loop_, interval,
                         [this](EvTimer* t, const Timestamp& now) { on_reconnect_timer(t, now); });
    if (timer_->init_status() != 0) {
      // Without a timer there is no retry; the failure is on record and the
      // next OnError tries again to make one.
      ZAVO_LOG("%p[%s] Reconnect Timer Error: %s", static_cast<void*>(this), "TcpConnector",
               uv_strerror(timer_->init_status()));
      EvTimer::Release(timer_);
      timer_ = nullptr;
      return;
    }
  }
  timer_->Restart(interval);
}

void TcpConnector::on_reconnect_timer(EvTimer*, const Timestamp&) {
  if (ctx_ != nullptr) return;
  int rc = start_attempt();
  if (rc != 0) OnError(rc);
}

void TcpConnector::close_now(bool notify) {
  ++close_epoch_;
  if (timer_ != nullptr) timer_->Stop();
  StopIO();
  discard_attempt(notify);
}

void TcpConnector::Close(bool notify) {
  loop_->CallInLoop([this, notify] { close_now(notify); });
}

void TcpConnector::Release(TcpConnector* c, std::function<void()> released) {
  if (c == nullptr) return;
  // The close and the destruction are one step on the loop thread: no
  // callback of the connector can run between them, and its handles are
  // freed by their close callbacks, which no longer reach it.
  c->loop_->CallInLoop([c, released = std::move(released)] {
    c->close_now(false);
    delete c;
    if (released) released();
  });
}

}  // namespace zavo
