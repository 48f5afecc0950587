#pragma once
// The raw-mode control connection. Unlike the struct-mode connection its
// byte stream mixes two packet kinds: struct packets (login replies, the
// end-of-retransmission record) and raw data packets (replayed exchange
// messages). OnData recognises one packet at the front of the stream per
// call and hands it to the session's control channel; bytes that start neither
// kind are skipped up to the next sync value.
//
// Everything but Send runs on the owner's event loop thread. Destroy with
// TcpConnector::Release.
#include "net/tcp_connector.h"
#include "proto/raw_packet.h"
#include "proto/struct_packet.h"

namespace zavo {

class ControlChannel;

class RawDataRebuildSession : public TcpConnector {
 public:
  static constexpr size_t kRawPacketCapacity = 128;

  RawDataRebuildSession(EvLoop* loop, ControlChannel* owner);

  // One packet per call: (bytes consumed, bytes needed at once to make
  // progress). Unknown bytes are skipped up to the next sync value of
  // either kind; a single trailing byte is kept as a possible first half.
  TcpIO::DataResult OnData(const char* data, unsigned long len) override;
  void OnConnected() override;
  void OnDisconnected(int status) override;

  // Serialises `packet` and writes it: directly on the loop thread
  // (returning whether the write could start), queued from any other thread
  // (returning true). The packet stays the caller's.
  bool Send(StructPacket* packet);

  const char* ClassName() const { return "RawDataRebuildSession"; }

 protected:
  ~RawDataRebuildSession() override;

 private:
  TcpIO::DataResult on_struct_packet(const char* data, unsigned long len);
  TcpIO::DataResult on_raw_packet(const char* data, unsigned long len);

  ControlChannel* owner_;
  StructPacket struct_packet_;
  RawDataPacket raw_packet_;
};

}  // namespace zavo
