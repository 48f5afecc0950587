#pragma once
// Struct mode's work on what the server sends, without a thread, a socket
// or a connection: a feed datagram or a retransmitted packet goes in; its
// market-data fields are decoded, converted, tested against the delivery
// flags and the subscription filter, and handed to a RecordSink; snapshots
// of the feed are kept in the last-snapshot cache; heartbeats mark the day
// and a new day empties the caches and the code tables; base-information
// fields of the control connection fill the code tables.
//
// The live session owns one and feeds it from its processing thread (the
// feed) and its loop thread (control fields, retransmissions); an offline
// decoder feeds it from a capture file. The caches, the code tables, the
// filter and the flags may be read and changed from any thread.
//
// Threads: ProcessDatagram from one thread at a time (it has a workspace of
// its own); ProcessRebuildPacket and OnControlField from one other thread
// at a time (the second workspace). Each record is decoded into its
// workspace, so the data path allocates nothing.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>

#include "api/code_info_db.h"
#include "api/decode_scratch.h"
#include "api/record_sink.h"
#include "api/snapshot_db.h"
#include "api/subscription_manager.h"
#include "proto/struct_packet.h"
#include "util/log_throttle.h"

namespace zavo {

class StructDecoder {
 public:
  // `owner` and `class_name` name the writer in log lines.
  StructDecoder(const void* owner, const char* class_name);
  StructDecoder(const StructDecoder&) = delete;
  StructDecoder& operator=(const StructDecoder&) = delete;

  // The delivery flags (ZAVO_SUBSCRIBE_FLAG bits; only the three kinds
  // that can be switched off are kept).
  void SetFlags(uint32_t flags);
  uint32_t flags() const { return flags_.load(std::memory_order_relaxed); }

  // One feed datagram taken up at `taken_at` (the LocalDelay of its
  // snapshots is measured against it). False when it is not one whole
  // packet; nothing is delivered then.
  bool ProcessDatagram(const char* data, size_t size, const timespec& taken_at, RecordSink& sink);
  // One retransmitted packet: decoded, filtered and delivered as on the
  // feed, but its snapshots are old news for the cache and its heartbeats
  // for the day marker.
  void ProcessRebuildPacket(const StructPacket& packet, const timespec& taken_at, RecordSink& sink);
  // The body of a retransmitted packet, as ProcessRebuildPacket, but on
  // ProcessDatagram's thread and workspace: for a session that merges
  // retransmissions into its feed.
  void ProcessRecoveredBody(const char* body, unsigned int size, uint64_t packet_time,
                            const timespec& taken_at, RecordSink& sink);
  // One field of the control connection: heartbeats, base information,
  // the end of base information; anything else is logged and skipped.
  void OnControlField(const StructPacket::Iterator& it, RecordSink& sink);
  // One heartbeat field (feed or control connection): a change of day
  // empties the caches (ClearCaches).
  void OnHeartbeat(const StructPacket::Iterator& it, RecordSink& sink);
  // Empties the snapshot cache and the code tables, then tells the sink.
  void ClearCaches(RecordSink& sink);

  // Lines of each throttled kind logged within one interval before the
  // rest is only counted: enough to show the first few cases in full.
  static constexpr uint32_t kLogBurst = 5;

  SubscriptionManager& subscription() { return subscription_; }
  SnapShotDB& snapshots() { return snapshots_; }
  CodeInfoDB& code_tables() { return code_tables_; }

  // Datagrams taken and refused (not one whole packet) by ProcessDatagram.
  uint64_t datagrams() const { return datagrams_.load(std::memory_order_relaxed); }
  uint64_t refused() const { return refused_.load(std::memory_order_relaxed); }

 private:
  // What every record of one packet shares on its way to the sink, read
  // once per packet.
  // The log lines that the input can repeat without end, each kept to a
  // few per interval; one set per thread that decodes.
  struct ThreadLogs {
    LogThrottle refused{LogThrottle::kDefaultIntervalMs, kLogBurst};        // not a packet
    LogThrottle short_records{LogThrottle::kDefaultIntervalMs, kLogBurst};  // GetField Error
    LogThrottle exceptions{LogThrottle::kDefaultIntervalMs, kLogBurst};
    // A heartbeat a second is logged in full; a feed that repeats them
    // faster is held to two lines a second.
    LogThrottle heartbeats{500};
    LogThrottle day_changes{LogThrottle::kDefaultIntervalMs, 2 * kLogBurst};
  };

  struct PacketContext {
    RecordSink* sink;
    ThreadLogs* logs;
    uint32_t msg_time;  // the packet's time of day
    uint32_t flags;     // ZAVO_SUBSCRIBE_FLAG bits
    timespec taken_at;  // when the packet was taken up (LocalDelay)
    bool live;          // the feed: snapshots go to the cache
    bool every_field;   // the sink watches every field's sequence number
    const char* error_format;
  };

  PacketContext packet_context(RecordSink& sink, uint64_t packet_time, const timespec& taken_at,
                               bool live);
  void on_heartbeat(const StructPacket::Iterator& it, RecordSink& sink, ThreadLogs& logs);
  void clear_caches(RecordSink& sink, LogThrottle* throttle);
  void walk(const char* body, unsigned int size, DecodeScratch& s, const PacketContext& ctx);
  // One field of a packet: a market-data field (ids 257 to 263) is
  // decoded, converted, filtered and delivered; a heartbeat on the feed
  // (live) is handled; anything else is ignored.
  void handle_field(const StructPacket::Iterator& it, DecodeScratch& s, const PacketContext& ctx);

  const void* owner_;
  const char* class_name_;
  std::atomic<uint32_t> flags_{0};
  SubscriptionManager subscription_;
  SnapShotDB snapshots_;
  CodeInfoDB code_tables_;
  std::atomic<uint32_t> day_marker_{0};
  std::atomic<uint64_t> datagrams_{0};
  std::atomic<uint64_t> refused_{0};
  StructPacket packet_;           // ProcessDatagram's thread
  DecodeScratch live_{};          // ProcessDatagram's thread
  DecodeScratch replay_{};        // the control and retransmission thread
  LogThrottle unrecognized_log_;  // the control thread
  ThreadLogs live_logs_;          // ProcessDatagram's thread
  ThreadLogs control_logs_;       // the control and retransmission thread
};

}  // namespace zavo
