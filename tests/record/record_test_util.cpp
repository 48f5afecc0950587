#include "record_test_util.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstring>

#include "sim_market.h"
#include "sim_wire.h"

namespace zavo {
namespace test {

void Collector::Add(const ZAVO_MSG* msg) {
  Rec r;
  r.type = msg->MsgType;
  r.time = msg->MsgTime;
  r.seq = msg->SeqNum;
  if (msg->MsgData != nullptr) {
    r.bytes.assign(static_cast<const char*>(msg->MsgData), msg->MsgSize);
  }
  // The one member that depends on when the record was converted, not on
  // what was received.
  if (r.type == ZAVO_MSG_SECURITY_SNAPSHOT && r.bytes.size() == sizeof(ZAVO_SecuritySnapShot)) {
    std::memset(&r.bytes[offsetof(ZAVO_SecuritySnapShot, LocalDelay)], 0, sizeof(int64_t));
  }
  {
    std::lock_guard<std::mutex> lk(mu_);
    recs_.push_back(std::move(r));
  }
  cv_.notify_all();
}

std::vector<Rec> Collector::Take() const {
  std::lock_guard<std::mutex> lk(mu_);
  return recs_;
}

size_t Collector::Size() const {
  std::lock_guard<std::mutex> lk(mu_);
  return recs_.size();
}

void Collector::Clear() {
  std::lock_guard<std::mutex> lk(mu_);
  recs_.clear();
}

bool Collector::WaitForSize(size_t n, int timeout_ms) const {
  std::unique_lock<std::mutex> lk(mu_);
  return cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms), [&] { return recs_.size() >= n; });
}

namespace {
Collector g_data[8];
Collector g_rebuild[8];
int slot(const ZAVO_MSG* msg) {
  return msg->ConnectID >= 0 && msg->ConnectID < 8 ? msg->ConnectID : 0;
}
}  // namespace

Collector& DataOf(int connect_id) {
  return g_data[connect_id];
}
Collector& RebuildOf(int connect_id) {
  return g_rebuild[connect_id];
}
void OnData(void*, const ZAVO_MSG* msg) {
  g_data[slot(msg)].Add(msg);
}
void OnRebuild(void*, const ZAVO_MSG* msg) {
  g_rebuild[slot(msg)].Add(msg);
}
void OnSystem(void*, const ZAVO_MSG*) {}

ZAVO_OpenSetting StructSetting(int connect_id, const std::string& group, int port,
                               int server_port) {
  ZAVO_OpenSetting s;
  std::memset(&s, 0, sizeof(s));
  s.ConnectID = connect_id;
  std::strcpy(s.MulticastIP, group.c_str());
  s.MulticastPort = static_cast<uint16_t>(port);
  std::strcpy(s.LocalIP, "127.0.0.1");
  std::strcpy(s.ServerIP, "127.0.0.1");
  s.ServerPort = static_cast<uint16_t>(server_port);
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

TempDir::TempDir() {
  char tmpl[] = "/tmp/zavo_record_test.XXXXXX";
  const char* p = mkdtemp(tmpl);
  path_ = p != nullptr ? p : "/tmp";
}

TempDir::~TempDir() {
  DIR* d = opendir(path_.c_str());
  if (d == nullptr) return;
  while (dirent* e = readdir(d)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
      unlink(File(e->d_name).c_str());
    }
  }
  closedir(d);
  rmdir(path_.c_str());
}

std::string FirstDifference(const std::vector<Rec>& want, const std::vector<Rec>& got) {
  const size_t n = want.size() < got.size() ? want.size() : got.size();
  for (size_t i = 0; i < n; ++i) {
    if (!(want[i] == got[i])) {
      return "record " + std::to_string(i) + ": want kind " + std::to_string(want[i].type) +
             " seq " + std::to_string(want[i].seq) + " time " + std::to_string(want[i].time) +
             ", got kind " + std::to_string(got[i].type) + " seq " + std::to_string(got[i].seq) +
             " time " + std::to_string(got[i].time) +
             (want[i].bytes == got[i].bytes ? "" : " (record bytes differ)");
    }
  }
  if (want.size() != got.size()) {
    return "want " + std::to_string(want.size()) + " records, got " + std::to_string(got.size());
  }
  return "";
}

std::vector<std::string> market_datagrams(int count, int fields) {
  sim::SimConfig cfg;
  sim::MarketModel model(cfg);
  sim::WireWriter rec;
  sim::PacketBuilder pb;
  std::vector<std::string> out;
  uint64_t seq = 0;
  const uint64_t stamp = 20240102093000000ULL;
  for (int d = 0; d < count; ++d) {
    pb.Begin(0, stamp + d);
    for (int f = 0; f < fields; ++f) {
      rec.Reset();
      const uint16_t id = model.Next(stamp + d, &rec);
      pb.BeginField(id, static_cast<uint16_t>(rec.size()), ++seq);
      pb.writer().Bytes(rec.data(), rec.size());
      EXPECT_TRUE(pb.EndField());
    }
    const char* p = pb.Finish();
    out.emplace_back(p, pb.size());
  }
  return out;
}

}  // namespace test
}  // namespace zavo
