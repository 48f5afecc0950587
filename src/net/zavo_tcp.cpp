#include "net/zavo_tcp.h"

#include "net/ev_loop.h"

namespace zavo {

namespace {

// Writes a serialised packet on `io`: directly on the loop thread, queued
// from any other thread (the queued path copies the bytes, so the caller may
// reuse the packet at once).
bool send_packet(TcpIO* io, EvLoop* loop, StructPacket* packet) {
  if (packet == nullptr || !packet->Serialize()) return false;
  const Slice bytes = packet->Bytes();
  if (loop != nullptr && loop->IsInsideLoop()) return io->Write(bytes);
  io->AsyncWrite(bytes);
  return true;
}

}  // namespace

// ---- KvelTcpConnector ----

KvelTcpConnector::KvelTcpConnector(EvLoop* loop, KvelHandler* handler)
    : TcpConnector(loop, TcpIO::kDrainRead), handler_(handler) {}

KvelTcpConnector::~KvelTcpConnector() = default;

bool KvelTcpConnector::Send(StructPacket* packet) {
  return send_packet(this, GetEvLoop(), packet);
}

TcpIO::DataResult KvelTcpConnector::OnData(const char* data, unsigned long len) {
  const StructPacket::ParseResult r = packet_.ParseFrom(data, len);
  if (r.complete && handler_ != nullptr) handler_->OnPacket(nullptr, &packet_);
  return TcpIO::DataResult(r.consumed, r.needed);
}

void KvelTcpConnector::OnConnected() {
  if (handler_ != nullptr) handler_->OnConnected(nullptr);
}

void KvelTcpConnector::OnDisconnected(int /*status*/) {
  if (handler_ != nullptr) handler_->OnDisconnected(nullptr);
}

// ---- KvelSession ----

KvelSession::KvelSession(KvelHandler* handler) : handler_(handler) {}

KvelSession::~KvelSession() = default;

bool KvelSession::Send(StructPacket* packet) {
  return send_packet(this, GetEvLoop(), packet);
}

TcpIO::DataResult KvelSession::OnData(const char* data, unsigned long len) {
  const StructPacket::ParseResult r = packet_.ParseFrom(data, len);
  if (r.complete && handler_ != nullptr) handler_->OnPacket(this, &packet_);
  return TcpIO::DataResult(r.consumed, r.needed);
}

// ---- KvelTcpListener ----

KvelTcpListener::KvelTcpListener(EvLoop* loop, KvelHandler* handler)
    : TcpListener(loop, this), handler_(handler) {}

KvelTcpListener::~KvelTcpListener() = default;

TcpSession* KvelTcpListener::New() {
  return new KvelSession(handler_);
}

void KvelTcpListener::OnConnected(TcpSession* s) {
  if (handler_ != nullptr) handler_->OnConnected(static_cast<KvelSession*>(s));
}

void KvelTcpListener::OnDisconnected(TcpSession* s) {
  if (handler_ != nullptr) handler_->OnDisconnected(static_cast<KvelSession*>(s));
}

}  // namespace zavo
