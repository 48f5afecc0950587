#pragma once
// Framed sessions: TCP connections whose byte stream is cut into struct
// packets. KvelTcpConnector is the reconnecting client; KvelTcpListener
// accepts connections as KvelSessions. All three report to a KvelHandler on
// the connection's loop thread.
#include "net/tcp_connector.h"
#include "net/tcp_listener.h"
#include "proto/struct_packet.h"

namespace zavo {

class KvelSession;

// Receives complete packets and connection changes. `session` is the
// accepted session the event belongs to, or null for a connector. The packet
// is only valid during the call: the next one overwrites it.
class KvelHandler {
 public:
  virtual void OnPacket(KvelSession* session, const StructPacket* packet) = 0;
  virtual void OnConnected(KvelSession* session) = 0;
  virtual void OnDisconnected(KvelSession* session) = 0;

 protected:
  // Owners are never deleted through this interface.
  ~KvelHandler() = default;
};

// Client connection carrying struct packets. Destroy with
// TcpConnector::Release.
class KvelTcpConnector : public TcpConnector {
 public:
  KvelTcpConnector(EvLoop* loop, KvelHandler* handler);

  // Any thread. Serialises `packet` (fills a zero PacketTime, sets
  // BodyLength, writes the header) and writes its bytes: directly on the
  // loop thread, returning whether the write could start; queued from any
  // other thread, returning true. The packet stays the caller's.
  bool Send(StructPacket* packet);

  TcpIO::DataResult OnData(const char* data, unsigned long len) override;
  void OnConnected() override;
  void OnDisconnected(int status) override;

  const StructPacket& receive_packet() const { return packet_; }

 protected:
  ~KvelTcpConnector() override;

 private:
  KvelHandler* handler_;
  StructPacket packet_;
};

// Accepted connection carrying struct packets; created and owned by a
// KvelTcpListener, reporting to that listener's handler.
class KvelSession : public TcpSession {
 public:
  explicit KvelSession(KvelHandler* handler);

  // As KvelTcpConnector::Send, on the listener's loop.
  bool Send(StructPacket* packet);

  TcpIO::DataResult OnData(const char* data, unsigned long len) override;

  const StructPacket& receive_packet() const { return packet_; }

 protected:
  ~KvelSession() override;

 private:
  KvelHandler* handler_;
  StructPacket packet_;
};

// Listener whose sessions are KvelSessions. Destroy with
// TcpListener::Release.
class KvelTcpListener : public TcpListener, public TcpSessionFactory {
 public:
  KvelTcpListener(EvLoop* loop, KvelHandler* handler);

  TcpSession* New() override;
  void OnConnected(TcpSession* s) override;
  void OnDisconnected(TcpSession* s) override;

 protected:
  ~KvelTcpListener() override;

 private:
  KvelHandler* handler_;
};

}  // namespace zavo
