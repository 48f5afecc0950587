#pragma once
// The raw-mode session behind a ZAVO_OpenRaw handle.
//
// The multicast feed carries the exchanges' own messages cut into numbered
// fragments (RawDataPacket). The receiver's read thread hands each datagram
// to the RawDecoder (the FragmentAssembler behind it) and the data handler
// gets every whole message (kind 200), on that same thread: there is no hand-off and no
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
#include "api/raw_decoder.h"
#include "api/record_sink.h"
#include "api/session_shutdown.h"
#include "api/session_skeleton.h"
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

 protected:
  // Only through Release.
  ~UdpRawApiImp() override;

 private:
  // Tests reach the data path and the control connection through this one
  // door.
  friend struct SessionPeer;

  // Records of the decoder go to one handler of this session.
  class HandlerSink final : public RecordSink {
   public:
    HandlerSink(const UdpRawApiImp* api, ZAVO_DataHandler handler) : api_(api), handler_(handler) {}
    void OnRecord(uint32_t kind, uint32_t size, uint32_t msg_time, uint64_t seq,
                  const void* record) override {
      api_->deliver(handler_, kind, size, msg_time, seq, record);
    }

   private:
    const UdpRawApiImp* api_;
    ZAVO_DataHandler handler_;
  };

  // ---- ControlListener (loop thread) ----
  int JoinFeed(std::string* why) override;
  void OnControlField(const StructPacket::Iterator& it) override;
  void OnRebuildPacket(const StructPacket&, const RebuildState::Request&) override {}
  void OnRebuildRaw(const RawDataPacket& packet, const RebuildState::Request& req) override;

  // One datagram: reassembles and delivers. Returns the bytes consumed
  // (see FragmentAssembler::Consume).
  size_t consume_datagram(const char* data, size_t len);
  void* handle() { return static_cast<ApiImp*>(this); }
  // The pieces the shared shutdown sequence works on.
  SessionParts parts();

  ZAVO_RawOpenSetting setting_{};
  SessionAddress address_;        // read from setting_ by Open
  RawDecoder decoder_;            // read thread, once open (replays: loop thread)
  LogThrottle unrecognized_log_;  // loop thread
  ControlChannel control_;
};

}  // namespace zavo
