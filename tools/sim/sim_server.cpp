#include "sim_server.h"

#include <sys/time.h>
#include <uv.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "sim_server_imp.h"

namespace zavo {
namespace sim {

namespace {
constexpr unsigned kTickMs = 10;
}  // namespace

SimServerImp::SimServerImp(const SimConfig& cfg)
    : cfg_(cfg),
      model_(cfg),
      history_(cfg.history),
      raw_history_{RawHistory(cfg.raw_history), RawHistory(cfg.raw_history)},
      login_mode_(cfg.login_mode),
      fault_rng_(cfg.seed ^ 0xFA017ULL),
      // Each feed and the refusals draw from their own generator, so that
      // one feed's faults do not move with the other's traffic.
      struct_faults_(cfg.faults, cfg.seed),
      raw_faults_(cfg.faults, cfg.seed + 1),
      refuse_rng_(cfg.seed ^ 0x5EF05EULL),
      day_(cfg.day_scale) {
  struct_feed_ = cfg.feed_mode != FeedMode::kRaw;
  raw_feed_on_ = cfg.feed_mode != FeedMode::kStruct;
}

SimServerImp::~SimServerImp() {
  Stop();
}

void SimServerImp::log(const char* fmt, ...) {
  if (!cfg_.verbose) return;
  char text[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  uint64_t t = StampTime(NowStamp());
  std::printf("[%02u:%02u:%02u.%03u] %s\n", static_cast<unsigned>(t / 10000000),
              static_cast<unsigned>(t / 100000 % 100), static_cast<unsigned>(t / 1000 % 100),
              static_cast<unsigned>(t % 1000), text);
  std::fflush(stdout);
}

int SimServerImp::Start(std::string* error) {
  auto fail = [&](int rc, const std::string& why) {
    if (error) *error = why;
    Stop();
    return rc;
  };
  if (started_) return fail(UV_EALREADY, "the server is already started");
  started_ = true;
  loop_ = new EvLoop();
  listener_ = new KvelTcpListener(loop_, this);
  int rc = listener_->Listen(cfg_.listen_ip.c_str(), cfg_.listen_port);
  if (rc != 0) {
    return fail(rc, "cannot listen on " + cfg_.listen_ip + ":" + std::to_string(cfg_.listen_port) +
                        ": " + uv_strerror(rc));
  }
  listen_port_ = listener_->BoundPort();
  if (struct_feed_) {
    feed_.set_ttl(cfg_.ttl);
    rc =
        feed_.Open(cfg_.group.c_str(), static_cast<unsigned>(cfg_.port), cfg_.interface_ip.c_str());
    if (rc != 0) {
      rc = rc < 0 ? -rc : rc;
      return fail(-rc, "cannot open the feed " + cfg_.group + ":" + std::to_string(cfg_.port) +
                           " on " + cfg_.interface_ip + ": " + std::strerror(rc));
    }
  }
  if (raw_feed_on_) {
    raw_feed_.set_ttl(cfg_.ttl);
    rc = raw_feed_.Open(cfg_.group.c_str(), static_cast<unsigned>(cfg_.raw_port),
                        cfg_.interface_ip.c_str());
    if (rc != 0) {
      rc = rc < 0 ? -rc : rc;
      return fail(-rc, "cannot open the raw feed " + cfg_.group + ":" +
                           std::to_string(cfg_.raw_port) + " on " + cfg_.interface_ip + ": " +
                           std::strerror(rc));
    }
  }
  rate_base_ns_ = uv_hrtime();
  last_tick_ns_ = rate_base_ns_;
  tick_timer_ = new EvTimer(loop_, kTickMs, [this](EvTimer* t, const Timestamp&) {
    on_tick();
    t->Restart(0);
  });
  heartbeat_timer_ = new EvTimer(loop_, cfg_.heartbeat_ms ? cfg_.heartbeat_ms : 1000,
                                 [this](EvTimer* t, const Timestamp&) {
                                   on_heartbeat_timer();
                                   t->Restart(0);
                                 });
  // The loop is not running yet, so these arm the timers at once.
  tick_timer_->Restart(0);
  if (cfg_.heartbeat_ms) heartbeat_timer_->Restart(0);
  if (cfg_.faults.drop_every_s) {
    drop_timer_ =
        new EvTimer(loop_, cfg_.faults.drop_every_s * 1000, [this](EvTimer* t, const Timestamp&) {
          drop_all();
          t->Restart(0);
        });
    drop_timer_->Restart(0);
  }
  loop_->Start();
  log("listening on %s:%d; %s feed %s:%d%s via %s ttl %d; %zu securities, %zu options; "
      "%u fields/s",
      cfg_.listen_ip.c_str(), listen_port_,
      cfg_.feed_mode == FeedMode::kStruct ? "struct"
      : cfg_.feed_mode == FeedMode::kRaw  ? "raw"
                                          : "struct+raw",
      cfg_.group.c_str(), struct_feed_ ? cfg_.port : cfg_.raw_port,
      cfg_.feed_mode == FeedMode::kBoth ? (" raw port " + std::to_string(cfg_.raw_port)).c_str()
                                        : "",
      cfg_.interface_ip.c_str(), cfg_.ttl, model_.security_table().size(),
      model_.option_table().size(), cfg_.rate);
  return 0;
}

void SimServerImp::Stop() {
  if (!loop_) return;
  // Everything loop-bound is released on the loop, in posting order, before
  // the loop's own stop request runs.
  loop_->CallInLoop([this] {
    if (tick_timer_) EvTimer::Release(tick_timer_);
    if (heartbeat_timer_) EvTimer::Release(heartbeat_timer_);
    if (drop_timer_) EvTimer::Release(drop_timer_);
    tick_timer_ = heartbeat_timer_ = drop_timer_ = nullptr;
    pending_retransmits_.clear();
    conns_.clear();
    if (listener_) TcpListener::Release(listener_);
    listener_ = nullptr;
  });
  loop_->Stop();
  loop_->Join();
  // A loop that never ran still holds what was created on it; releasing on
  // a stopped loop runs at once.
  if (tick_timer_) EvTimer::Release(tick_timer_);
  if (heartbeat_timer_) EvTimer::Release(heartbeat_timer_);
  if (drop_timer_) EvTimer::Release(drop_timer_);
  if (listener_) TcpListener::Release(listener_);
  tick_timer_ = heartbeat_timer_ = drop_timer_ = nullptr;
  listener_ = nullptr;
  delete loop_;
  loop_ = nullptr;
  log("stopped");
}

void SimServerImp::post(std::function<void()>&& fn) {
  if (loop_) loop_->CallInLoop(std::move(fn));
}

SimCounters SimServerImp::Counters() const {
  std::lock_guard<std::mutex> lk(stats_mu_);
  return stats_;
}

bool SimServerImp::WaitFor(const std::function<bool(const SimCounters&)>& pred,
                           int timeout_ms) const {
  std::unique_lock<std::mutex> lk(stats_mu_);
  return stats_cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms),
                            [&] { return pred(stats_); });
}

// ---------------------------------------------------------------- feed

uint64_t SimServerImp::struct_fields_owed(uint64_t now_ns) {
  const uint64_t elapsed = now_ns - rate_base_ns_;
  // Whatever falls further behind than a fifth of a second (a stalled
  // loop) is forgiven rather than sent as a burst.
  if (cfg_.day_scale <= 0) {
    uint64_t owed = cfg_.rate * elapsed / 1000000000ULL;
    uint64_t cap = cfg_.rate / 5 + 10;
    if (owed > rate_done_ + cap) rate_done_ = owed - cap;
    if (owed <= rate_done_) return 0;
    const uint64_t n = owed - rate_done_;
    rate_done_ = owed;
    return n;
  }
  // The rate of the moment, integrated tick by tick; the fraction of a
  // field left over is owed to the next tick.
  const double rate = cfg_.rate * day_.Factor(elapsed / 1e9);
  day_owed_ += rate * static_cast<double>(now_ns - last_tick_ns_) / 1e9;
  const double cap = rate / 5 + 10;
  if (day_owed_ > cap) day_owed_ = cap;
  const uint64_t n = static_cast<uint64_t>(day_owed_);
  day_owed_ -= static_cast<double>(n);
  return n;
}

void SimServerImp::on_tick() {
  uint64_t stamp = NowStamp();
  const uint64_t now_ns = uv_hrtime();
  uint64_t elapsed = now_ns - rate_base_ns_;
  if (cfg_.rate && struct_feed_) {
    const uint64_t n = struct_fields_owed(now_ns);
    if (n > 0) publish(static_cast<unsigned>(n), stamp);
  }
  last_tick_ns_ = now_ns;
  if (!pending_retransmits_.empty()) serve_due_retransmits(now_ns);
  if (cfg_.raw_rate && raw_feed_on_) {
    uint64_t owed = cfg_.raw_rate * elapsed / 1000000000ULL;
    uint64_t cap = cfg_.raw_rate / 5 + 10;
    if (owed > raw_done_ + cap) raw_done_ = owed - cap;
    if (owed > raw_done_) {
      unsigned n = static_cast<unsigned>(owed - raw_done_);
      publish_raw(1, n, stamp);
      publish_raw(2, n, stamp);
      raw_done_ = owed;
    }
  }
}

void SimServerImp::publish(unsigned fields, uint64_t stamp) {
  if (!struct_feed_ || fields == 0) return;
  unsigned skipped = 0;
  feed_pkt_.Begin(0, stamp);
  feed_fields_in_packet_ = 0;
  for (unsigned i = 0; i < fields; ++i) {
    rec_.Reset();
    if (!add_field(model_.Next(stamp, &rec_), stamp)) ++skipped;
  }
  flush_feed_packet();
  uint64_t last = seq_;
  count([&](SimCounters& c) {
    c.fields_published += fields;
    c.fields_skipped += skipped;
    c.last_seq = last;
  });
}

void SimServerImp::publish_snapshot(const std::string& code, uint64_t stamp) {
  rec_.Reset();
  if (!struct_feed_ || !model_.SnapshotOf(code, stamp, &rec_)) {
    log("no security %s to publish a snapshot of", code.c_str());
    return;
  }
  feed_pkt_.Begin(0, stamp);
  feed_fields_in_packet_ = 0;
  const bool sent = add_field(kFidSecuritySnapShot, stamp);
  flush_feed_packet();
  uint64_t last = seq_;
  count([&](SimCounters& c) {
    c.fields_published += 1;
    c.fields_skipped += sent ? 0 : 1;
    c.last_seq = last;
  });
}

bool SimServerImp::add_field(uint16_t id, uint64_t stamp) {
  ++seq_;
  field_.Reset();
  field_.U16(id);
  field_.U16(static_cast<uint16_t>(rec_.size()));
  field_.U64(seq_);
  field_.Bytes(rec_.data(), rec_.size());
  history_.Record(seq_, field_.data(), field_.size());
  if (skip_ > 0) {
    --skip_;
    return false;
  }
  if (feed_fields_in_packet_ > 0 && feed_pkt_.size() + field_.size() > cfg_.max_datagram) {
    flush_feed_packet();
    feed_pkt_.Begin(0, stamp);
  }
  feed_pkt_.AppendField(field_.data(), field_.size());
  ++feed_fields_in_packet_;
  return true;
}

FeedFaults::Action SimServerImp::send_feed(FeedFaults* faults, UdpMulticastSender2* sender,
                                           const char* data, size_t len, uint64_t* sent,
                                           uint64_t* errors) {
  return faults->Pass(data, len, [&](const char* d, size_t n) {
    if (sender->Write(Slice(d, n))) {
      ++*sent;
    } else {
      ++*errors;
    }
  });
}

void SimServerImp::copy_fault_counts(SimCounters* c) const {
  const FeedFaultCounts& a = struct_faults_.counts();
  const FeedFaultCounts& b = raw_faults_.counts();
  c->datagrams_lost = a.lost + b.lost;
  c->datagrams_duplicated = a.duplicated + b.duplicated;
  c->datagrams_reordered = a.reordered + b.reordered;
}

void SimServerImp::flush_feed_packet() {
  if (feed_fields_in_packet_ == 0) return;
  const char* p = feed_pkt_.Finish();
  uint64_t sent = 0, errors = 0;
  const FeedFaults::Action a =
      send_feed(&struct_faults_, &feed_, p, feed_pkt_.size(), &sent, &errors);
  const uint64_t lost = a == FeedFaults::Action::kDrop ? feed_fields_in_packet_ : 0;
  feed_fields_in_packet_ = 0;
  count([&](SimCounters& c) {
    c.datagrams_sent += sent;
    c.send_errors += errors;
    c.fields_lost += lost;
    copy_fault_counts(&c);
  });
}

void SimServerImp::publish_recorded(const std::vector<char>& datagram) {
  const char* data = datagram.data();
  const size_t len = datagram.size();
  const bool raw = len >= 2 && static_cast<unsigned char>(data[0]) == 0xF7 &&
                   static_cast<unsigned char>(data[1]) == 0xF7;
  uint64_t fields = 0;
  if (!raw) {
    StructPacket packet(16);
    const char* body = nullptr;
    if (packet.ParseInPlace(data, len, &body).complete) {
      for (StructPacket::Iterator it(body, packet.BodyLength); it.Valid(); it.Next()) {
        if (it.FieldId < kFidSecuritySnapShot || it.FieldId > kFidSHOrderDetail) continue;
        // The field as recorded, header included, cut at the end of the body.
        const size_t n = std::min<size_t>(it.FieldLength, it.Remaining());
        history_.Record(it.FieldSeq, it.Data() - StructPacket::kFieldHeaderSize,
                        StructPacket::kFieldHeaderSize + n);
        if (it.FieldSeq > seq_) seq_ = it.FieldSeq;
        ++fields;
      }
    }
  }
  // A recorded raw message counts once its last fragment is published, and
  // is kept to be replayed on request like a synthetic one.
  RawMessageJoiner::Message message;
  const bool raw_message = raw && recorded_raw_.Take(data, len, &message);
  if (raw_message) {
    raw_history_[message.exchange - 1].Record(message.seq, message.send_time, message.data,
                                              message.len);
  }
  // A recording passes through the faults like the synthetic feed.
  uint64_t sent = 0, errors = 0, lost = 0;
  if (raw ? raw_feed_on_ : struct_feed_) {
    const FeedFaults::Action a =
        raw ? send_feed(&raw_faults_, &raw_feed_, data, len, &sent, &errors)
            : send_feed(&struct_faults_, &feed_, data, len, &sent, &errors);
    if (a == FeedFaults::Action::kDrop && !raw) lost = fields;
  } else {
    ++errors;
  }
  const uint64_t last = seq_;
  count([&](SimCounters& c) {
    ++c.recorded_sent;
    c.fields_published += fields;
    c.last_seq = last;
    if (raw_message) {
      ++c.raw_messages;
      c.raw_last_seq[message.exchange - 1] = message.seq;
    }
    (raw ? c.raw_fragments : c.datagrams_sent) += sent;
    c.send_errors += errors;
    c.fields_lost += lost;
    copy_fault_counts(&c);
  });
}

void SimServerImp::publish_raw(uint8_t exchange, unsigned messages, uint64_t stamp) {
  if (!raw_feed_on_ || (exchange != 1 && exchange != 2)) return;
  const uint32_t send_time = StampTime(stamp);
  const size_t chunk =
      cfg_.max_datagram > kRawHeaderSize + 16 ? cfg_.max_datagram - kRawHeaderSize : 1024;
  uint64_t frags_sent = 0, errors = 0;
  for (unsigned m = 0; m < messages; ++m) {
    uint64_t seq = ++raw_seq_[exchange - 1];
    model_.RawMessage(exchange, seq, stamp, &raw_payload_);
    raw_history_[exchange - 1].Record(seq, send_time, raw_payload_.data(), raw_payload_.size());
    size_t nfrag = (raw_payload_.size() + chunk - 1) / chunk;
    if (nfrag == 0) nfrag = 1;
    // Order in which fragments go out; a fault changes this list.
    std::vector<size_t> order;
    for (size_t f = 0; f < nfrag; ++f) order.push_back(f);
    if (raw_fault_count_[0] > 0) {
      --raw_fault_count_[0];
      order.erase(order.begin() + (nfrag > 1 ? 1 : 0));
    } else if (raw_fault_count_[1] > 0) {
      --raw_fault_count_[1];
      order.insert(order.begin(), order.front());
    } else if (raw_fault_count_[2] > 0 && nfrag > 1) {
      --raw_fault_count_[2];
      std::swap(order[nfrag - 2], order[nfrag - 1]);
    }
    for (size_t f : order) {
      size_t off = f * chunk;
      size_t len = std::min(chunk, raw_payload_.size() - off);
      raw_pkt_.Reset();
      WriteRawHeader(&raw_pkt_, send_time, exchange, seq, static_cast<uint16_t>(f),
                     f + 1 < nfrag ? 1 : 0, static_cast<uint16_t>(len));
      raw_pkt_.Bytes(raw_payload_.data() + off, len);
      send_feed(&raw_faults_, &raw_feed_, raw_pkt_.data(), raw_pkt_.size(), &frags_sent, &errors);
    }
  }
  uint64_t last = raw_seq_[exchange - 1];
  count([&](SimCounters& c) {
    c.raw_messages += messages;
    c.raw_fragments += frags_sent;
    c.send_errors += errors;
    c.raw_last_seq[exchange - 1] = last;
    copy_fault_counts(&c);
  });
}

void SimServerImp::on_heartbeat_timer() {
  send_heartbeat(HeartbeatValue(NowStamp()));
}

void SimServerImp::send_heartbeat(uint64_t value) {
  uint64_t stamp = NowStamp();
  PacketBuilder& p = ctl_pkt_;
  p.Begin(0, stamp);
  p.BeginField(kFidHeartBeat, kSizeHeartBeat, 0);
  p.writer().U64(value);
  p.EndField();
  const char* bytes = p.Finish();
  uint64_t feed = 0, ctl = 0, errors = 0;
  if (struct_feed_ && cfg_.feed_heartbeats) {
    if (feed_.Write(Slice(bytes, p.size()))) {
      ++feed;
    } else {
      ++errors;
    }
  }
  // Raw sessions read no heartbeats.
  for (auto& kv : conns_) {
    const Conn& c = kv.second;
    if (c.logged_in && c.peer == Peer::kStruct && write(kv.first, bytes, p.size())) ++ctl;
  }
  count([&](SimCounters& c) {
    c.heartbeats_feed += feed;
    c.heartbeats_control += ctl;
    c.send_errors += errors;
  });
}

// ---------------------------------------------------------------- faults

void SimServerImp::garbage(std::vector<char>* out, unsigned bytes) {
  out->resize(bytes);
  for (unsigned i = 0; i < bytes; ++i) {
    uint8_t b = static_cast<uint8_t>(fault_rng_.Next());
    // Never a byte of either sync value: the point is to test skipping
    // noise, not to forge a packet start.
    if (b == 0x07 || b == 0xF7) b ^= 0x10;
    (*out)[i] = static_cast<char>(b);
  }
}

void SimServerImp::send_garbage_control(unsigned bytes) {
  std::vector<char> g;
  garbage(&g, bytes);
  uint64_t sent = 0;
  for (auto& kv : conns_) {
    if (write(kv.first, g.data(), g.size())) ++sent;
  }
  log("sent %u garbage bytes on %llu control connection(s)", bytes,
      static_cast<unsigned long long>(sent));
  count([&](SimCounters& c) { c.garbage_sent += sent; });
}

void SimServerImp::send_garbage_feed(unsigned bytes) {
  std::vector<char> g;
  garbage(&g, bytes);
  bool ok = false;
  if (struct_feed_) ok = feed_.Write(Slice(g.data(), g.size()));
  if (raw_feed_on_) ok = raw_feed_.Write(Slice(g.data(), g.size())) || ok;
  log("sent a %u-byte garbage datagram on the feed", bytes);
  count([&](SimCounters& c) { c.garbage_sent += ok ? 1 : 0; });
}

void SimServerImp::drop_all() {
  std::vector<KvelSession*> all;
  for (auto& kv : conns_) all.push_back(kv.first);
  log("dropping %zu control connection(s)", all.size());
  // On the loop thread CloseSession runs at once and reports through
  // OnDisconnected, which forgets the connection.
  for (KvelSession* s : all) listener_->CloseSession(s, true);
  count([&](SimCounters& c) { c.connections_dropped += all.size(); });
}

void SimServerImp::PublishNow(unsigned fields) {
  post([this, fields] { publish(fields, NowStamp()); });
}
void SimServerImp::PublishSnapshotNow(const std::string& code) {
  post([this, code] { publish_snapshot(code, NowStamp()); });
}
void SimServerImp::PublishRawNow(uint8_t exchange, unsigned messages) {
  post([this, exchange, messages] { publish_raw(exchange, messages, NowStamp()); });
}
void SimServerImp::HeartbeatNow(uint64_t value) {
  post([this, value] { send_heartbeat(value ? value : HeartbeatValue(NowStamp())); });
}
void SimServerImp::PublishRecorded(const char* data, size_t len) {
  std::vector<char> copy(data, data + len);
  post([this, copy = std::move(copy)] { publish_recorded(copy); });
}
void SimServerImp::SetLoginMode(LoginMode mode) {
  post([this, mode] { login_mode_ = mode; });
}
void SimServerImp::DropConnections() {
  post([this] { drop_all(); });
}
void SimServerImp::SendControlGarbage(unsigned bytes) {
  post([this, bytes] { send_garbage_control(bytes); });
}
void SimServerImp::SendFeedGarbage(unsigned bytes) {
  post([this, bytes] { send_garbage_feed(bytes); });
}
void SimServerImp::SkipFeed(unsigned fields) {
  post([this, fields] { skip_ += fields; });
}
void SimServerImp::InjectRawFault(RawFault fault, unsigned count) {
  post([this, fault, count] { raw_fault_count_[static_cast<int>(fault)] += count; });
}

// ---------------------------------------------------------------- facade

SimServer::SimServer(const SimConfig& cfg) : imp_(new SimServerImp(cfg)) {}
SimServer::~SimServer() {
  imp_->Stop();
}
int SimServer::Start(std::string* error) {
  return imp_->Start(error);
}
void SimServer::Stop() {
  imp_->Stop();
}
int SimServer::ListenPort() const {
  return imp_->ListenPort();
}
const SimConfig& SimServer::config() const {
  return imp_->config();
}
SimCounters SimServer::Counters() const {
  return imp_->Counters();
}
bool SimServer::WaitFor(const std::function<bool(const SimCounters&)>& pred, int timeout_ms) const {
  return imp_->WaitFor(pred, timeout_ms);
}
void SimServer::PublishNow(unsigned fields) {
  imp_->PublishNow(fields);
}
void SimServer::PublishSnapshotNow(const std::string& code) {
  imp_->PublishSnapshotNow(code);
}
void SimServer::PublishRawNow(uint8_t exchange, unsigned messages) {
  imp_->PublishRawNow(exchange, messages);
}
void SimServer::HeartbeatNow() {
  imp_->HeartbeatNow(0);
}
void SimServer::HeartbeatValueNow(uint64_t value) {
  imp_->HeartbeatNow(value);
}
void SimServer::PublishRecorded(const char* data, size_t len) {
  imp_->PublishRecorded(data, len);
}
void SimServer::SetLoginMode(LoginMode mode) {
  imp_->SetLoginMode(mode);
}
void SimServer::DropConnections() {
  imp_->DropConnections();
}
void SimServer::SendControlGarbage(unsigned bytes) {
  imp_->SendControlGarbage(bytes);
}
void SimServer::SendFeedGarbage(unsigned bytes) {
  imp_->SendFeedGarbage(bytes);
}
void SimServer::SkipFeed(unsigned fields) {
  imp_->SkipFeed(fields);
}
void SimServer::InjectRawFault(RawFault fault, unsigned count) {
  imp_->InjectRawFault(fault, count);
}

}  // namespace sim
}  // namespace zavo
