#include "net/tcp_listener.h"

#include <algorithm>
#include <cstdlib>

#include "net/ev_loop.h"

namespace zavo {

TcpSession::TcpSession()
    : TcpIO(TcpIO::kDrainRead), handle_(static_cast<uv_tcp_t*>(std::calloc(1, sizeof(uv_tcp_t)))) {
  handle_->data = static_cast<TcpIO*>(this);
}

TcpSession::~TcpSession() {
  std::free(handle_);
}

EvLoop* TcpSession::GetEvLoop() const {
  return listener_ ? listener_->GetEvLoop() : nullptr;
}

void TcpSession::Close(bool notify) {
  if (listener_ != nullptr) {
    listener_->CloseSession(this, notify);
  } else {
    do_release();
  }
}

void TcpSession::OnError(long) {
  Close(true);
}

void TcpSession::do_release() {
  ZAVO_ASSERT_IN_LOOP(GetEvLoop());
  StopIO();
  uv_handle_t* h = reinterpret_cast<uv_handle_t*>(handle_);
  if (uv_handle_usable(h)) {
    uv_close(h, uvcb_release_session);
  } else {
    uvcb_release_session(h);
  }
}

void TcpSession::uvcb_release_session(uv_handle_t* handle) {
  delete static_cast<TcpSession*>(static_cast<TcpIO*>(handle->data));
}

TcpListener::TcpListener(EvLoop* loop, TcpSessionFactory* factory)
    : loop_(loop),
      factory_(factory),
      server_(static_cast<uv_tcp_t*>(std::calloc(1, sizeof(uv_tcp_t)))) {
  server_->data = this;
}

TcpListener::~TcpListener() {
  ZAVO_ASSERT_IN_LOOP(loop_);
  close_now();
  if (server_ != nullptr) {
    // Never handed to libuv, or closed by the loop's shutdown walk (complete
    // by the time anyone may run here).
    std::free(server_);
  }
}

int TcpListener::Listen(const char* ip, int port) {
  ZAVO_ASSERT_IN_LOOP(loop_);
  if (server_ == nullptr) return UV_EINVAL;  // closed
  int rc = uv_ip4_addr(ip, port, &addr_);
  if (rc != 0) return rc;
  rc = init_uv_tcp(loop_->uv_loop(), server_);
  if (rc != 0) return rc;
  rc = uv_tcp_bind(server_, reinterpret_cast<const sockaddr*>(&addr_), 0);
  if (rc != 0) return rc;
  return uv_listen(reinterpret_cast<uv_stream_t*>(server_), 128, uvcb_listen);
}

int TcpListener::BoundPort() const {
  if (server_ == nullptr || !uv_handle_usable(reinterpret_cast<uv_handle_t*>(server_))) return 0;
  sockaddr_in addr{};
  int len = sizeof(addr);
  if (uv_tcp_getsockname(server_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  return ntohs(addr.sin_port);
}

void TcpListener::uvcb_listen(uv_stream_t* server, int status) {
  static_cast<TcpListener*>(server->data)->uvcb_listen_imp(status);
}

void TcpListener::uvcb_listen_imp(int status) {
  if (status < 0) return;
  TcpSession* s = factory_->New();
  if (s == nullptr) return;
  s->listener_ = this;
  if (init_uv_tcp(loop_->uv_loop(), s->handle_) != 0) {
    s->do_release();
    return;
  }
  if (uv_accept(reinterpret_cast<uv_stream_t*>(server_),
                reinterpret_cast<uv_stream_t*>(s->handle_)) != 0) {
    s->do_release();
    return;
  }
  if (s->OpenIO(s->handle_) != 0) {
    s->do_release();
    return;
  }
  sessions_.push_back(s);
  OnConnected(s);
}

void TcpListener::CloseSession(TcpSession* s, bool notify) {
  loop_->CallInLoop([this, s, notify] {
    auto it = std::find(sessions_.begin(), sessions_.end(), s);
    if (it == sessions_.end()) return;
    if (notify) OnDisconnected(s);
    // The callback may have closed it already.
    it = std::find(sessions_.begin(), sessions_.end(), s);
    if (it == sessions_.end()) return;
    sessions_.erase(it);
    s->do_release();
  });
}

void TcpListener::BroadCast(const Slice& data) {
  ZAVO_ASSERT_IN_LOOP(loop_);
  for (TcpSession* s : sessions_) s->Write(data);
}

void TcpListener::close_now() {
  if (server_ != nullptr && uv_handle_usable(reinterpret_cast<uv_handle_t*>(server_))) {
    uv_close(reinterpret_cast<uv_handle_t*>(server_), release_uvobj);
    server_ = nullptr;
  }
  std::list<TcpSession*> all;
  all.swap(sessions_);
  for (TcpSession* s : all) s->do_release();
}

void TcpListener::Close() {
  loop_->CallInLoop([this] { close_now(); });
}

void TcpListener::Release(TcpListener* l) {
  if (l == nullptr) return;
  // One step on the loop thread: the destructor closes the listening handle
  // and every session (each freed in its close callback), then the listener
  // goes.
  l->loop_->CallInLoop([l] { delete l; });
}

}  // namespace zavo
