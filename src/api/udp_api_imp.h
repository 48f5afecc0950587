#pragma once
// The struct-mode session behind a ZAVO_Open handle.
//
// Threads: the caller's (Open, queries, subscriptions, Rebuild, Close), the
// event loop thread (control connection, system and rebuild handlers), the
// receiver's read thread (OnData: copy and hand off) and the packet
// processing thread (decode, convert, filter, data handler).
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "api/api_imp.h"
#include "api/code_info_db.h"
#include "api/session_support.h"
#include "api/snapshot_db.h"
#include "api/subscription_manager.h"
#include "net/data_pipe.h"
#include "net/ev_loop.h"
#include "net/udp_multicast_receiver.h"
#include "net/zavo_tcp.h"
#include "proto/struct_packet.h"
#include "proto/sys_field.h"

namespace zavo {

class UdpStructApiImp : public StructApiImp, public UdpMulticaseReceiver2, public KvelHandler {
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
  void OnData(const char* data, size_t size) override;
  void OnError(int code) override;

  // ---- control connection (loop thread) ----
  void OnPacket(KvelSession* session, const StructPacket* packet) override;
  void OnConnected(KvelSession* session) override;
  void OnDisconnected(KvelSession* session) override;
  void OnTcpField(const RspUserLoginField& reply);
  void OnTcpField(const RspRetransmitField& reply);
  void OnRebuildRspPacket(const StructPacket* packet);

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
  void ProcessDatagram(const char* data, size_t size);

 protected:
  ~UdpStructApiImp() override;

 private:
  // One decoding workspace per thread that decodes market data: live
  // records on the processing thread, retransmitted ones on the loop thread.
  struct Scratch {
    SecuritySnapShotField security_field;
    IndexSnapShotField index_field;
    OrderQueueField queue_field;
    OrderDetailField order_field;
    TradeDetailField trade_field;
    FutureSnapShotField future_field;
    SH_OrderDetailField sh_order_field;
    ZAVO_SecuritySnapShot security;
    ZAVO_IndexSnapShot index;
    ZAVO_OrderQueue queue;
    ZAVO_OrderDetail order;
    ZAVO_TradeDetail trade;
    ZAVO_FutureSnapShot future;
    ZAVO_SHOrderDetail sh_order;
  };

  void udp_packet_process_loop();
  void process_datagram(const char* data, size_t size);
  // Handler, flags and filter from setting_; the second half of Open.
  ZAVO_ERROR take_data_settings();
  void on_udp_packet_process(unsigned long packet_time, const char* body, unsigned int size);
  // A buffer for the read thread's copy of a datagram of `size` bytes: a
  // recycled one when the processing thread has returned any.
  ByteBuffer* take_datagram_buffer(size_t size);
  // Processing thread: hands a datagram's buffer back for reuse (or frees it).
  void return_datagram_buffer(ByteBuffer* buffer);
  // Decodes, converts, filters and delivers one market-data field (ids 257
  // to 263) to `handler`. `live` also stores snapshots in the cache.
  void handle_market_field(const StructPacket::Iterator& it, Scratch& s, ZAVO_DataHandler handler,
                           uint32_t msg_time, bool live, const char* error_format);
  void deliver(ZAVO_DataHandler handler, uint32_t kind, uint32_t size, uint32_t msg_time,
               uint64_t seq, const void* record);
  void stop_processing_thread();
  // Backoff idling of the processing thread: blocks until a datagram copy
  // is handed over, or the feed's socket becomes readable, or a timeout.
  // True when the feed's socket is readable.
  bool wait_for_feed();
  // Backoff: after waking on the feed, the processing thread reads the
  // datagram itself when the read thread has not taken it yet. True when
  // it did (and has processed it).
  bool read_feed_directly();
  void wake_consumer();
  void on_base_info_finish();
  // Ends the retransmission in progress, if any, with a log line.
  void abandon_rebuild(const char* why);
  bool send_packet(StructPacket* packet);
  void* handle() { return static_cast<ApiImp*>(this); }

  // Room for any IPv4 UDP datagram (at most 65,507 bytes of payload).
  static constexpr size_t kDirectBufferSize = 65536;

  EvLoop* loop_;
  ZAVO_OpenSetting setting_{};
  std::string server_ip_;
  std::string multicast_ip_;
  std::string local_ip_;
  SubscriptionManager subscription_;
  std::atomic<bool> trade_flag_{false};
  std::atomic<bool> order_flag_{false};
  std::atomic<bool> queue_flag_{false};
  KvelTcpConnector* connector_ = nullptr;
  OpenResult open_result_;
  uint32_t login_count_ = 0;  // loop thread
  Scratch live_{};
  Scratch replay_{};
  SnapShotDB snapshots_;
  CodeInfoDB code_tables_;
  RebuildState rebuild_;
  std::atomic<uint32_t> day_marker_{0};
  MpmcPipe* pipe_;
  // Datagram copies on their way back from the processing thread (pushes)
  // to the read thread (pops), so a steady feed allocates nothing.
  PointerRing<1024> spare_buffers_;
  StructPacket packet_;  // processing thread only
  // An idle processing thread waits on the feed socket (BeginWatch) as well
  // as on the hand-over, and reads the datagram that woke it itself when
  // the read thread has not taken it yet: one wake-up in the path of a
  // datagram instead of two.
  std::unique_ptr<char[]> direct_buffer_;  // processing thread only
  int consumer_fd_ = -1;  // eventfd: something was handed over or closing
  std::atomic<bool> consumer_waiting_{false};
  std::thread process_thread_;
};

}  // namespace zavo
