#pragma once
// Internals of SimServer; everything here runs on the server's loop thread
// except where a member says otherwise.
#include <condition_variable>
#include <cstdarg>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "net/ev_loop.h"
#include "net/ev_timer.h"
#include "net/udp_multicast_sender.h"
#include "net/zavo_tcp.h"
#include "proto/struct_packet.h"
#include "sim_day_profile.h"
#include "sim_faults.h"
#include "sim_history.h"
#include "sim_market.h"
#include "sim_raw_joiner.h"
#include "sim_server.h"
#include "sim_wire.h"

namespace zavo {
namespace sim {

class SimServerImp : public KvelHandler {
 public:
  explicit SimServerImp(const SimConfig& cfg);
  virtual ~SimServerImp();

  int Start(std::string* error);
  void Stop();
  int ListenPort() const { return listen_port_; }
  const SimConfig& config() const { return cfg_; }

  SimCounters Counters() const;
  bool WaitFor(const std::function<bool(const SimCounters&)>& pred, int timeout_ms) const;

  // Any thread: each posts its work to the loop.
  void PublishNow(unsigned fields);
  void PublishSnapshotNow(const std::string& code);
  void PublishRawNow(uint8_t exchange, unsigned messages);
  void HeartbeatNow(uint64_t value);  // 0: the current time's value
  void PublishRecorded(const char* data, size_t len);
  void SetLoginMode(LoginMode mode);
  void DropConnections();
  void SendControlGarbage(unsigned bytes);
  void SendFeedGarbage(unsigned bytes);
  void SkipFeed(unsigned fields);
  void InjectRawFault(RawFault fault, unsigned count);

  // KvelHandler (loop thread).
  void OnPacket(KvelSession* session, const StructPacket* packet) override;
  void OnConnected(KvelSession* session) override;
  void OnDisconnected(KvelSession* session) override;

  const char* ClassName() const { return "SimServer"; }

 private:
  // Which conversation a connection gets. A struct session expects the
  // code tables and heartbeats after its login; a raw session reads only
  // login answers, end records and replayed messages, and logs anything
  // else as unknown.
  enum class Peer { kUnknown, kStruct, kRaw };
  struct Conn {
    uint64_t id = 0;
    bool logged_in = false;
    Peer peer = Peer::kUnknown;
    std::string user;
  };

  void post(std::function<void()>&& fn);
  void log(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  template <class F>
  void count(F&& change) {
    {
      std::lock_guard<std::mutex> lk(stats_mu_);
      change(stats_);
    }
    stats_cv_.notify_all();
  }

  // A retransmission request waiting for --retransmit-delay. The
  // connection is named by its id: it may be gone when the time comes.
  struct PendingRetransmit {
    uint64_t due_ns = 0;
    uint64_t conn_id = 0;
    bool raw = false;
    RetransmitRange range;
  };

  void on_tick();
  // Fields owed to the struct feed since the last tick, by the flat rate or
  // the day profile.
  uint64_t struct_fields_owed(uint64_t now_ns);
  void serve_due_retransmits(uint64_t now_ns);
  void on_retransmit_request(KvelSession* s, Conn* c, const RetransmitRange& r, bool raw);
  // Answers now, or refuses (--retransmit-refuse).
  void serve_retransmit(KvelSession* s, const RetransmitRange& r, bool raw);
  // Sends one feed datagram through the faults.
  FeedFaults::Action send_feed(FeedFaults* faults, UdpMulticastSender2* sender, const char* data,
                               size_t len, uint64_t* sent, uint64_t* errors);
  void copy_fault_counts(SimCounters* c) const;
  void on_heartbeat_timer();
  void publish(unsigned fields, uint64_t stamp);
  void publish_snapshot(const std::string& code, uint64_t stamp);
  // Numbers the field of record rec_ (`id`), keeps it for retransmission
  // and packs it into the feed's packet unless it is to be skipped;
  // false when skipped.
  bool add_field(uint16_t id, uint64_t stamp);
  void flush_feed_packet();
  void publish_recorded(const std::vector<char>& datagram);
  void publish_raw(uint8_t exchange, unsigned messages, uint64_t stamp);
  void send_heartbeat(uint64_t value);
  void send_heartbeat_to(KvelSession* s, uint64_t value);
  void send_garbage_control(unsigned bytes);
  void send_garbage_feed(unsigned bytes);
  void drop_all();

  void on_login(KvelSession* s, Conn* c, const StructPacket::Iterator& it);
  void send_login_reply(KvelSession* s, int32_t error_id, const std::string& text, uint64_t id);
  void send_base_info(KvelSession* s);
  // The struct conversation after a login: the day, then the code tables.
  void start_struct_conversation(KvelSession* s);
  void on_struct_retransmit(KvelSession* s, const RetransmitRange& r);
  void on_raw_retransmit(KvelSession* s, const RetransmitRange& r);
  void send_end_of_retransmit(KvelSession* s, const RetransmitRange& r, uint32_t status);
  bool write(KvelSession* s, const char* data, size_t len);
  // Sends a control packet of one field; `fill` writes the record bytes.
  bool send_single_field(KvelSession* s, uint16_t fid, uint16_t size,
                         const std::function<void(WireWriter&)>& fill);
  void garbage(std::vector<char>* out, unsigned bytes);

  const SimConfig cfg_;
  EvLoop* loop_ = nullptr;
  KvelTcpListener* listener_ = nullptr;
  UdpMulticastSender2 feed_;
  UdpMulticastSender2 raw_feed_;
  EvTimer* tick_timer_ = nullptr;
  EvTimer* heartbeat_timer_ = nullptr;
  EvTimer* drop_timer_ = nullptr;
  int listen_port_ = 0;
  bool started_ = false;
  bool struct_feed_ = true;
  bool raw_feed_on_ = false;

  // Loop-thread state.
  MarketModel model_;
  FieldHistory history_;
  RawHistory raw_history_[2];
  RawMessageJoiner recorded_raw_;  // messages of the replayed raw fragments
  std::map<KvelSession*, Conn> conns_;
  uint64_t next_conn_id_ = 1;
  uint64_t seq_ = 0;
  uint64_t raw_seq_[2] = {0, 0};
  LoginMode login_mode_;
  unsigned skip_ = 0;
  unsigned raw_fault_count_[3] = {0, 0, 0};
  SimRng fault_rng_;
  FeedFaults struct_faults_;
  FeedFaults raw_faults_;
  SimRng refuse_rng_;
  std::deque<PendingRetransmit> pending_retransmits_;
  DayProfile day_;
  double day_owed_ = 0;  // fields owed by the day profile, fractions kept
  uint64_t last_tick_ns_ = 0;
  // Rate keeping: fields (and raw messages) owed since the clock base.
  uint64_t rate_base_ns_ = 0;
  uint64_t rate_done_ = 0;
  uint64_t raw_done_ = 0;

  PacketBuilder feed_pkt_;
  PacketBuilder ctl_pkt_;
  WireWriter rec_;
  WireWriter field_;
  WireWriter raw_pkt_;
  std::vector<char> raw_payload_;
  uint64_t feed_fields_in_packet_ = 0;

  mutable std::mutex stats_mu_;
  mutable std::condition_variable stats_cv_;
  SimCounters stats_;
};

}  // namespace sim
}  // namespace zavo
