#pragma once
// The struct-mode session behind a ZAVO_Open handle.
//
// It is the multicast receiver (FeedReceiver: UdpMulticaseReceiver2, or on
// Windows the event-loop UdpMulticaseReceiver) and the handler of its
// control connection (KvelHandler), and delegates: the feed's datagrams to
// its StructFeed (FeedProcessor; on Windows LoopFeed, which processes them
// on the loop thread), the control conversation to its ControlChannel.
// What stays here is what is particular to struct mode: decoding,
// converting, filtering and caching market-data fields, the code tables,
// and the day change.
//
// Threads: the caller's (Open, queries, subscriptions, Rebuild, Close,
// Join, Release); the event loop thread (control connection, system and
// rebuild handlers); the packet-processing thread (in backoff also reading
// the feed socket; decode, convert, filter, data handler); the receiver's
// read thread (OnData: copy and hand off, always in spin mode, in backoff
// only while the processing thread is held up; see FeedProcessor).
#include <atomic>
#include <cstdint>
#include <ctime>

#include "api/api_imp.h"
#include "api/code_info_db.h"
#include "api/control_channel.h"
#include "api/decode_scratch.h"
#include "api/session_shutdown.h"
#include "api/session_support.h"
#include "api/snapshot_db.h"
#include "api/struct_feed.h"
#include "api/subscription_manager.h"
#include "net/feed_receiver.h"
#include "proto/struct_packet.h"
#include "proto/sys_field.h"
#include "proto/zavo_tcp.h"

namespace zavo {

class UdpStructApiImp : public StructApiImp,
                        public FeedReceiver,
                        public KvelHandler,
                        private ControlListener {
 public:
  UdpStructApiImp();

  // ---- ApiImp / StructApiImp ----
  void Release() override;
  void Close() override;
  void Join() override;
  const char* ClassName() const override { return "UdpStructApiImp"; }
  int ConnectID() const override { return setting_.ConnectID; }
  ZAVO_ERROR Open(const ZAVO_OpenSetting& setting) override;
  ZAVO_ERROR GetCodeTable(const char* market, ZAVO_CODEINFO** table, unsigned int* count) override;
  ZAVO_ERROR GetOptionCodeInfo(const char* code, ZAVO_OPTION_CODEINFO* info) override;
  ZAVO_ERROR UpdateSubscription(ZAVO_SUBSCRIPTION_UPDATE mode, const char* codes) override;
  ZAVO_ERROR GetLastMarketData(const char* market, ZAVO_SecuritySnapShot** data,
                               int* count) override;
  ZAVO_ERROR GetLastIndexData(const char* market, ZAVO_IndexSnapShot** data, int* count) override;
  ZAVO_ERROR GetLastFutureData(const char* market, ZAVO_FutureSnapShot** data, int* count) override;
  ZAVO_ERROR Rebuild(uint64_t begin_seq, uint64_t end_seq, ZAVO_DataHandler handler) override;

  // ---- multicast receiver (read thread) ----
  void OnData(const char* data, size_t size) override { feed_.Enqueue(data, size); }
  void OnError(int code) override;

  // ---- control connection (loop thread), forwarded to the channel ----
  void OnPacket(KvelSession*, const StructPacket* packet) override { control_.OnPacket(packet); }
  void OnConnected(KvelSession*) override { control_.OnConnected(); }
  void OnDisconnected(KvelSession*) override { control_.OnDisconnected(); }
  void OnTcpField(const RspUserLoginField& reply) { control_.OnLoginReply(reply); }
  void OnTcpField(const RspRetransmitField& reply) { control_.OnRebuildEnd(reply); }

  // Handles one heartbeat field (processing thread or loop thread): a new
  // day clears the caches.
  void OnHeartbeat(const StructPacket::Iterator& it);
  // Empties the snapshot store and the code tables and abandons a
  // retransmission in progress.
  void ClearApiCache();

  // Open gives up waiting for the login answer after this long.
  static void SetLoginTimeoutForTesting(int timeout_ms);

  // ---- the data path without a feed (benchmarks, tests) ----
  // Takes the data handler, the system handler, the delivery flags and the
  // subscriptions from `setting` exactly as Open does, without connecting or
  // joining. ZAVO_ERR_INVALID as Open would return it.
  ZAVO_ERROR SetDataPath(const ZAVO_OpenSetting& setting);
  // The processing thread's work for one datagram (parse, decode, convert,
  // filter, deliver, cache), run on the calling thread. Only for an object
  // that receives no feed: it shares the processing thread's workspace.
  void ProcessDatagram(const char* data, size_t size) { process_datagram(data, size); }
  // The same with the moment the datagram was taken up given (LocalDelay is
  // measured against it).
  void ProcessDatagram(const char* data, size_t size, const timespec& taken_at) {
    process_datagram(data, size, taken_at);
  }

 protected:
  ~UdpStructApiImp() override;

 private:
  // ---- ControlListener (loop thread) ----
  int JoinFeed(std::string* why) override;
  void OnControlField(const StructPacket::Iterator& it) override;
  void OnRebuildPacket(const StructPacket& packet, const RebuildState::Request& req) override;
  void OnRebuildRaw(const RawDataPacket&, const RebuildState::Request&) override {}

  // What every record of one datagram (or one retransmitted packet) shares
  // on its way to the handler, read once per packet.
  struct PacketContext {
    ZAVO_DataHandler handler;  // never null (a no-op stands in)
    int connect_id;
    uint32_t msg_time;  // the packet's time of day
    uint32_t flags;     // ZAVO_SUBSCRIBE_FLAG bits
    timespec taken_at;  // when the packet was taken up (LocalDelay)
    bool live;          // the feed: snapshots go to the cache
    const char* error_format;
  };

  // Reads the clock, then processes the datagram as taken up at that moment.
  void process_datagram(const char* data, size_t size);
  void process_datagram(const char* data, size_t size, const timespec& taken_at);
  // Handler, flags and filter from setting_; the second half of Open.
  ZAVO_ERROR take_data_settings();
  PacketContext packet_context(ZAVO_DataHandler handler, uint64_t packet_time,
                               const timespec& taken_at, bool live) const;
  void on_udp_packet_process(uint64_t packet_time, const char* body, unsigned int size,
                             const timespec& taken_at);
  // One field of a packet: a market-data field (ids 257 to 263) is
  // decoded, converted, filtered and delivered; a heartbeat on the feed
  // (live) is handled; anything else is ignored. The caller holds a
  // HandlerMark for this session.
  void handle_field(const StructPacket::Iterator& it, DecodeScratch& s, const PacketContext& ctx);
  void on_base_info_finish();
  void* handle() { return static_cast<ApiImp*>(this); }
  // The pieces the shared shutdown sequence works on.
  SessionParts parts();

  ZAVO_OpenSetting setting_{};
  std::atomic<uint32_t> flags_{0};  // ZAVO_SUBSCRIBE_FLAG bits
  SubscriptionManager subscription_;
  SnapShotDB snapshots_;
  CodeInfoDB code_tables_;
  LogThrottle unrecognized_log_;  // loop thread
  std::atomic<uint32_t> day_marker_{0};
  DecodeScratch replay_{};  // loop thread
  ControlChannel control_;
  StructFeed feed_;
};

}  // namespace zavo
