#pragma once
// FeedRecovery: a struct session's gap recovery and feed-health counters
// (ZAVO_FLAG_RECOVER_GAPS, ZAVO_FLAG_FEED_STATS), between its decoder and
// its data handler. The session makes one when either bit is set, and
// sends it every feed datagram and every retransmission reply of its own.
//
// Threads:
//   processing thread  ProcessDatagram and the side work (RunSideWork): the
//                      GapRecovery, the data handler calls, the counters;
//   loop thread        replies and request ends (OnReplyPacket,
//                      OnReplyEnd), queued here for the processing thread,
//                      which the feed is asked to wake; the timer that
//                      keeps recovery moving on a quiet feed (every 100 ms)
//                      and delivers ZAVO_MSG_FEED_STATS (every second).
// No handler is called for recovered data on the loop thread.
//
// The counters are written by the processing thread alone and published
// with relaxed stores once per datagram; the loop thread reads them.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "api/gap_recovery.h"
#include "api/record_sink.h"
#include "api/struct_feed.h"
#include "proto/struct_packet.h"
#include "zavo_api.h"

namespace zavo {

class ApiImp;
class StructApiImp;
class StructDecoder;
class ControlChannel;
class EvTimer;
class UdpMulticaseReceiver2;

class FeedRecovery final : private GapRecovery::Output {
 public:
  // The handler recovery's own requests are made with: how a reply and an
  // end are told from those of a caller's request. Never called.
  static void ReplyHandler(void* handle, const ZAVO_MSG* msg);
  static constexpr unsigned kTickMs = 100;
  static constexpr int64_t kStatsIntervalMs = 1000;

  struct Parts {
    StructApiImp* api;
    StructDecoder* decoder;
    ControlChannel* control;
    StructFeed* feed;
    // Kernel receive-queue drops of the feed socket; may be null.
    const std::atomic<uint64_t>* kernel_drops;
  };
  // `flags`: the session's SubscribeFlags.
  FeedRecovery(const Parts& parts, uint32_t flags);
  // After every thread of the session has ended: logs what recovery still
  // held.
  ~FeedRecovery();
  FeedRecovery(const FeedRecovery&) = delete;
  FeedRecovery& operator=(const FeedRecovery&) = delete;

  bool recovering() const { return recovery_ != nullptr; }

  // Opening thread, once the session is open: starts the timer.
  void Start();

  // ---- processing thread ----
  // One feed datagram; `plain` is the session's own sink (code tables,
  // day change) and gets the records when recovery is off.
  void ProcessDatagram(const char* data, size_t size, const timespec& taken_at, RecordSink& plain);
  // What the loop thread queued: replies, ends, a new day.
  void RunSideWork();

  // ---- loop thread ----
  void OnReplyPacket(const StructPacket& packet);
  void OnReplyEnd(uint32_t status);
  // A new day seen on the control connection (any thread but the
  // processing thread, which ends recovery itself when the feed shows it).
  void OnNewDayElsewhere();

  // The counters as the loop thread reads them.
  ZAVO_FeedStats Stats() const;

 private:
  class Sink;
  struct Event {
    enum Kind : uint8_t { kPacket, kEnd, kFailed, kNewDay } kind;
    uint32_t status = 0;
    uint64_t packet_time = 0;
    std::string body;
  };
  struct Published {
    std::atomic<uint64_t> datagrams{0}, bytes{0}, fields{0}, filtered{0}, delivered{0}, gaps{0},
        missing{0}, recovered{0}, lost{0}, duplicates{0}, held_peak{0};
    std::atomic<int64_t> last_datagram_ms{-1};
  };

  // ---- GapRecovery::Output (processing thread) ----
  void Deliver(uint32_t kind, uint32_t size, uint32_t msg_time, uint64_t seq,
               const void* record) override;
  void Lost(uint64_t begin, uint64_t end, uint32_t reason) override;
  bool Request(uint64_t begin, uint64_t end) override;

  // What Sink reports (processing thread).
  void on_field(uint64_t seq, bool recovered);
  void on_record(uint32_t kind, uint32_t size, uint32_t msg_time, uint64_t seq, const void* record,
                 RecordSink* plain);
  void on_new_day_here();
  void push(Event&& e);
  void after_work();
  void publish();
  void on_tick();

  Parts parts_;
  bool stats_;
  std::unique_ptr<GapRecovery> recovery_;
  int connect_id_;
  EvTimer* timer_ = nullptr;   // loop thread
  int64_t last_stats_ms_ = 0;  // loop thread
  // The processing thread's own counts (without recovery, the gap counts
  // too), published after each datagram.
  int64_t now_ms_ = 0;
  uint64_t datagrams_ = 0, bytes_ = 0, fields_ = 0, delivered_ = 0;
  uint64_t gaps_ = 0, missing_ = 0, duplicates_ = 0, next_seq_ = 0;
  uint64_t dropped_at_close_ = 0;
  Published published_;
  std::atomic<bool> active_{false};
  std::mutex inbox_mu_;
  std::vector<Event> inbox_;
  std::vector<Event> work_;  // processing thread
};

}  // namespace zavo
