#pragma once
// The struct-mode session behind a ZAVO_Open handle.
//
// It is the multicast receiver (FeedReceiver: UdpMulticaseReceiver2, or on
// Windows the event-loop UdpMulticaseReceiver), and delegates: the feed's
// datagrams to
// its StructFeed (FeedProcessor; on Windows LoopFeed, which processes them
// on the loop thread), the control conversation to its ControlChannel,
// and what both carry to its StructDecoder (decode, convert, filter,
// snapshot cache, code tables, day change), whose records go to the
// session's handlers through a HandlerSink.
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
#include <memory>

#include "api/api_imp.h"
#include "api/control_channel.h"
#include "api/feed_recovery.h"
#include "api/record_sink.h"
#include "api/session_shutdown.h"
#include "api/session_skeleton.h"
#include "api/session_support.h"
#include "api/struct_decoder.h"
#include "api/struct_feed.h"
#include "net/feed_receiver.h"
#include "net/zavo_tcp.h"
#include "proto/struct_packet.h"
#include "proto/sys_field.h"

namespace zavo {

class UdpStructApiImp : public StructApiImp, public FeedReceiver, private ControlListener {
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

  // Empties the snapshot store and the code tables and abandons a
  // retransmission in progress.
  void ClearApiCache();

 protected:
  ~UdpStructApiImp() override;

 private:
  // Tests reach the data path and the settings through this one door.
  friend struct SessionPeer;

  // ---- ControlListener (loop thread) ----
  int JoinFeed(std::string* why) override;
  void OnControlField(const StructPacket::Iterator& it) override;
  void OnRebuildPacket(const StructPacket& packet, const RebuildState::Request& req) override;
  void OnRebuildRaw(const RawDataPacket&, const RebuildState::Request&) override {}
  bool OnRebuildEnded(const RebuildState::Request& req, uint32_t status) override;

  // The session's side of its decoder: records go to one handler of this
  // session (a no-op stands in for a missing one), the end of the code
  // tables to the system handler, and a new day abandons a retransmission
  // in progress. Built per packet on the thread that delivers it.
  class HandlerSink final : public RecordSink {
   public:
    HandlerSink(UdpStructApiImp* api, ZAVO_DataHandler handler);
    void OnRecord(uint32_t kind, uint32_t size, uint32_t msg_time, uint64_t seq,
                  const void* record) override {
      api_->deliver_marked(handler_, connect_id_, kind, size, msg_time, seq, record);
    }
    void OnBaseInfoFinish(const ZAVO_BaseInfoFinish& finish) override;
    void OnNewDay() override;

   private:
    UdpStructApiImp* api_;
    ZAVO_DataHandler handler_;
    int connect_id_;
  };

  // The processing thread's work for one datagram: reads the clock, then
  // hands the datagram to the decoder as taken up at that moment.
  void process_datagram(const char* data, size_t size);
  void process_datagram(const char* data, size_t size, const timespec& taken_at);
  // Handler, flags and filter from setting_; the second half of Open.
  ZAVO_ERROR take_data_settings();
  void* handle() { return static_cast<ApiImp*>(this); }
  // The pieces the shared shutdown sequence works on.
  SessionParts parts();

  ZAVO_OpenSetting setting_{};
  SessionAddress address_;  // read from setting_ by Open
  StructDecoder decoder_;
  ControlChannel control_;
  StructFeed feed_;
  // Gap recovery and feed-health counters, when the settings ask for
  // either (made by Open, before the feed is joined).
  std::unique_ptr<FeedRecovery> recovery_;
};

}  // namespace zavo
