#pragma once
// The raw-mode session behind a ZAVO_OpenRaw handle.
//
// The multicast feed carries the exchanges' own messages cut into numbered
// fragments (RawDataPacket). The receiver's read thread hands each datagram
// to the FragmentAssembler and calls the data handler with every whole
// message (kind 200), on that same thread: there is no hand-off and no
// processing thread. The control connection (a RawDataRebuildSession
// behind the shared ControlChannel) carries the login and the replays
// asked for with Rebuild.
//
// Threads: the caller's (Open, Rebuild, Close, Join, Release), the event
// loop thread (control connection, system and rebuild handlers) and the
// receiver's read thread (OnData, data handler).
#include <cstddef>
#include <cstdint>
#include <string>

#include "api/api_imp.h"
#include "api/control_channel.h"
#include "api/fragment_assembler.h"
#include "api/session_shutdown.h"
#include "api/session_support.h"
#include "net/feed_receiver.h"
#include "proto/raw_packet.h"

namespace zavo {

class EvLoop;
class RawDataRebuildSession;
class StructPacket;
struct RspUserLoginField;
struct RspRetransmitField;

class UdpRawApiImp : public RawApiImp, public FeedReceiver, private ControlListener {
 public:
  UdpRawApiImp();

  // ---- ApiImp / RawApiImp ----
  void Release() override;
  void Close() override;
  void Join() override;
  // Log lines of this class carry the mode base's name.
  using RawApiImp::ClassName;
  int ConnectID() const override { return setting_.ConnectID; }
  ZAVO_ERROR Open(const ZAVO_RawOpenSetting& setting) override;
  ZAVO_ERROR Rebuild(char market, uint64_t begin_seq, uint64_t end_seq,
                     ZAVO_DataHandler handler) override;

  // ---- multicast receiver (read thread) ----
  void OnData(const char* data, size_t len) override;
  void OnError(int code) override;
  // One datagram: reassembles and delivers. Returns the bytes consumed
  // (see FragmentAssembler::Consume).
  size_t consume_datagram(const char* data, size_t len);

  // ---- control connection (loop thread), forwarded to the channel ----
  void OnTcpConnected() { control_.OnConnected(); }
  void OnTcpDisconnected(int) { control_.OnDisconnected(); }
  void OnTcpStructPacket(const StructPacket* packet) { control_.OnPacket(packet); }
  void OnTcpRawDataPacket(const RawDataPacket* packet) { control_.OnRawPacket(packet); }
  void OnTcpField(const RspUserLoginField& reply) { control_.OnLoginReply(reply); }
  void OnTcpField(const RspRetransmitField& reply) { control_.OnRebuildEnd(reply); }

  // Open gives up waiting for the login answer after this long (a value of
  // 0 or less restores the default).
  static void SetLoginTimeoutForTesting(int timeout_ms);

  // For tests: the loop the control connection lives on, and the
  // connection itself (null when not open).
  EvLoop* loop_for_testing() const { return control_.loop(); }
  RawDataRebuildSession* session_for_testing() const;
  // For tests and fuzzing without a network: enables the markets of a list
  // such as "SH;SZ" as Open does (false for a list Open refuses), and the
  // replay request state that Rebuild fills before it writes.
  bool EnableMarketsForTesting(const char* markets) { return assembler_.EnableMarkets(markets); }
  RebuildState& rebuild_state_for_testing() { return control_.rebuild_state(); }

 protected:
  // Only through Release.
  ~UdpRawApiImp() override;

 private:
  // ---- ControlListener (loop thread) ----
  int JoinFeed(std::string* why) override;
  void OnControlField(const StructPacket::Iterator& it) override;
  void OnRebuildPacket(const StructPacket&, const RebuildState::Request&) override {}
  void OnRebuildRaw(const RawDataPacket& packet, const RebuildState::Request& req) override;

  void* handle() { return static_cast<ApiImp*>(this); }
  // The pieces the shared shutdown sequence works on.
  SessionParts parts();

  ZAVO_RawOpenSetting setting_{};
  FragmentAssembler assembler_;   // read thread, once open
  LogThrottle unrecognized_log_;  // loop thread
  ControlChannel control_;
};

}  // namespace zavo
