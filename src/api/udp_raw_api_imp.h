#pragma once
// The raw-mode session behind a ZAVO_OpenRaw handle.
//
// The multicast feed carries the exchanges' own messages cut into numbered
// fragments (RawDataPacket). The receiver's read thread puts them back
// together per exchange and calls the data handler with every whole message
// (kind 200), on that same thread: there is no hand-off and no processing
// thread. The control connection (RawDataRebuildSession) carries the login
// and the replays asked for with Rebuild.
//
// Threads: the caller's (Open, Rebuild, Close, Join, Release), the event
// loop thread (control connection, system and rebuild handlers) and the
// receiver's read thread (OnData, data handler).
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "api/api_imp.h"
#include "api/session_support.h"
#include "net/udp_multicast_receiver.h"
#include "proto/raw_packet.h"

namespace zavo {

class EvLoop;
class RawDataRebuildSession;
class StructPacket;
struct RspUserLoginField;
struct RspRetransmitField;

class UdpRawApiImp : public RawApiImp, public UdpMulticaseReceiver2 {
 public:
  static constexpr size_t kInitialBuffer = 128;

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
  // One datagram: finds the first raw packet, reassembles and delivers.
  // Returns the bytes it consumed (up to the end of that packet; the bytes
  // before the sync value count, the bytes after the packet are left).
  size_t consume_datagram(const char* data, size_t len);

  // ---- control connection (loop thread) ----
  void OnTcpConnected();
  void OnTcpDisconnected(int status);
  void OnTcpStructPacket(const StructPacket* packet);
  void OnTcpRawDataPacket(const RawDataPacket* packet);
  void OnTcpField(const RspUserLoginField& reply);
  void OnTcpField(const RspRetransmitField& reply);

  // Open gives up waiting for the login answer after this long (a value of
  // 0 or less restores the default).
  static void SetLoginTimeoutForTesting(int timeout_ms);

  // For tests: the loop the control connection lives on, and the
  // connection itself (null when not open).
  EvLoop* loop_for_testing() const { return loop_; }
  RawDataRebuildSession* session_for_testing() const { return session_.load(); }
  // For tests and fuzzing without a network: enables the markets of a list
  // such as "SH;SZ" as Open does (false for a list Open refuses), and the
  // replay request state that Rebuild fills before it writes.
  bool EnableMarketsForTesting(const char* markets) { return parse_markets(markets); }
  RebuildState& rebuild_state_for_testing() { return rebuild_; }

 protected:
  // Only through Release.
  ~UdpRawApiImp() override;

 private:
  // One exchange's reassembly state: the header of the last accepted
  // fragment and the message assembled so far. `holding` tells an accepted
  // fragment 0 of sequence 0 apart from an empty channel.
  struct Channel {
    explicit Channel(char id) : exchange(id), packet(kInitialBuffer) {}
    char exchange;  // '1' or '2', as handed to the user
    bool holding = false;
    RawDataPacket packet;
  };

  void accept_fragment(Channel& ch);
  void reset_channel(Channel& ch);
  void deliver(const Channel& ch);
  void queue_rebuild_request(ByteBuffer&& bytes, const RebuildState::Request& req);
  void abandon_rebuild(const RebuildState::Request& req, const char* why);
  bool parse_markets(const char* text);
  void* handle() { return static_cast<ApiImp*>(this); }

  EvLoop* loop_;
  ZAVO_RawOpenSetting setting_{};
  std::string server_ip_;
  std::string multicast_ip_;
  std::string local_ip_;
  std::atomic<RawDataRebuildSession*> session_{nullptr};
  RawDataPacket scratch_;  // read thread only
  Channel sh_{'1'};        // read thread only
  Channel sz_{'2'};        // read thread only
  OpenResult open_result_;
  uint32_t login_count_ = 0;  // loop thread
  RebuildState rebuild_;
  std::atomic<bool> sh_enabled_{false};
  std::atomic<bool> sz_enabled_{false};
};

}  // namespace zavo
