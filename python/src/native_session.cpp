#include "native_session.h"

#include <algorithm>
#include <cstring>
#include <thread>
#include <unordered_map>

namespace zavo {
namespace py {

namespace {

// Callbacks carry no user pointer, and the first system messages arrive
// before ZAVO_Open has returned the handle, so sessions are found by the
// ConnectID the binding gives each one (never reused within a process).
std::mutex g_registry_mu;
std::unordered_map<int32_t, NativeSession*> g_registry;
int32_t g_next_id = 1;

std::mutex g_abandoned_mu;
std::condition_variable g_abandoned_cv;
int g_abandoned = 0;

// The library's threads each deliver for one session; remembering the last
// lookup spares the registry lock on nearly every record. Safe because a
// session is unregistered only after ZAVO_Wait (no more callbacks for it)
// and identifiers are not reused.
thread_local int32_t t_cached_id = 0;
thread_local NativeSession* t_cached = nullptr;

int32_t register_session(NativeSession* s) {
  std::lock_guard<std::mutex> lk(g_registry_mu);
  int32_t id = g_next_id++;
  if (g_next_id <= 0) g_next_id = 1;  // after two billion sessions
  g_registry[id] = s;
  return id;
}

void unregister_session(int32_t id) {
  std::lock_guard<std::mutex> lk(g_registry_mu);
  g_registry.erase(id);
}

void copy_text(char* dst, size_t cap, const std::string& src) {
  std::memset(dst, 0, cap);
  std::memcpy(dst, src.data(), std::min(src.size(), cap - 1));
}

constexpr size_t kMaxEvents = 4096;

}  // namespace

NativeSession::NativeSession(const SessionSettings& s)
    : settings_(s),
      connect_id_(register_session(this)),
      queue_(s.queue_records, s.queue_bytes),
      rebuild_queue_(s.queue_records, s.queue_bytes) {}

NativeSession::~NativeSession() {
  // Only reached when no helper thread holds the session any more, i.e. the
  // open has finished; closing here covers a session Python never closed.
  Close();
  unregister_session(connect_id_);
}

NativeSession* NativeSession::find(int32_t connect_id) {
  if (t_cached && t_cached_id == connect_id) return t_cached;
  std::lock_guard<std::mutex> lk(g_registry_mu);
  auto it = g_registry.find(connect_id);
  if (it == g_registry.end()) return nullptr;
  t_cached_id = connect_id;
  t_cached = it->second;
  return it->second;
}

void NativeSession::on_data_cb(void*, const ZAVO_MSG* msg) {
  if (!msg) return;
  if (NativeSession* s = find(msg->ConnectID)) s->on_data(*msg);
}

void NativeSession::on_system_cb(void*, const ZAVO_MSG* msg) {
  if (!msg) return;
  if (NativeSession* s = find(msg->ConnectID)) s->on_system(*msg);
}

void NativeSession::on_rebuild_cb(void*, const ZAVO_MSG* msg) {
  if (!msg) return;
  if (NativeSession* s = find(msg->ConnectID)) s->on_rebuild(*msg);
}

// ------------------------------------------------------------------ open

void NativeSession::StartOpen() {
  {
    std::lock_guard<std::mutex> lk(state_mu_);
    if (state_ != State::kNew) return;
    state_ = State::kOpening;
  }
  // The helper owns a reference, so the session outlives an abandoned open.
  std::shared_ptr<NativeSession> self = shared_from_this();
  std::thread([self] { self->run_open(); }).detach();
}

void NativeSession::run_open() {
  ZAVO_ERROR err = ZAVO_SUCCESS;
  ZAVO_HANDLE h = nullptr;
  const SessionSettings& s = settings_;
  if (!s.raw) {
    ZAVO_OpenSetting o;
    std::memset(&o, 0, sizeof o);
    o.ConnectID = connect_id_;
    copy_text(o.MulticastIP, sizeof o.MulticastIP, s.group_ip);
    o.MulticastPort = s.group_port;
    copy_text(o.LocalIP, sizeof o.LocalIP, s.local_ip);
    copy_text(o.ServerIP, sizeof o.ServerIP, s.server_ip);
    o.ServerPort = s.server_port;
    copy_text(o.UserName, sizeof o.UserName, s.user);
    copy_text(o.Password, sizeof o.Password, s.password);
    o.DataHandler = &NativeSession::on_data_cb;
    o.SystemHandler = &NativeSession::on_system_cb;
    o.SubscribedMarkets = s.markets.c_str();
    o.SubscribedCodes = s.codes.c_str();
    o.SubscribeFlags = s.flags;
    o.CpuID = s.cpu;
    h = ZAVO_Open(&o, &err);
  } else {
    ZAVO_RawOpenSetting o;
    std::memset(&o, 0, sizeof o);
    o.ConnectID = connect_id_;
    copy_text(o.MulticastIP, sizeof o.MulticastIP, s.group_ip);
    o.MulticastPort = s.group_port;
    copy_text(o.LocalIP, sizeof o.LocalIP, s.local_ip);
    copy_text(o.ServerIP, sizeof o.ServerIP, s.server_ip);
    o.ServerPort = s.server_port;
    copy_text(o.UserName, sizeof o.UserName, s.user);
    copy_text(o.Password, sizeof o.Password, s.password);
    o.DataHandler = &NativeSession::on_data_cb;
    o.SystemHandler = &NativeSession::on_system_cb;
    o.SubscribedMarkets = s.markets.c_str();
    o.CpuID = s.cpu;
    h = ZAVO_OpenRaw(&o, &err);
  }
  if (!h && err == ZAVO_SUCCESS) err = ZAVO_ERR_NETWORK;
  bool abandoned = false;
  {
    std::lock_guard<std::mutex> lk(state_mu_);
    handle_ = h;
    open_error_ = h ? 0 : static_cast<int>(err);
    // A close that came while the library was still opening is honoured
    // now that there is a handle to close.
    bool close_asked = state_ == State::kClosing;
    state_ = h ? State::kOpen : State::kFailed;
    abandoned = abandoned_ || close_asked;
  }
  state_cv_.notify_all();
  if (abandoned) {
    Close();
    std::lock_guard<std::mutex> lk(g_abandoned_mu);
    --g_abandoned;
    g_abandoned_cv.notify_all();
  }
}

bool NativeSession::WaitOpen(std::chrono::milliseconds timeout, int* error) {
  std::unique_lock<std::mutex> lk(state_mu_);
  bool done = state_cv_.wait_for(lk, timeout, [this] { return state_ != State::kOpening; });
  if (done && error) *error = open_error_;
  return done;
}

void NativeSession::Abandon() {
  {
    std::lock_guard<std::mutex> lk(state_mu_);
    if (state_ != State::kOpening || abandoned_) return;
    abandoned_ = true;
  }
  std::lock_guard<std::mutex> lk(g_abandoned_mu);
  ++g_abandoned;
}

void NativeSession::WaitAbandoned(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lk(g_abandoned_mu);
  g_abandoned_cv.wait_for(lk, timeout, [] { return g_abandoned == 0; });
}

// ----------------------------------------------------------------- close

void NativeSession::Close() {
  queue_.Close();
  rebuild_queue_.Close();
  {
    std::lock_guard<std::mutex> rb(rb_mu_);
    rb_active_ = false;
  }
  rb_cv_.notify_all();
  ZAVO_HANDLE h = nullptr;
  {
    std::unique_lock<std::mutex> lk(state_mu_);
    switch (state_) {
      case State::kNew:
      case State::kFailed:
        state_ = State::kClosed;
        state_cv_.notify_all();
        return;
      case State::kOpening:
        // The helper closes once the library hands out the handle.
        state_ = State::kClosing;
        abandoned_ = true;
        return;
      case State::kClosing:
      case State::kClosed:
        return;
      case State::kOpen:
        state_ = State::kClosing;
        h = handle_;
        break;
    }
    // A query or request that already has the handle finishes first: the
    // handle is invalid once ZAVO_Wait returns.
    state_cv_.wait(lk, [this] { return users_ == 0; });
  }
  // The library may still call the handlers until ZAVO_Wait returns; they
  // only reach closed queues by then.
  ZAVO_Close(h);
  ZAVO_Wait(h);
  {
    std::lock_guard<std::mutex> lk(state_mu_);
    handle_ = nullptr;
    state_ = State::kClosed;
  }
  state_cv_.notify_all();
}

bool NativeSession::WaitClosed(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lk(state_mu_);
  return state_cv_.wait_for(lk, timeout, [this] {
    return state_ == State::kClosed || state_ == State::kFailed || state_ == State::kNew;
  });
}

NativeSession::State NativeSession::state() const {
  std::lock_guard<std::mutex> lk(state_mu_);
  return state_;
}

// ------------------------------------------------------------- data path

void NativeSession::note_seq(int lane, uint64_t seq) {
  uint64_t last = last_seq_[lane];
  if (last != 0 && seq > last + 1) {
    gaps_.fetch_add(1, std::memory_order_relaxed);
    missing_.fetch_add(seq - last - 1, std::memory_order_relaxed);
  }
  // A lower number is a new day or a restarted server: start over from it.
  last_seq_[lane] = seq;
}

void NativeSession::on_data(const ZAVO_MSG& m) {
  if (m.MsgType == ZAVO_MSG_LOST_RANGE && m.MsgData && m.MsgSize >= sizeof(ZAVO_LostRange)) {
    // What recovery could not bring back, in its place: an event, and the
    // stream's sequence goes on after it without a gap.
    ZAVO_LostRange r;
    std::memcpy(&r, m.MsgData, sizeof r);
    if (r.EndSeq > last_seq_[0] + 1) last_seq_[0] = r.EndSeq - 1;
    on_system(m);
    return;
  }
  if (m.MsgType >= ZAVO_MSG_INDEX_SNAPSHOT && m.MsgType <= ZAVO_MSG_SH_ORDER_DETAIL) {
    by_kind_[m.MsgType - ZAVO_MSG_INDEX_SNAPSHOT].fetch_add(1, std::memory_order_relaxed);
    note_seq(0, m.SeqNum);
    // The books first: a record the queue drops for a slow reader is still
    // part of the market, and a book that missed it would be wrong without
    // knowing it.
    if (has_books_.load(std::memory_order_acquire)) {
      std::lock_guard<std::mutex> lk(books_mu_);
      for (const auto& b : books_) b->Apply(m);
    }
    queue_.Push(m.MsgType, m.SeqNum, m.MsgTime, m.MsgData, m.MsgSize);
  } else if (m.MsgType == ZAVO_MSG_RAW_DATA && m.MsgData) {
    const auto& ref = *static_cast<const ZAVO_RawDataRef*>(m.MsgData);
    int ex = ref.ExchangeID == '1' ? 0 : ref.ExchangeID == '2' ? 1 : -1;
    by_kind_[7].fetch_add(1, std::memory_order_relaxed);
    if (ex >= 0) {
      raw_by_exchange_[ex].fetch_add(1, std::memory_order_relaxed);
      note_seq(1 + ex, m.SeqNum);
    }
    uint32_t kind =
        ZAVO_MSG_RAW_DATA | (static_cast<uint32_t>(static_cast<uint8_t>(ref.ExchangeID)) << 16);
    queue_.Push(kind, m.SeqNum, m.MsgTime, ref.Data, ref.Data ? ref.Length : 0);
  }
}

void NativeSession::on_rebuild(const ZAVO_MSG& m) {
  if (m.MsgType != ZAVO_MSG_RAW_DATA && has_books_.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> lk(books_mu_);
    for (const auto& b : books_) b->ApplyResent(m);
  }
  {
    std::lock_guard<std::mutex> lk(rb_mu_);
    if (!rb_active_) return;
  }
  if (m.MsgType == ZAVO_MSG_RAW_DATA && m.MsgData) {
    const auto& ref = *static_cast<const ZAVO_RawDataRef*>(m.MsgData);
    uint32_t kind =
        ZAVO_MSG_RAW_DATA | (static_cast<uint32_t>(static_cast<uint8_t>(ref.ExchangeID)) << 16);
    rebuild_queue_.Push(kind, m.SeqNum, m.MsgTime, ref.Data, ref.Data ? ref.Length : 0);
  } else {
    rebuild_queue_.Push(m.MsgType, m.SeqNum, m.MsgTime, m.MsgData, m.MsgData ? m.MsgSize : 0);
  }
}

void NativeSession::on_system(const ZAVO_MSG& m) {
  if (m.MsgType == ZAVO_MSG_FEED_STATS) {
    // Once a second: kept as the newest counters, not as an event.
    if (m.MsgData && m.MsgSize >= sizeof(ZAVO_FeedStats)) {
      std::lock_guard<std::mutex> lk(feed_mu_);
      std::memcpy(&feed_stats_, m.MsgData, sizeof feed_stats_);
      have_feed_ = true;
    }
    return;
  }
  SystemEvent e;
  e.kind = m.MsgType;
  e.time = m.MsgTime;
  if (m.MsgData && m.MsgSize) {
    e.record.assign(static_cast<const char*>(m.MsgData), std::min<uint32_t>(m.MsgSize, 4096));
  }
  if (m.MsgType == ZAVO_MSG_REBUILD_FINISH && e.record.size() >= sizeof(ZAVO_RebuildResult)) {
    ZAVO_RebuildResult r;
    std::memcpy(&r, e.record.data(), sizeof r);
    bool wake = false;
    {
      std::lock_guard<std::mutex> lk(rb_mu_);
      if (rb_active_ && r.BeginSeq == rb_begin_ && r.EndSeq == rb_end_) {
        rb_done_ = true;
        rb_status_ = r.Status;
        rb_active_ = false;
        wake = true;
      }
    }
    if (wake) rb_cv_.notify_all();
  }
  {
    std::lock_guard<std::mutex> lk(ev_mu_);
    e.index = next_event_++;
    events_.push_back(std::move(e));
    if (events_.size() > kMaxEvents) events_.pop_front();
  }
  ev_cv_.notify_all();
}

std::vector<SystemEvent> NativeSession::Events(uint64_t since) const {
  std::lock_guard<std::mutex> lk(ev_mu_);
  std::vector<SystemEvent> out;
  for (const SystemEvent& e : events_) {
    if (e.index >= since) out.push_back(e);
  }
  return out;
}

bool NativeSession::WaitEvent(uint32_t kind, uint64_t since, std::chrono::milliseconds timeout,
                              SystemEvent* out) {
  std::unique_lock<std::mutex> lk(ev_mu_);
  auto match = [&] {
    for (const SystemEvent& e : events_) {
      if (e.index >= since && (kind == 0 || e.kind == kind)) {
        *out = e;
        return true;
      }
    }
    return false;
  };
  return ev_cv_.wait_for(lk, timeout, match);
}

// --------------------------------------------------------------- rebuild

ZAVO_HANDLE NativeSession::use_handle() {
  std::lock_guard<std::mutex> lk(state_mu_);
  if (state_ != State::kOpen) return nullptr;
  ++users_;
  return handle_;
}

void NativeSession::release_handle() {
  {
    std::lock_guard<std::mutex> lk(state_mu_);
    --users_;
  }
  state_cv_.notify_all();
}

namespace {

// Releases the handle taken by use_handle at the end of a scope.
class HandleUse {
 public:
  HandleUse(ZAVO_HANDLE h, NativeSession* s) : h_(h), s_(s) {}
  ~HandleUse() {
    if (h_) s_->release_handle();
  }
  HandleUse(const HandleUse&) = delete;
  HandleUse& operator=(const HandleUse&) = delete;

 private:
  ZAVO_HANDLE h_;
  NativeSession* s_;
};

}  // namespace

int NativeSession::StartRebuild(char market, uint64_t begin, uint64_t end) {
  ZAVO_HANDLE h = use_handle();
  if (!h) return ZAVO_ERR_INVALID;
  HandleUse use(h, this);
  rebuild_queue_.Clear();
  rebuild_queue_.Reopen();
  {
    std::lock_guard<std::mutex> lk(rb_mu_);
    rb_active_ = true;
    rb_done_ = false;
    rb_begin_ = begin;
    rb_end_ = end;
    rb_status_ = 0;
  }
  ZAVO_ERROR e = settings_.raw ? ZAVO_RebuildRawData(h, market, begin, end, &on_rebuild_cb)
                               : ZAVO_RebuildStructData(h, begin, end, &on_rebuild_cb);
  if (e != ZAVO_SUCCESS) CancelRebuild();
  return e;
}

bool NativeSession::WaitRebuild(std::chrono::milliseconds timeout, uint32_t* status) {
  std::unique_lock<std::mutex> lk(rb_mu_);
  bool done = rb_cv_.wait_for(lk, timeout, [this] { return rb_done_ || !rb_active_; });
  if (done && status) *status = rb_status_;
  return done;
}

void NativeSession::CancelRebuild() {
  {
    std::lock_guard<std::mutex> lk(rb_mu_);
    rb_active_ = false;
  }
  rb_cv_.notify_all();
}

// --------------------------------------------------------------- queries

int NativeSession::CodeTable(const std::string& market, std::string* out) {
  ZAVO_HANDLE h = use_handle();
  if (!h) return ZAVO_ERR_INVALID;
  HandleUse use(h, this);
  ZAVO_CODEINFO* table = nullptr;
  unsigned int count = 0;
  int e = ZAVO_GetCodeTable(h, market.c_str(), &table, &count);
  if (e == ZAVO_SUCCESS && table) {
    out->assign(reinterpret_cast<const char*>(table), count * sizeof(ZAVO_CODEINFO));
  }
  ZAVO_Free(table);
  return e;
}

int NativeSession::OptionInfo(const std::string& code, std::string* out) {
  ZAVO_HANDLE h = use_handle();
  if (!h) return ZAVO_ERR_INVALID;
  HandleUse use(h, this);
  ZAVO_OPTION_CODEINFO info;
  std::memset(&info, 0, sizeof info);
  int e = ZAVO_GetOptionCodeInfo(h, code.c_str(), &info);
  if (e == ZAVO_SUCCESS) out->assign(reinterpret_cast<const char*>(&info), sizeof info);
  return e;
}

namespace {

template <class T, class F>
int copy_last(ZAVO_HANDLE h, const std::string& market, F get, std::string* out) {
  T* data = nullptr;
  int count = 0;
  int e = get(h, market.c_str(), &data, &count);
  if (e == ZAVO_SUCCESS && data && count > 0) {
    out->assign(reinterpret_cast<const char*>(data), static_cast<size_t>(count) * sizeof(T));
  }
  ZAVO_Free(data);
  return e;
}

}  // namespace

int NativeSession::LastData(uint32_t kind, const std::string& market, std::string* out) {
  ZAVO_HANDLE h = use_handle();
  if (!h) return ZAVO_ERR_INVALID;
  HandleUse use(h, this);
  switch (kind) {
    case ZAVO_MSG_SECURITY_SNAPSHOT:
      return copy_last<ZAVO_SecuritySnapShot>(h, market, &ZAVO_GetLastMarketData, out);
    case ZAVO_MSG_INDEX_SNAPSHOT:
      return copy_last<ZAVO_IndexSnapShot>(h, market, &ZAVO_GetLastIndexData, out);
    case ZAVO_MSG_FUTURE_SNAPSHOT:
      return copy_last<ZAVO_FutureSnapShot>(h, market, &ZAVO_GetLastFutureData, out);
    default:
      return ZAVO_ERR_INVALID;
  }
}

int NativeSession::UpdateSubscription(int mode, const std::string& codes) {
  ZAVO_HANDLE h = use_handle();
  if (!h) return ZAVO_ERR_INVALID;
  HandleUse use(h, this);
  return ZAVO_UpdateSubscription(h, static_cast<ZAVO_SUBSCRIPTION_UPDATE>(mode), codes.c_str());
}

void NativeSession::AttachBook(std::shared_ptr<NativeBook> book) {
  std::lock_guard<std::mutex> lk(books_mu_);
  books_.push_back(std::move(book));
  has_books_.store(true, std::memory_order_release);
}

void NativeSession::DetachBook(const NativeBook* book) {
  std::lock_guard<std::mutex> lk(books_mu_);
  books_.erase(
      std::remove_if(books_.begin(), books_.end(),
                     [book](const std::shared_ptr<NativeBook>& b) { return b.get() == book; }),
      books_.end());
  has_books_.store(!books_.empty(), std::memory_order_release);
}

SessionCounters NativeSession::Counters() const {
  SessionCounters c;
  for (int i = 0; i < 8; ++i) c.by_kind[i] = by_kind_[i].load(std::memory_order_relaxed);
  for (int i = 0; i < 2; ++i) {
    c.raw_by_exchange[i] = raw_by_exchange_[i].load(std::memory_order_relaxed);
  }
  c.gaps = gaps_.load(std::memory_order_relaxed);
  c.missing = missing_.load(std::memory_order_relaxed);
  c.dropped = queue_.dropped();
  c.rebuild_dropped = rebuild_queue_.dropped();
  c.queued = queue_.size();
  std::lock_guard<std::mutex> lk(feed_mu_);
  c.have_feed = have_feed_;
  c.feed = feed_stats_;
  return c;
}

}  // namespace py
}  // namespace zavo
