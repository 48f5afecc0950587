#include "soak_run.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "sim_server.h"
#include "soak_probe.h"
#include "soak_sessions.h"

namespace zavo_soak {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kStructId = 1;
constexpr int kRawId = 2;
constexpr int kRecoverId = 3;
constexpr int kCycleIdBase = 100;
// Reconnection after a drop takes the library's 5 s interval plus the login.
constexpr int kReconnectWaitMs = 15000;
constexpr const char* kGroup = "239.255.42.1";
constexpr int kPort = 16601;
constexpr int kRawPort = 16602;

#if defined(ZAVO_SANITIZED)
// Sanitizer runtimes keep freed memory in quarantine and shadow memory of
// their own; their resident size says little about the library.
constexpr int64_t kDefaultRssGrowthKb = 2048 * 1024;
constexpr int64_t kDefaultCycleGrowthKb = 512 * 1024;
#else
constexpr int64_t kDefaultRssGrowthKb = 512 * 1024;
constexpr int64_t kDefaultCycleGrowthKb = 24 * 1024;
#endif

double seconds_since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

template <size_t N>
void set_text(char (&dst)[N], const char* src) {
  std::strncpy(dst, src, N - 1);
  dst[N - 1] = '\0';
}

}  // namespace

SoakRun::SoakRun(const SoakOptions& options, const LibApi& api, SoakReport* report)
    : o_(options), api_(api), rep_(report) {
  if (o_.rss_growth_kb <= 0) o_.rss_growth_kb = kDefaultRssGrowthKb;
  if (o_.cycle_growth_kb <= 0) o_.cycle_growth_kb = kDefaultCycleGrowthKb;
}

SoakRun::~SoakRun() {
  // Sessions still open after a failed phase go before the server.
  close_session(struct_h_);
  close_session(raw_h_);
  close_session(recovering_h_);
  if (sim_) sim_->Stop();
}

void SoakRun::sample_rss() {
  const int64_t kb = ResidentKb();
  if (kb > peak_rss_kb_) peak_rss_kb_ = kb;
}

bool SoakRun::Run() {
  base_rss_kb_ = ResidentKb();
  peak_rss_kb_ = base_rss_kb_;
  if (!start_server()) return false;
  // The library's log file and its writer thread come with the first line
  // it logs: an open refused for its settings (no handlers) brings them,
  // so that the baseline holds them.
  {
    ZAVO_OpenSetting none;
    std::memset(&none, 0, sizeof(none));
    ZAVO_ERROR err = ZAVO_SUCCESS;
    ++sessions_created_;
    rep_->Check("an open without handlers is refused",
                api_.Open(&none, &err) == nullptr && err == ZAVO_ERR_INVALID, "");
  }
  base_threads_ = ThreadCount();
  base_fds_ = DescriptorCount();
  rep_->Figure(
      "start: threads / descriptors / resident",
      Format("%d / %d / %lld kB", base_threads_, base_fds_, static_cast<long long>(base_rss_kb_)));
  if (!refused_opens() || !open_long_sessions()) {
    rep_->Check("sessions opened after refusals", false, "see above");
    return false;
  }

  const auto start = Clock::now();
  // A round lasts about 6 s (17 s with a refusal); start one only when it
  // can finish close to the planned length, but always run at least one.
  while (rounds_ == 0 || seconds_since(start) + 7 < o_.seconds) {
    fault_round(++rounds_);
    sample_rss();
  }
  rep_->Figure("fault phase", Format("%.1f s, %d rounds", seconds_since(start), rounds_));
  finish_long_sessions();
  open_close_cycles();
  check_log_file();
  rep_->Figure("messages for no live session",
               Format("%llu", static_cast<unsigned long long>(SessionState::Orphans())));
  return rep_->ok();
}

bool SoakRun::start_server() {
  zavo::sim::SimConfig cfg;
  cfg.listen_port = 0;
  cfg.group = kGroup;
  cfg.port = kPort;
  cfg.raw_port = kRawPort;
  cfg.feed_mode = zavo::sim::FeedMode::kBoth;
  cfg.rate = o_.rate;
  cfg.raw_rate = o_.raw_rate;
  cfg.heartbeat_ms = 1000;
  // Enough history for the retransmissions asked for (a gap is asked for
  // again about 6 s after it was skipped; raw ranges end at the newest
  // message), and no more: the server shares this process, so its history
  // counts in the resident size checked below. Each history slot keeps the
  // largest record it ever held, so the server's share creeps up towards
  // slots x largest record (about 130 MB here) over the first minutes.
  cfg.history = std::max(200000u, 10 * o_.rate);
  cfg.raw_history = 5000;
  cfg.login_mode = zavo::sim::LoginMode::kRefuse;
  cfg.verbose = o_.verbose;
  sim_.reset(new zavo::sim::SimServer(cfg));
  std::string why;
  const int rc = sim_->Start(&why);
  return rep_->Check("simulator started", rc == 0, rc == 0 ? "" : why);
}

ZAVO_HANDLE SoakRun::open_struct(SessionState* st, ZAVO_ERROR* err, uint32_t extra_flags) {
  ZAVO_OpenSetting s;
  std::memset(&s, 0, sizeof(s));
  s.ConnectID = st->connect_id();
  set_text(s.MulticastIP, kGroup);
  s.MulticastPort = kPort;
  set_text(s.LocalIP, "127.0.0.1");
  set_text(s.ServerIP, "127.0.0.1");
  s.ServerPort = static_cast<uint16_t>(sim_->ListenPort());
  set_text(s.UserName, "soak");
  set_text(s.Password, "soak");
  s.DataHandler = &SessionState::OnData;
  s.SystemHandler = &SessionState::OnSystem;
  s.SubscribedMarkets = "";
  s.SubscribedCodes = "";
  s.SubscribeFlags =
      ZAVO_FLAG_TRADE_DETAIL | ZAVO_FLAG_ORDER_DETAIL | ZAVO_FLAG_ORDER_QUEUE | extra_flags;
  s.CpuID = -1;
  ++sessions_created_;
  ZAVO_HANDLE h = api_.Open(&s, err);
  if (h != nullptr) ++sessions_opened_;
  return h;
}

ZAVO_HANDLE SoakRun::open_raw(SessionState* st, ZAVO_ERROR* err) {
  ZAVO_RawOpenSetting s;
  std::memset(&s, 0, sizeof(s));
  s.ConnectID = st->connect_id();
  set_text(s.MulticastIP, kGroup);
  s.MulticastPort = kRawPort;
  set_text(s.LocalIP, "127.0.0.1");
  set_text(s.ServerIP, "127.0.0.1");
  s.ServerPort = static_cast<uint16_t>(sim_->ListenPort());
  set_text(s.UserName, "soak");
  set_text(s.Password, "soak");
  s.DataHandler = &SessionState::OnData;
  s.SystemHandler = &SessionState::OnSystem;
  s.SubscribedMarkets = "SH;SZ";
  s.CpuID = -1;
  ++sessions_created_;
  ZAVO_HANDLE h = api_.OpenRaw(&s, err);
  if (h != nullptr) ++sessions_opened_;
  return h;
}

void SoakRun::close_session(ZAVO_HANDLE h) {
  if (h == nullptr) return;
  api_.Close(h);
  api_.Wait(h);
}

bool SoakRun::back_to_baseline(int* threads, int* fds) {
  sim_->WaitFor([](const zavo::sim::SimCounters& c) { return c.connections == c.disconnections; },
                5000);
  // Threads end and descriptors close a little after the calls that ended
  // them return (the server closes its side on its own loop).
  const auto until = Clock::now() + std::chrono::seconds(5);
  for (;;) {
    *threads = ThreadCount();
    *fds = DescriptorCount();
    if (*threads == base_threads_ && *fds == base_fds_) return true;
    if (Clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool SoakRun::refused_opens() {
  // The server refuses every login at first: the opens fail cleanly.
  bool ok = true;
  {
    SessionState st(kStructId, false);
    ZAVO_ERROR err = ZAVO_SUCCESS;
    ZAVO_HANDLE h = open_struct(&st, &err);
    ok &=
        rep_->Check("struct open while logins are refused", h == nullptr && err == ZAVO_ERR_NETWORK,
                    Format("handle %s, error %d", h ? "set" : "null", err));
    close_session(h);
    refusals_seen_ += st.logins_refused();
    connects_seen_ += st.connects();
    disconnects_seen_ += st.disconnects();
  }
  if (o_.raw) {
    SessionState st(kRawId, true);
    ZAVO_ERROR err = ZAVO_SUCCESS;
    ZAVO_HANDLE h = open_raw(&st, &err);
    ok &= rep_->Check("raw open while logins are refused", h == nullptr && err == ZAVO_ERR_NETWORK,
                      Format("handle %s, error %d", h ? "set" : "null", err));
    close_session(h);
    refusals_seen_ += st.logins_refused();
    connects_seen_ += st.connects();
    disconnects_seen_ += st.disconnects();
  }
  int t = 0, f = 0;
  const bool back = back_to_baseline(&t, &f);
  ok &= rep_->Check("threads and descriptors after refused opens", back,
                    Format("%d threads, %d descriptors", t, f));
  return ok;
}

bool SoakRun::open_long_sessions() {
  sim_->SetLoginMode(zavo::sim::LoginMode::kAccept);
  struct_.reset(new SessionState(kStructId, false));
  ZAVO_ERROR err = ZAVO_SUCCESS;
  struct_h_ = open_struct(struct_.get(), &err);
  if (!rep_->Check("struct session opened", struct_h_ != nullptr, Format("error %d", err))) {
    return false;
  }
  if (o_.raw) {
    raw_.reset(new SessionState(kRawId, true));
    raw_h_ = open_raw(raw_.get(), &err);
    raw_available_ = raw_h_ != nullptr;
    if (!rep_->Check("raw session opened", raw_available_, Format("error %d", err))) return false;
  }
  if (o_.recover) {
    // The same feed and faults, with the library recovering every gap.
    recovering_.reset(new SessionState(kRecoverId, false));
    recovering_h_ = open_struct(recovering_.get(), &err, ZAVO_FLAG_RECOVER_GAPS);
    if (!rep_->Check("recovering struct session opened", recovering_h_ != nullptr,
                     Format("error %d", err))) {
      return false;
    }
  }
  // Faults start once data flows, so every gap falls inside what the
  // sessions see.
  const auto until = Clock::now() + std::chrono::seconds(10);
  auto flowing = [&] {
    return struct_->LastSeq(0) > 0 && (!recovering_ || recovering_->LastSeq(0) > 0) &&
           (!raw_available_ || (raw_->LastSeq(1) > 0 && raw_->LastSeq(2) > 0));
  };
  while (!flowing() && Clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!rep_->Check("data flowing on every session", flowing(), "")) {
    return false;
  }
  rep_->Progress("sessions open: struct%s; publishing %u fields/s, %u raw messages/s per exchange",
                 raw_available_ ? " and raw" : " only", o_.rate, o_.raw_rate);
  return true;
}

bool SoakRun::wait_logins(uint64_t struct_ok, uint64_t raw_ok, int timeout_ms) {
  bool ok = struct_->WaitFor([&] { return struct_->logins_ok() > struct_ok; }, timeout_ms);
  if (raw_available_) {
    ok &= raw_->WaitFor([&] { return raw_->logins_ok() > raw_ok; }, timeout_ms);
  }
  return ok;
}

void SoakRun::drop_and_reconnect(const char* why) {
  const uint64_t s_ok = struct_->logins_ok();
  const uint64_t r_ok = raw_available_ ? raw_->logins_ok() : 0;
  sim_->DropConnections();
  ++drops_;
  rep_->Check("logged in again after every drop", wait_logins(s_ok, r_ok, kReconnectWaitMs), why);
}

void SoakRun::refuse_then_accept() {
  const uint64_t s_ref = struct_->logins_refused();
  const uint64_t r_ref = raw_available_ ? raw_->logins_refused() : 0;
  sim_->SetLoginMode(zavo::sim::LoginMode::kRefuse);
  sim_->DropConnections();
  ++drops_;
  bool ok = struct_->WaitFor([&] { return struct_->logins_refused() > s_ref; }, kReconnectWaitMs);
  if (raw_available_) {
    ok &= raw_->WaitFor([&] { return raw_->logins_refused() > r_ref; }, kReconnectWaitMs);
  }
  rep_->Check("refused login seen after a reconnection", ok, ok ? "" : "no refusal seen");
  // Refused but still connected: the next drop brings an accepted login.
  sim_->SetLoginMode(zavo::sim::LoginMode::kAccept);
  drop_and_reconnect("after a refused login");
}

void SoakRun::rebuild_across_drop(int round) {
  uint64_t gb = 0, ge = 0;
  struct_->LastGap(0, &gb, &ge);
  const uint64_t first = struct_->FirstSeq(0);
  // A long range whose reply is still being written when the connection
  // goes, so the request is in flight across the drop.
  const uint64_t big_begin = ge > first + 30000 ? ge - 30000 : first;
  ZAVO_ERROR rc = api_.RebuildStructData(struct_h_, big_begin, ge, &SessionState::OnRebuild);
  if (rc == ZAVO_SUCCESS) ++rebuilds_sent_;
  const uint64_t raw_last = raw_available_ ? raw_->LastSeq(1) : 0;
  if (raw_available_ && raw_last > 2100) {
    if (api_.RebuildRawData(raw_h_, '1', raw_last - 2000, raw_last, &SessionState::OnRebuild) ==
        ZAVO_SUCCESS) {
      ++rebuilds_sent_;
    }
  }
  const bool slow = round % 4 == 1;
  if (slow) {
    // A slow data handler while the connection is down: the struct backlog
    // queues up in the library, the raw read thread falls behind the feed.
    ++slow_rounds_;
    struct_->SetHandlerDelayUs(200);
    if (raw_available_) raw_->SetHandlerDelayUs(2000);
  }
  drop_and_reconnect("retransmission in flight");
  struct_->SetHandlerDelayUs(0);
  if (raw_available_) raw_->SetHandlerDelayUs(0);

  // The request lost with the old connection must not block the next one.
  if (ge > gb && gb > 0) {
    struct_->ClearRebuilt();
    const uint64_t finished = struct_->rebuild_finished();
    const auto until = Clock::now() + std::chrono::seconds(3);
    rc = api_.RebuildStructData(struct_h_, gb, ge, &SessionState::OnRebuild);
    while (rc == ZAVO_ERR_BUSY && Clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      rc = api_.RebuildStructData(struct_h_, gb, ge, &SessionState::OnRebuild);
    }
    if (rc == ZAVO_ERR_BUSY) ++rebuilds_busy_after_drop_;
    if (!rep_->Check(
            "struct rebuild accepted after a drop", rc == ZAVO_SUCCESS,
            Format("round %d: error %d for [%llu, %llu)", round, rc,
                   static_cast<unsigned long long>(gb), static_cast<unsigned long long>(ge)))) {
      return;
    }
    ++rebuilds_sent_;
    // An earlier request's end may still arrive first: wait for the one that
    // covers the gap.
    const bool done =
        struct_->WaitFor([&] { return struct_->rebuild_finished() > finished; }, 10000);
    uint64_t got = struct_->RebuiltIn(0, gb, ge);
    for (int i = 0; i < 200 && done && got < ge - gb; ++i) {
      struct_->WaitFor([&] { return false; }, 25);
      got = struct_->RebuiltIn(0, gb, ge);
    }
    if (rep_->Check(
            "struct rebuild fills the gap", done && got == ge - gb,
            Format("round %d: %llu of %llu in [%llu, %llu)%s", round,
                   static_cast<unsigned long long>(got), static_cast<unsigned long long>(ge - gb),
                   static_cast<unsigned long long>(gb), static_cast<unsigned long long>(ge),
                   done ? "" : ", no end record"))) {
      ++rebuilds_verified_;
    }
  }
  if (raw_available_) {
    const uint64_t last = raw_->LastSeq(1);
    if (last <= 60) return;
    raw_->ClearRebuilt();
    const uint64_t finished = raw_->rebuild_finished();
    const auto until = Clock::now() + std::chrono::seconds(3);
    rc = api_.RebuildRawData(raw_h_, '1', last - 50, last, &SessionState::OnRebuild);
    while (rc == ZAVO_ERR_BUSY && Clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      rc = api_.RebuildRawData(raw_h_, '1', last - 50, last, &SessionState::OnRebuild);
    }
    if (!rep_->Check("raw rebuild accepted after a drop", rc == ZAVO_SUCCESS,
                     Format("round %d: error %d", round, rc))) {
      return;
    }
    ++rebuilds_sent_;
    const bool done = raw_->WaitFor([&] { return raw_->rebuild_finished() > finished; }, 10000);
    const uint64_t got = raw_->RebuiltIn(1, last - 50, last);
    if (rep_->Check("raw rebuild replays the range", done && got == 50,
                    Format("round %d: %llu of 50%s", round, static_cast<unsigned long long>(got),
                           done ? "" : ", no end record"))) {
      ++raw_rebuilds_verified_;
    }
  }
}

void SoakRun::query_caches() {
  ZAVO_SecuritySnapShot* snaps = nullptr;
  int n = 0;
  if (api_.GetLastMarketData(struct_h_, "SH", &snaps, &n) == ZAVO_SUCCESS) api_.Free(snaps);
  ZAVO_CODEINFO* table = nullptr;
  unsigned count = 0;
  if (api_.GetCodeTable(struct_h_, "SZ", &table, &count) == ZAVO_SUCCESS) api_.Free(table);
  queries_ += 2;
}

void SoakRun::fault_round(int round) {
  // Gaps and garbage first, so the retransmission has a gap to fill.
  const uint64_t gaps = struct_->stats().Gaps();
  sim_->SkipFeed(40 + 13 * static_cast<unsigned>(round));
  sim_->SendFeedGarbage(300);
  sim_->SendControlGarbage(200);
  if (raw_available_) {
    sim_->InjectRawFault(zavo::sim::RawFault::kLoseFragment, 2);
    sim_->InjectRawFault(zavo::sim::RawFault::kRepeatFragment, 2);
    sim_->InjectRawFault(zavo::sim::RawFault::kReorderFragments, 1);
  }
  const bool gap_seen = struct_->WaitFor([&] { return struct_->stats().Gaps() > gaps; }, 5000);
  rep_->Check("skipped fields reported as a gap", gap_seen, Format("round %d", round));
  query_caches();
  rebuild_across_drop(round);
  query_caches();
  if (round % 3 == 1) refuse_then_accept();
  rep_->Progress("round %d: struct %llu records, %llu gaps; raw %llu records; %llu drops", round,
                 static_cast<unsigned long long>(struct_->stats().Total()),
                 static_cast<unsigned long long>(struct_->stats().Gaps()),
                 static_cast<unsigned long long>(raw_available_ ? raw_->stats().Total() : 0),
                 static_cast<unsigned long long>(drops_));
}

void SoakRun::finish_long_sessions() {
  // Let the sessions catch up with what was published (a slow handler may
  // have left a backlog), then close them.
  const zavo::sim::SimCounters c = sim_->Counters();
  const auto until = Clock::now() + std::chrono::seconds(30);
  auto caught_up = [&] {
    bool ok = struct_->LastSeq(0) >= c.last_seq;
    if (recovering_) ok &= recovering_->LastSeq(0) >= c.last_seq;
    if (raw_available_) {
      ok &= raw_->LastSeq(1) >= c.raw_last_seq[0] && raw_->LastSeq(2) >= c.raw_last_seq[1];
    }
    return ok;
  };
  while (!caught_up() && Clock::now() < until) {
    sample_rss();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  rep_->Check("sessions caught up with the feed", caught_up(),
              Format("struct at %llu of %llu", static_cast<unsigned long long>(struct_->LastSeq(0)),
                     static_cast<unsigned long long>(c.last_seq)));
  sample_rss();
  close_session(struct_h_);
  struct_h_ = nullptr;
  close_session(raw_h_);
  raw_h_ = nullptr;
  close_session(recovering_h_);
  recovering_h_ = nullptr;
  int t = 0, f = 0;
  const bool back = back_to_baseline(&t, &f);
  rep_->Check("threads and descriptors after closing the long sessions", back,
              Format("%d/%d threads, %d/%d descriptors", t, base_threads_, f, base_fds_));

  const zavo::sim::SimCounters end = sim_->Counters();
  rep_->Figure("struct: published / skipped by the server",
               Format("%llu / %llu", static_cast<unsigned long long>(end.fields_published),
                      static_cast<unsigned long long>(end.fields_skipped)));
  rep_->Figure(
      "struct: records / gaps / missing / backwards",
      Format("%llu / %llu / %llu / %llu", static_cast<unsigned long long>(struct_->stats().Total()),
             static_cast<unsigned long long>(struct_->stats().Gaps()),
             static_cast<unsigned long long>(struct_->stats().Missing()),
             static_cast<unsigned long long>(struct_->stats().Backwards())));
  check_accounting(*struct_, 0, "struct", end.fields_skipped);
  rep_->Check("struct: no record twice or out of order", struct_->stats().Backwards() == 0,
              Format("%llu", static_cast<unsigned long long>(struct_->stats().Backwards())));
  if (recovering_) check_recovered_stream(end.fields_skipped);
  if (raw_available_) {
    rep_->Figure("raw: published messages / fragments",
                 Format("%llu / %llu", static_cast<unsigned long long>(end.raw_messages),
                        static_cast<unsigned long long>(end.raw_fragments)));
    rep_->Figure(
        "raw: records / gaps / missing / backwards",
        Format("%llu / %llu / %llu / %llu", static_cast<unsigned long long>(raw_->stats().Total()),
               static_cast<unsigned long long>(raw_->stats().Gaps()),
               static_cast<unsigned long long>(raw_->stats().Missing()),
               static_cast<unsigned long long>(raw_->stats().Backwards())));
    check_accounting(*raw_, 1, "raw SH", 0);
    check_accounting(*raw_, 2, "raw SZ", 0);
    rep_->Check("raw: no message twice or out of order", raw_->stats().Backwards() == 0,
                Format("%llu", static_cast<unsigned long long>(raw_->stats().Backwards())));
  }
  rep_->Figure("drops / refused logins / slow-handler rounds",
               Format("%llu / %llu / %llu", static_cast<unsigned long long>(drops_),
                      static_cast<unsigned long long>(struct_->logins_refused() +
                                                      (raw_ ? raw_->logins_refused() : 0)),
                      static_cast<unsigned long long>(slow_rounds_)));
  rep_->Figure("rebuilds sent / struct verified / raw verified",
               Format("%llu / %llu / %llu", static_cast<unsigned long long>(rebuilds_sent_),
                      static_cast<unsigned long long>(rebuilds_verified_),
                      static_cast<unsigned long long>(raw_rebuilds_verified_)));
  rep_->Figure("garbage bursts sent / queries",
               Format("%llu / %llu", static_cast<unsigned long long>(end.garbage_sent),
                      static_cast<unsigned long long>(queries_)));
  for (const SessionState* st : {struct_.get(), raw_.get(), recovering_.get()}) {
    if (st == nullptr) continue;
    connects_seen_ += st->connects();
    disconnects_seen_ += st->disconnects();
    refusals_seen_ += st->logins_refused();
  }
  raw_.reset();
  struct_.reset();
  recovering_.reset();
}

void SoakRun::open_close_cycles() {
  const auto start = Clock::now();
  int failed = 0, first_failed = -1, leaked = 0, first_leak = -1;
  int leak_threads = 0, leak_fds = 0;
  int64_t rss_early = -1;
  for (int i = 0; i < o_.cycles; ++i) {
    const bool raw = raw_available_ && i % 2 == 1;
    SessionState st(kCycleIdBase + (i % 256), raw);
    ZAVO_ERROR err = ZAVO_SUCCESS;
    ZAVO_HANDLE h = raw ? open_raw(&st, &err) : open_struct(&st, &err);
    if (h == nullptr) {
      if (failed++ == 0) first_failed = i;
    }
    close_session(h);
    connects_seen_ += st.connects();
    disconnects_seen_ += st.disconnects();
    int t = 0, f = 0;
    if (!back_to_baseline(&t, &f)) {
      if (leaked++ == 0) {
        first_leak = i;
        leak_threads = t;
        leak_fds = f;
      }
    }
    sample_rss();
    if (i == o_.cycles / 10) rss_early = ResidentKb();
  }
  const int64_t rss_end = ResidentKb();
  rep_->Figure("open/close cycles", Format("%d in %.1f s", o_.cycles, seconds_since(start)));
  rep_->Check("every cycle opened", failed == 0,
              Format("%d failed (first: cycle %d)", failed, first_failed));
  rep_->Check("threads and descriptors back after every close", leaked == 0,
              leaked == 0 ? Format("%d threads, %d descriptors", base_threads_, base_fds_)
                          : Format("%d cycles off (first: cycle %d, %d threads, %d descriptors)",
                                   leaked, first_leak, leak_threads, leak_fds));
  if (rss_early > 0) {
    rep_->Check("resident growth over the cycles", rss_end - rss_early <= o_.cycle_growth_kb,
                Format("%lld kB (limit %lld kB)", static_cast<long long>(rss_end - rss_early),
                       static_cast<long long>(o_.cycle_growth_kb)));
  }
  rep_->Check("resident memory bounded", peak_rss_kb_ - base_rss_kb_ <= o_.rss_growth_kb,
              Format("peak %lld kB, %lld kB above the start (limit %lld kB)",
                     static_cast<long long>(peak_rss_kb_),
                     static_cast<long long>(peak_rss_kb_ - base_rss_kb_),
                     static_cast<long long>(o_.rss_growth_kb)));
}

void SoakRun::check_log_file() {
  const std::string path = NewestLogFile("logs");
  if (!rep_->Check("log file", !path.empty(), path.empty() ? "none in ./logs" : path)) return;
  const std::vector<std::string> needles = {"] Create",
                                            "] Release",
                                            "TCP Session Connected",
                                            "TCP Session Disconnected",
                                            "Open UDP Multicast Success.",
                                            "OnHeartbeat",
                                            "abandoned"};
  // The logger writes on its own thread: wait until the last release is in.
  std::map<std::string, int64_t> n;
  const auto until = Clock::now() + std::chrono::seconds(5);
  do {
    n = CountLogLines(path, needles);
    if (n["] Release"] >= static_cast<int64_t>(sessions_created_)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (Clock::now() < until);
  auto ll = [](uint64_t v) { return static_cast<long long>(v); };
  rep_->Check("log: one Create and one Release per session",
              n["] Create"] == ll(sessions_created_) && n["] Release"] == ll(sessions_created_),
              Format("%lld / %lld for %lld sessions", static_cast<long long>(n["] Create"]),
                     static_cast<long long>(n["] Release"]), ll(sessions_created_)));
  rep_->Check("log: connections as the handlers saw them",
              n["TCP Session Connected"] == ll(connects_seen_) &&
                  n["TCP Session Disconnected"] == ll(disconnects_seen_),
              Format("%lld connected (%lld seen), %lld disconnected (%lld seen)",
                     static_cast<long long>(n["TCP Session Connected"]), ll(connects_seen_),
                     static_cast<long long>(n["TCP Session Disconnected"]), ll(disconnects_seen_)));
  rep_->Check(
      "log: one feed join per opened session",
      n["Open UDP Multicast Success."] == ll(sessions_opened_),
      Format("%lld joins, %lld sessions opened",
             static_cast<long long>(n["Open UDP Multicast Success."]), ll(sessions_opened_)));
  rep_->Check("log: heartbeats", n["OnHeartbeat"] > 0,
              Format("%lld lines", static_cast<long long>(n["OnHeartbeat"])));
  rep_->Figure("log: rebuilds abandoned with their connection",
               Format("%lld", static_cast<long long>(n["abandoned"])));
}

}  // namespace zavo_soak
