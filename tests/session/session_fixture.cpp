#include "session_fixture.h"

#include <dirent.h>

#include <map>

namespace zavo {
namespace test {

namespace {

std::mutex g_sessions_mu;
std::map<int, SessionRecorders*> g_sessions;
Recorder g_orphans;

template <class Pick>
void route(const ZAVO_MSG* msg, Pick pick) {
  // Held while adding, so recorders cannot go away under a late callback.
  std::lock_guard<std::mutex> lock(g_sessions_mu);
  auto it = g_sessions.find(msg->ConnectID);
  if (it != g_sessions.end()) {
    pick(*it->second).Add(msg);
  } else {
    g_orphans.Add(msg);
  }
}

int count_entries(const char* dir) {
  DIR* d = opendir(dir);
  if (d == nullptr) return -1;
  int n = 0;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') ++n;
  }
  closedir(d);
  return n - (std::strcmp(dir, "/proc/self/fd") == 0 ? 1 : 0);  // opendir's own
}

}  // namespace

void Recorder::Add(const ZAVO_MSG* msg) {
  Seen s;
  s.type = msg->MsgType;
  s.time = msg->MsgTime;
  s.connect_id = msg->ConnectID;
  s.seq = msg->SeqNum;
  if (msg->MsgData != nullptr && msg->MsgSize > 0) {
    const char* p = static_cast<const char*>(msg->MsgData);
    s.record.assign(p, p + msg->MsgSize);
    if (msg->MsgType >= 100 && msg->MsgType <= 106) {
      s.code.assign(p, strnlen(p, 16));
      s.exchange = msg->MsgType == ZAVO_MSG_SH_ORDER_DETAIL ? '1' : p[16];
    }
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    seen_.push_back(std::move(s));
  }
  cv_.notify_all();
}

std::vector<Seen> Recorder::Snapshot() const {
  std::lock_guard<std::mutex> lock(mu_);
  return seen_;
}

size_t Recorder::Count(uint32_t type) const {
  std::lock_guard<std::mutex> lock(mu_);
  size_t n = 0;
  for (const Seen& s : seen_) n += s.type == type;
  return n;
}

size_t Recorder::Size() const {
  std::lock_guard<std::mutex> lock(mu_);
  return seen_.size();
}

void Recorder::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  seen_.clear();
}

bool Recorder::WaitFor(const std::function<bool(const std::vector<Seen>&)>& pred,
                       int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return pred(seen_); });
}

SessionRecorders::SessionRecorders(int id) : connect_id(id) {
  std::lock_guard<std::mutex> lock(g_sessions_mu);
  g_sessions[id] = this;
}

SessionRecorders::~SessionRecorders() {
  std::lock_guard<std::mutex> lock(g_sessions_mu);
  g_sessions.erase(connect_id);
}

Recorder& Orphans() { return g_orphans; }

void OnData(void*, const ZAVO_MSG* msg) {
  route(msg, [](SessionRecorders& r) -> Recorder& { return r.data; });
}
void OnSystem(void*, const ZAVO_MSG* msg) {
  route(msg, [](SessionRecorders& r) -> Recorder& { return r.system; });
}
void OnRebuild(void*, const ZAVO_MSG* msg) {
  route(msg, [](SessionRecorders& r) -> Recorder& { return r.rebuild; });
}

ZAVO_OpenSetting MakeSetting(const sim::SimServer& sim, int connect_id) {
  ZAVO_OpenSetting s;
  std::memset(&s, 0, sizeof(s));
  s.ConnectID = connect_id;
  std::strcpy(s.MulticastIP, sim.config().group.c_str());
  s.MulticastPort = static_cast<uint16_t>(sim.config().port);
  std::strcpy(s.LocalIP, "127.0.0.1");
  std::strcpy(s.ServerIP, "127.0.0.1");
  s.ServerPort = static_cast<uint16_t>(sim.ListenPort());
  std::strcpy(s.UserName, "tester");
  std::strcpy(s.Password, "secret");
  s.DataHandler = OnData;
  s.SystemHandler = OnSystem;
  s.SubscribedMarkets = "";
  s.SubscribedCodes = "";
  s.SubscribeFlags = ZAVO_FLAG_TRADE_DETAIL | ZAVO_FLAG_ORDER_DETAIL | ZAVO_FLAG_ORDER_QUEUE;
  s.CpuID = -1;
  return s;
}

sim::SimConfig TestSimConfig(int feed_port) {
  sim::SimConfig cfg;
  cfg.listen_port = 0;
  cfg.group = "239.255.7.1";
  cfg.port = feed_port;
  cfg.raw_port = feed_port + 1;
  cfg.rate = 0;
  cfg.raw_rate = 0;
  cfg.heartbeat_ms = 3600 * 1000;
  cfg.sh_securities = 6;
  cfg.sz_securities = 5;
  cfg.sh_options = 3;
  cfg.sz_options = 2;
  return cfg;
}

int ThreadCount() { return count_entries("/proc/self/task"); }
int DescriptorCount() { return count_entries("/proc/self/fd"); }

}  // namespace test
}  // namespace zavo
