#pragma once
// Server side of the TCP transport: a listener on an EvLoop that asks a
// factory for one TcpSession per accepted connection and owns the sessions.
#include <uv.h>

#include <list>

#include "net/tcp_io.h"

namespace zavo {

class EvLoop;
class TcpListener;

// One accepted connection; its stream is served by TcpIO (draining reads).
class TcpSession : public TcpIO {
 public:
  TcpSession();

  EvLoop* GetEvLoop() const;
  TcpListener* listener() const { return listener_; }
  // Any thread: asks the listener to close this session (OnDisconnected
  // first when `notify`).
  void Close(bool notify);
  // Read error or end of stream: close with notification.
  void OnError(long status) override;

  // Loop thread: stop serving and destroy once libuv is done with the handle.
  void do_release();
  static void uvcb_release_session(uv_handle_t* handle);

 protected:
  // Destroyed by the listener only.
  ~TcpSession() override;

 private:
  friend class TcpListener;
  TcpListener* listener_ = nullptr;
  uv_tcp_t* handle_;
};

class TcpSessionFactory {
 public:
  virtual ~TcpSessionFactory() = default;
  // A new session; the listener owns it from then on.
  virtual TcpSession* New() = 0;
};

class TcpListener {
 public:
  TcpListener(EvLoop* loop, TcpSessionFactory* factory);
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;

  // Before the loop runs or on the loop thread. First failing libuv status.
  int Listen(const char* ip, int port);
  // The port actually bound (useful after Listen with port 0); 0 if none.
  int BoundPort() const;

  // Any thread: closes the listening handle and every session, without
  // OnDisconnected.
  void Close();
  // Any thread, never blocks (the release rule in ev_loop.h): closes the
  // listening handle and every session without OnDisconnected and destroys
  // the listener on its loop thread.
  static void Release(TcpListener* l);
  // Any thread: closes one session; ignored unless it is one of ours.
  void CloseSession(TcpSession* s, bool notify);
  // Loop thread: writes a copy of `data` to every open session in order.
  void BroadCast(const Slice& data);

  virtual void OnConnected(TcpSession* s) = 0;
  virtual void OnDisconnected(TcpSession* s) = 0;

  EvLoop* GetEvLoop() const { return loop_; }
  // Loop thread.
  const std::list<TcpSession*>& sessions() const { return sessions_; }

  static void uvcb_listen(uv_stream_t* server, int status);

 protected:
  virtual ~TcpListener();
  void uvcb_listen_imp(int status);

 private:
  void close_now();

  EvLoop* loop_;
  TcpSessionFactory* factory_;
  uv_tcp_t* server_;  // ownership passes to the close callback when closed
  sockaddr_in addr_{};
  std::list<TcpSession*> sessions_;
};

}  // namespace zavo
