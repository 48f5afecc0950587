#pragma once
// The control connection of a session, the same for both modes: the event
// loop thread and its reconnecting connector, the login conversation, the
// reconnection policy (at once while opening, every 5 s once open), and
// the one retransmission request a session may have in flight.
//
// Threads: Connect and Start on the opening thread; Rebuild, AbandonRebuild,
// Stop from any thread; Join from any thread but the loop's; everything
// named On... on the loop thread, where the system and rebuild handlers run.
//
// The rebuild request moves  idle --Rebuild accepted--> in flight  and back
// to idle by exactly one of: the server's end record (kind 5 with the
// server's status), the connection dropping or a new day (kind 5 with
// ZAVO_REBUILD_ABANDONED). Only the loop thread moves it, so a request is
// accepted only while the channel is logged in at the moment the loop
// thread takes it; the caller waits (bounded) for that answer.
//
// Shutdown: Stop, then Join, then ReleaseConnector (or the destructor):
// the connector is destroyed only once no thread runs the loop.
#include <atomic>
#include <cstdint>
#include <string>

#include "api/session_support.h"
#include "net/zavo_tcp.h"
#include "proto/raw_packet.h"
#include "proto/struct_packet.h"
#include "util/log_throttle.h"

namespace zavo {

class ApiImp;
class EvLoop;
class TcpConnector;
struct RspUserLoginField;
struct RspRetransmitField;

// What a mode adds to the control conversation. Loop thread.
class ControlListener {
 public:
  // Joins the multicast feed after the session's first accepted login;
  // 0 on success, else a negative code with *why saying what failed.
  virtual int JoinFeed(std::string* why) = 0;
  // A field of a control packet that the channel does not handle itself.
  virtual void OnControlField(const StructPacket::Iterator& it) = 0;
  // A retransmission reply packet (struct mode) for the request in flight.
  virtual void OnRebuildPacket(const StructPacket& packet, const RebuildState::Request& req) = 0;
  // A replayed message (raw mode) for the request in flight.
  virtual void OnRebuildRaw(const RawDataPacket& packet, const RebuildState::Request& req) = 0;
  // A request ended: the server's end record (its status) or given up
  // (ZAVO_REBUILD_ABANDONED). True when the listener made the request
  // itself and takes its end: then no ZAVO_MSG_REBUILD_FINISH goes out.
  virtual bool OnRebuildEnded(const RebuildState::Request& /*req*/, uint32_t /*status*/) {
    return false;
  }

 protected:
  ~ControlListener() = default;
};

// The connectors report to the channel directly: a struct session's
// KvelTcpConnector through KvelHandler, a raw session's
// RawDataRebuildSession through the On... calls below.
class ControlChannel : private KvelHandler {
 public:
  struct Options {
    // Struct mode tells the server, once per session, that its answer
    // came. (Both modes show the ';'-separated entries of an accepted
    // login's text, as the public header promises.)
    bool struct_mode = true;
  };
  // How long a caller waits for the loop thread to take a request.
  static constexpr int kRequestWaitMs = 5000;
  // The reconnection interval of an open session (5 s); tests shorten it
  // (0 restores the default).
  static uint32_t ReconnectIntervalMs();
  static void SetReconnectIntervalMs(uint32_t interval_ms);

  ControlChannel(ApiImp* api, ControlListener* listener, Options options);
  ~ControlChannel();
  ControlChannel(const ControlChannel&) = delete;
  ControlChannel& operator=(const ControlChannel&) = delete;

  EvLoop* loop() const { return loop_; }
  TcpConnector* connector() const { return connector_; }

  // Before Start, on the opening thread: takes the connector (owned from
  // here on, created on loop()), the server and the credentials, and starts
  // the first connection attempt. 0 or a negative libuv code (explained
  // to the system handler by ZAVO_MSG_OPEN_FAILED).
  int Connect(TcpConnector* connector, const std::string& server_ip, uint16_t server_port,
              const std::string& user, const std::string& password);
  // Starts the loop thread and waits, bounded, for the login's outcome.
  // On success the reconnection interval becomes 5 s. On failure the loop
  // thread is stopped and joined, and ZAVO_MSG_OPEN_FAILED says why, on
  // the calling thread.
  ZAVO_ERROR Start();
  // Any thread: ends the conversation and asks the loop to stop.
  void Stop();
  // Joins the loop thread. Not on the loop thread.
  void Join();
  // After Join (or when the loop never ran): destroys the connector.
  void ReleaseConnector();

  // Any thread: sends `packet`, a retransmission request for [begin, end)
  // whose replies go to `handler`. ZAVO_ERR_BUSY while one is in flight,
  // ZAVO_ERR_INVALID for an empty range or a null handler, ZAVO_ERR_NETWORK
  // when not logged in, closing, or the write could not start.
  ZAVO_ERROR Rebuild(uint64_t begin, uint64_t end, ZAVO_DataHandler handler, StructPacket* packet);
  // Any thread: ends a request in flight with the abandoned status.
  void AbandonRebuild(const char* why);

  // ---- loop thread: what the connector reports ----
  void OnConnected();
  void OnDisconnected();
  // A struct packet: login answers and end records are handled here,
  // retransmission replies and every other field go to the listener.
  void OnPacket(const StructPacket* packet);
  void OnRawPacket(const RawDataPacket* packet);
  void OnLoginReply(const RspUserLoginField& reply);
  void OnRebuildEnd(const RspRetransmitField& reply);

  // The request state, for tests and fuzzing that drive the loop side.
  RebuildState& rebuild_state() { return rebuild_; }
  // Connections lost after they were up, since the start. Any thread.
  uint64_t connections_lost() const { return connections_lost_.load(std::memory_order_relaxed); }
  // What a KvelTcpConnector of this channel reports to.
  KvelHandler* connector_handler() { return this; }

 private:
  // ---- KvelHandler: a struct session's connector (no accepted sessions) ----
  void OnPacket(KvelSession*, const StructPacket* packet) override { OnPacket(packet); }
  void OnConnected(KvelSession*) override { OnConnected(); }
  void OnDisconnected(KvelSession*) override { OnDisconnected(); }

  bool send(StructPacket* packet);
  ZAVO_ERROR start_rebuild(uint64_t begin, uint64_t end, ZAVO_DataHandler handler,
                           const ByteBuffer& bytes);
  // Ends a request in flight with the abandoned status. `end_may_follow`:
  // the connection that carried it is still up, so the server's own end
  // record for it may still come and must then be swallowed.
  void abandon(const char* why, bool end_may_follow);
  void log_line(const char* text) const;
  void log_stray_reply();
  std::string connect_failure(int status) const;
  // Opening thread, with no loop thread running: the open's explanation.
  void report_open_failure();

  ApiImp* api_;
  ControlListener* listener_;
  Options options_;
  EvLoop* loop_;
  TcpConnector* connector_ = nullptr;
  std::string server_ip_;
  uint16_t server_port_ = 0;
  std::string user_;
  std::string password_;
  OpenResult open_result_;
  uint32_t login_count_ = 0;  // loop thread
  // Requests given up while their connection stayed up, whose end records
  // the server still owes (loop thread), and the last of them for the log.
  uint32_t owed_end_records_ = 0;
  RebuildState::Request last_abandoned_;
  bool connected_ = false;  // loop thread
  bool logged_in_ = false;  // loop thread
  std::atomic<bool> stopping_{false};
  std::atomic<uint64_t> connections_lost_{0};  // written by the loop thread
  RebuildState rebuild_;
  // Replies with no request in flight: a server may keep sending them
  // (loop thread).
  LogThrottle stray_reply_log_{LogThrottle::kDefaultIntervalMs, 5};
};

}  // namespace zavo
