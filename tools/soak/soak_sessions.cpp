#include "soak_sessions.h"

#include <chrono>
#include <thread>

namespace zavo_soak {

namespace {
constexpr int kMaxSessions = 512;
std::atomic<SessionState*> g_sessions[kMaxSessions] = {};
std::atomic<uint64_t> g_orphans{0};
}  // namespace

SessionState::SessionState(int connect_id, bool raw) : connect_id_(connect_id), raw_(raw) {
  if (connect_id_ >= 0 && connect_id_ < kMaxSessions) g_sessions[connect_id_].store(this);
}

SessionState::~SessionState() {
  if (connect_id_ >= 0 && connect_id_ < kMaxSessions) g_sessions[connect_id_].store(nullptr);
}

SessionState* SessionState::find(int connect_id) {
  if (connect_id < 0 || connect_id >= kMaxSessions) return nullptr;
  return g_sessions[connect_id].load();
}

uint64_t SessionState::Orphans() {
  return g_orphans.load();
}

int SessionState::stream_of(const ZAVO_MSG* msg) {
  if (msg->MsgType != ZAVO_MSG_RAW_DATA || msg->MsgData == nullptr) return 0;
  const auto* ref = static_cast<const ZAVO_RawDataRef*>(msg->MsgData);
  return ref->ExchangeID == '1' ? 1 : 2;
}

void SessionState::OnData(void*, const ZAVO_MSG* msg) {
  if (SessionState* s = find(msg->ConnectID)) {
    s->on_data(msg);
  } else {
    g_orphans.fetch_add(1);
  }
}

void SessionState::OnSystem(void*, const ZAVO_MSG* msg) {
  if (SessionState* s = find(msg->ConnectID)) {
    s->on_system(msg);
  } else {
    g_orphans.fetch_add(1);
  }
}

void SessionState::OnRebuild(void*, const ZAVO_MSG* msg) {
  if (SessionState* s = find(msg->ConnectID)) {
    s->on_rebuild(msg);
  } else {
    g_orphans.fetch_add(1);
  }
}

void SessionState::on_data(const ZAVO_MSG* msg) {
  if (msg->MsgType == ZAVO_MSG_LOST_RANGE && msg->MsgData != nullptr) {
    const auto& lost = *static_cast<const ZAVO_LostRange*>(msg->MsgData);
    stats_.OnLost(lost);
    // The range is behind the stream now: it ends the span that
    // delivered + lost must cover.
    if (lost.EndSeq - 1 > last_seq_[0].load(std::memory_order_relaxed)) {
      last_seq_[0].store(lost.EndSeq - 1);
    }
    notify();
    return;
  }
  const int stream = stream_of(msg);
  const uint64_t seq = msg->SeqNum;
  const uint64_t skipped = stats_.OnRecord(msg->MsgType, seq, stream);
  if (zavo_tail::FeedStats::SlotOf(msg->MsgType) >= 0) {
    if (first_seq_[stream].load(std::memory_order_relaxed) == 0) first_seq_[stream].store(seq);
    if (seq > last_seq_[stream].load(std::memory_order_relaxed)) last_seq_[stream].store(seq);
    delivered_[stream].fetch_add(1, std::memory_order_relaxed);
  }
  if (skipped > 0) {
    missing_[stream].fetch_add(skipped, std::memory_order_relaxed);
    gap_begin_[stream].store(seq - skipped);
    gap_end_[stream].store(seq);
    notify();
  }
  const int delay = delay_us_.load(std::memory_order_relaxed);
  if (delay > 0) {
    std::this_thread::sleep_for(std::chrono::microseconds(delay));
    if (delay > max_delay_us_.load(std::memory_order_relaxed)) max_delay_us_.store(delay);
  }
}

void SessionState::on_system(const ZAVO_MSG* msg) {
  switch (msg->MsgType) {
    case ZAVO_MSG_CONNECT:
      connects_.fetch_add(1);
      break;
    case ZAVO_MSG_DISCONNECT:
      disconnects_.fetch_add(1);
      break;
    case ZAVO_MSG_LOGIN: {
      const auto* r = static_cast<const ZAVO_LoginResult*>(msg->MsgData);
      if (r != nullptr && r->ErrorID == 0) {
        logins_ok_.fetch_add(1);
      } else {
        logins_refused_.fetch_add(1);
      }
      break;
    }
    case ZAVO_MSG_BASEINFO_FINISH:
      base_info_.fetch_add(1);
      break;
    case ZAVO_MSG_REBUILD_FINISH: {
      const auto* r = static_cast<const ZAVO_RebuildResult*>(msg->MsgData);
      if (r != nullptr) last_rebuild_status_.store(r->Status);
      rebuild_finished_.fetch_add(1);
      break;
    }
    default:
      break;
  }
  notify();
}

void SessionState::on_rebuild(const ZAVO_MSG* msg) {
  const int stream = stream_of(msg);
  rebuilt_total_.fetch_add(1);
  {
    std::lock_guard<std::mutex> lock(mu_);
    rebuilt_[stream].insert(msg->SeqNum);
  }
  notify();
}

void SessionState::notify() {
  { std::lock_guard<std::mutex> lock(mu_); }
  cv_.notify_all();
}

void SessionState::LastGap(int stream, uint64_t* begin, uint64_t* end) const {
  // Read end first: a gap being recorded shows as the old one or the new one
  // once both stores are visible; the caller waits for a change of count.
  *end = gap_end_[stream].load();
  *begin = gap_begin_[stream].load();
}

uint64_t SessionState::RebuiltIn(int stream, uint64_t begin, uint64_t end) const {
  std::lock_guard<std::mutex> lock(mu_);
  uint64_t n = 0;
  for (auto it = rebuilt_[stream].lower_bound(begin); it != rebuilt_[stream].end() && *it < end;
       ++it) {
    ++n;
  }
  return n;
}

void SessionState::ClearRebuilt() {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& s : rebuilt_) s.clear();
}

bool SessionState::WaitFor(const std::function<bool()>& pred, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), pred);
}

}  // namespace zavo_soak
