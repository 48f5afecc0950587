#include "api/feed_recovery.h"

#include <chrono>
#include <cinttypes>
#include <cstring>

#include "api/api_imp.h"
#include "api/control_channel.h"
#include "api/struct_decoder.h"
#include "net/ev_loop.h"
#include "net/ev_timer.h"
#include "util/logger.h"

namespace zavo {

namespace {

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// What of a request the server did not send is lost for this reason.
uint32_t ReasonOfEnd(uint32_t status) {
  if (status == ZAVO_REBUILD_ABANDONED) return ZAVO_LOST_ABANDONED;
  // The server's status 3 is a refusal; 1 and 2 (and a complete answer
  // that still left numbers out) mean it does not have them.
  return status == 3 ? ZAVO_LOST_REFUSED : ZAVO_LOST_UNAVAILABLE;
}

}  // namespace

void FeedRecovery::ReplyHandler(void*, const ZAVO_MSG*) {}

// The decoder's sink while recovery or the counters are on: sees every
// field's number before the filter.
class FeedRecovery::Sink final : public RecordSink {
 public:
  Sink(FeedRecovery* owner, RecordSink* plain, bool recovered)
      : RecordSink(true), owner_(owner), plain_(plain), recovered_(recovered) {}
  void OnField(uint16_t, uint64_t seq) override { owner_->on_field(seq, recovered_); }
  void OnRecord(uint32_t kind, uint32_t size, uint32_t msg_time, uint64_t seq,
                const void* record) override {
    owner_->on_record(kind, size, msg_time, seq, record, plain_);
  }
  void OnBaseInfoFinish(const ZAVO_BaseInfoFinish& finish) override {
    if (plain_ != nullptr) plain_->OnBaseInfoFinish(finish);
  }
  void OnNewDay() override {
    owner_->on_new_day_here();
    if (plain_ != nullptr) plain_->OnNewDay();
  }

 private:
  FeedRecovery* owner_;
  RecordSink* plain_;
  bool recovered_;
};

FeedRecovery::FeedRecovery(const Parts& parts, uint32_t flags)
    : parts_(parts),
      stats_((flags & ZAVO_FLAG_FEED_STATS) != 0),
      connect_id_(parts.api->ConnectID()) {
  if (flags & ZAVO_FLAG_RECOVER_GAPS) {
    const GapRecovery::Limits limits = GapRecovery::Limits::FromEnvironment();
    recovery_.reset(new GapRecovery(limits, this));
    ZAVO_LOG("%p[%s] Gap recovery on: holding at most %llu bytes for %lld ms",
             static_cast<const void*>(parts_.api), parts_.api->ClassName(),
             static_cast<unsigned long long>(limits.hold_bytes),
             static_cast<long long>(limits.hold_ms));
  }
}

FeedRecovery::~FeedRecovery() {
  // Normally the session's threads have ended; the loop in particular, so
  // the timer's callback cannot run any more.
  EvTimer::Release(timer_);
  if (recovery_ == nullptr) return;
  const GapTracker& t = recovery_->tracker();
  const size_t held = recovery_->Discard();
  if (held == 0 && !t.holding() && dropped_at_close_ == 0) return;
  ZAVO_LOG(
      "%p[%s] Gap recovery ended by close: %llu held records not delivered, %llu records "
      "dropped after close, %llu ranges still missing from %llu",
      static_cast<const void*>(parts_.api), parts_.api->ClassName(),
      static_cast<unsigned long long>(held), static_cast<unsigned long long>(dropped_at_close_),
      static_cast<unsigned long long>(t.missing().size()),
      static_cast<unsigned long long>(t.holding() ? t.front().begin : 0));
}

void FeedRecovery::Start() {
  EvLoop* loop = parts_.control->loop();
  (void)loop->Post([this, loop] {
    last_stats_ms_ = SteadyMs();
    timer_ = new EvTimer(loop, kTickMs, [this](EvTimer*, const Timestamp&) { on_tick(); });
    timer_->Restart(0);
  });
}

// ------------------------------------------------------------ processing

void FeedRecovery::ProcessDatagram(const char* data, size_t size, const timespec& taken_at,
                                   RecordSink& plain) {
  now_ms_ = SteadyMs();
  ++datagrams_;
  bytes_ += size;
  Sink sink(this, &plain, false);
  parts_.decoder->ProcessDatagram(data, size, taken_at, sink);
  if (recovery_ != nullptr) recovery_->Flush(now_ms_);
  after_work();
}

void FeedRecovery::on_field(uint64_t seq, bool recovered) {
  if (recovery_ != nullptr) {
    recovery_->OnField(seq, recovered, now_ms_);
    return;
  }
  // Counters only: holes are counted, nothing is held or dropped.
  ++fields_;
  if (next_seq_ != 0 && seq > next_seq_) {
    ++gaps_;
    missing_ += seq - next_seq_;
  } else if (next_seq_ != 0 && seq < next_seq_) {
    ++duplicates_;
  }
  if (seq >= next_seq_) next_seq_ = seq + 1;
}

void FeedRecovery::on_record(uint32_t kind, uint32_t size, uint32_t msg_time, uint64_t seq,
                             const void* record, RecordSink* plain) {
  if (recovery_ != nullptr) {
    recovery_->OnRecord(kind, size, msg_time, seq, record);
    return;
  }
  ++delivered_;
  if (plain != nullptr) plain->OnRecord(kind, size, msg_time, seq, record);
}

void FeedRecovery::on_new_day_here() {
  if (recovery_ != nullptr) recovery_->EndAll(ZAVO_LOST_NEW_DAY);
  next_seq_ = 0;
}

void FeedRecovery::Deliver(uint32_t kind, uint32_t size, uint32_t msg_time, uint64_t seq,
                           const void* record) {
  // Held and recovered records wait past the moment a handler may close
  // the session: after Close nothing more is delivered.
  if (parts_.api->lifecycle().IsClosing()) {
    ++dropped_at_close_;
    return;
  }
  parts_.api->deliver_marked(parts_.api->data_handler(), connect_id_, kind, size, msg_time, seq,
                             record);
}

void FeedRecovery::Lost(uint64_t begin, uint64_t end, uint32_t reason) {
  ZAVO_LOG("%p[%s] Fields [%" PRIu64 ", %" PRIu64 ") lost (reason %u)",
           static_cast<const void*>(parts_.api), parts_.api->ClassName(), begin, end, reason);
  if (parts_.api->lifecycle().IsClosing()) return;
  ZAVO_LostRange lost;
  std::memset(&lost, 0, sizeof(lost));
  lost.BeginSeq = begin;
  lost.EndSeq = end;
  lost.Reason = reason;
  parts_.api->deliver_marked(parts_.api->data_handler(), connect_id_, ZAVO_MSG_LOST_RANGE,
                             sizeof(lost), local_time_of_day_ms(), end - 1, &lost);
}

bool FeedRecovery::Request(uint64_t begin, uint64_t end) {
  // Sent from the loop thread, so the processing thread never waits for
  // it; a request that cannot go out comes back as kFailed.
  return parts_.control->loop()->Post([this, begin, end] {
    const ZAVO_ERROR rc = parts_.api->Rebuild(begin, end, ReplyHandler);
    if (rc == ZAVO_SUCCESS) return;
    Event e;
    e.kind = Event::kFailed;
    e.status = static_cast<uint32_t>(rc);
    push(std::move(e));
  });
}

void FeedRecovery::RunSideWork() {
  {
    std::lock_guard<std::mutex> lock(inbox_mu_);
    work_.swap(inbox_);
  }
  now_ms_ = SteadyMs();
  if (recovery_ == nullptr) {
    work_.clear();
    return;
  }
  // Only handlers run user code on this thread.
  HandlerMark mark(parts_.api);
  timespec taken_at;
  clock_gettime(CLOCK_REALTIME, &taken_at);
  for (Event& e : work_) {
    switch (e.kind) {
      case Event::kPacket: {
        Sink sink(this, nullptr, true);
        parts_.decoder->ProcessRecoveredBody(e.body.data(), static_cast<unsigned>(e.body.size()),
                                             e.packet_time, taken_at, sink);
        break;
      }
      case Event::kEnd:
        recovery_->OnRequestEnd(ReasonOfEnd(e.status), now_ms_);
        break;
      case Event::kFailed:
        recovery_->OnRequestFailed(now_ms_);
        break;
      case Event::kNewDay:
        recovery_->EndAll(ZAVO_LOST_NEW_DAY);
        break;
    }
  }
  work_.clear();
  recovery_->Flush(now_ms_);
  after_work();
}

void FeedRecovery::after_work() {
  if (recovery_ != nullptr) {
    const bool active = recovery_->active();
    parts_.feed->SetPromptWake(active);
    if (active != active_.load(std::memory_order_relaxed)) {
      active_.store(active, std::memory_order_relaxed);
    }
  }
  if (stats_) publish();
}

void FeedRecovery::publish() {
  // One writer: plain relaxed stores, no read-modify-write.
  auto put = [](std::atomic<uint64_t>& to, uint64_t v) { to.store(v, std::memory_order_relaxed); };
  put(published_.datagrams, datagrams_);
  put(published_.bytes, bytes_);
  published_.last_datagram_ms.store(datagrams_ > 0 ? now_ms_ : -1, std::memory_order_relaxed);
  if (recovery_ != nullptr) {
    const GapRecovery::Counters c = recovery_->counters();
    put(published_.fields, c.fields);
    put(published_.delivered, c.delivered);
    put(published_.filtered, c.accepted > c.delivered ? c.accepted - c.delivered : 0);
    put(published_.gaps, c.gaps);
    put(published_.missing, c.missing);
    put(published_.recovered, c.recovered);
    put(published_.lost, c.lost);
    put(published_.duplicates, c.duplicates);
    put(published_.held_peak, c.held_peak_bytes);
  } else {
    put(published_.fields, fields_);
    put(published_.delivered, delivered_);
    put(published_.filtered, fields_ > delivered_ ? fields_ - delivered_ : 0);
    put(published_.gaps, gaps_);
    put(published_.missing, missing_);
    put(published_.duplicates, duplicates_);
  }
}

// ------------------------------------------------------------ loop thread

void FeedRecovery::push(Event&& e) {
  {
    std::lock_guard<std::mutex> lock(inbox_mu_);
    inbox_.push_back(std::move(e));
  }
  parts_.feed->PostSideWork();
}

void FeedRecovery::OnReplyPacket(const StructPacket& packet) {
  Event e;
  e.kind = Event::kPacket;
  e.packet_time = packet.PacketTime;
  e.body.assign(packet.Body(), packet.BodySize());
  push(std::move(e));
}

void FeedRecovery::OnReplyEnd(uint32_t status) {
  Event e;
  e.kind = Event::kEnd;
  e.status = status;
  push(std::move(e));
}

void FeedRecovery::OnNewDayElsewhere() {
  if (recovery_ == nullptr) return;
  Event e;
  e.kind = Event::kNewDay;
  push(std::move(e));
}

void FeedRecovery::on_tick() {
  // A quiet feed brings no datagram to move recovery on: the time bound
  // and the retries need the processing thread now and then.
  if (recovery_ != nullptr && active_.load(std::memory_order_relaxed)) parts_.feed->PostSideWork();
  const int64_t now = SteadyMs();
  if (stats_ && now - last_stats_ms_ >= kStatsIntervalMs) {
    last_stats_ms_ = now;
    const ZAVO_FeedStats stats = Stats();
    parts_.api->deliver_system(ZAVO_MSG_FEED_STATS, sizeof(stats), &stats);
  }
  if (!parts_.api->lifecycle().IsClosing()) timer_->Restart(0);
}

ZAVO_FeedStats FeedRecovery::Stats() const {
  ZAVO_FeedStats s;
  std::memset(&s, 0, sizeof(s));
  auto get = [](const std::atomic<uint64_t>& v) { return v.load(std::memory_order_relaxed); };
  s.Datagrams = get(published_.datagrams);
  s.Bytes = get(published_.bytes);
  s.Fields = get(published_.fields);
  s.Delivered = get(published_.delivered);
  s.Filtered = get(published_.filtered);
  s.Gaps = get(published_.gaps);
  s.Missing = get(published_.missing);
  s.Recovered = get(published_.recovered);
  s.Lost = get(published_.lost);
  s.Duplicates = get(published_.duplicates);
  s.QueueDrops = parts_.feed->dropped();
  s.QueuePeakBytes = parts_.feed->peak_queued_bytes();
  s.TakeOvers = parts_.feed->takeovers();
  s.KernelDrops = parts_.kernel_drops != nullptr ? get(*parts_.kernel_drops) : 0;
  s.Reconnects = parts_.control->connections_lost();
  s.HeldPeakBytes = get(published_.held_peak);
  const int64_t last = published_.last_datagram_ms.load(std::memory_order_relaxed);
  const int64_t age = last < 0 ? -1 : SteadyMs() - last;
  s.LastDatagramAgeMs = age < 0 || age > 0xFFFFFFFELL ? 0xFFFFFFFFu : static_cast<uint32_t>(age);
  return s;
}

}  // namespace zavo
