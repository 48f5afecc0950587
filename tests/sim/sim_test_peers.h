#pragma once
// Plain peers of the simulator for its tests: a framed client on the control
// connection that keeps every packet, and a multicast socket on the feed.
// Records are read byte by byte at their protocol offsets, so the server is
// checked against the protocol and not against the library's codec.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "net/ev_loop.h"
#include "net/zavo_tcp.h"
#include "proto/sys_field.h"
#include "sim_wire.h"

namespace zavo {
namespace sim {
namespace peers {

constexpr int kWaitMs = 5000;

inline uint64_t be(const char* p, int width) {
  uint64_t v = 0;
  for (int i = 0; i < width; ++i) v = (v << 8) | static_cast<unsigned char>(p[i]);
  return v;
}

struct Field {
  uint16_t id;
  uint16_t len;
  uint64_t seq;
  std::string bytes;  // field header and record
};

// Splits a packet body into its fields.
inline std::vector<Field> fields_of(const std::string& body) {
  std::vector<Field> out;
  size_t at = 0;
  while (body.size() - at >= kFieldHeaderSize) {
    Field f;
    f.id = static_cast<uint16_t>(be(body.data() + at, 2));
    f.len = static_cast<uint16_t>(be(body.data() + at + 2, 2));
    f.seq = be(body.data() + at + 4, 8);
    if (body.size() - at - kFieldHeaderSize < f.len) break;
    f.bytes = body.substr(at, kFieldHeaderSize + f.len);
    out.push_back(f);
    at += kFieldHeaderSize + f.len;
  }
  return out;
}

inline uint32_t today() {
  return StampDate(NowStamp());
}

// A control-connection client on its own loop that keeps every packet.
class Client : public KvelHandler {
 public:
  struct Packet {
    uint32_t type;
    uint64_t time;
    std::string body;
  };

  explicit Client(int port) {
    conn_ = new KvelTcpConnector(&loop_, this);
    rc_ = conn_->Connect("127.0.0.1", port);
    loop_.Start();
  }
  ~Client() {
    TcpConnector::Release(conn_);
    loop_.Stop();
    loop_.Join();
  }
  int rc() const { return rc_; }

  void OnPacket(KvelSession*, const StructPacket* p) override {
    std::lock_guard<std::mutex> lk(mu_);
    packets_.push_back({p->PacketType, p->PacketTime, std::string(p->Body(), p->BodySize())});
    cv_.notify_all();
  }
  void OnConnected(KvelSession*) override {
    std::lock_guard<std::mutex> lk(mu_);
    ++connected_;
    cv_.notify_all();
  }
  void OnDisconnected(KvelSession*) override {
    std::lock_guard<std::mutex> lk(mu_);
    ++disconnected_;
    cv_.notify_all();
  }

  bool WaitConnected() {
    return wait([this] { return connected_ > 0; });
  }
  bool WaitDisconnected() {
    return wait([this] { return disconnected_ > 0; });
  }
  // Waits until a packet holding field `id` arrived; returns all packets so
  // far.
  bool WaitField(uint16_t id, std::vector<Packet>* out) {
    bool ok = wait([&] {
      for (const Packet& p : packets_) {
        for (const Field& f : fields_of(p.body)) {
          if (f.id == id) return true;
        }
      }
      return false;
    });
    std::lock_guard<std::mutex> lk(mu_);
    *out = packets_;
    return ok;
  }
  void Clear() {
    std::lock_guard<std::mutex> lk(mu_);
    packets_.clear();
  }
  std::vector<Packet> Packets() {
    std::lock_guard<std::mutex> lk(mu_);
    return packets_;
  }

  // Waits for the connection first: a packet sent before it is up is lost.
  void Login(const char* user, const char* password) {
    ASSERT_TRUE(WaitConnected());
    StructPacket p = StructPacket::ForRecord<ReqUserLoginField>();
    ReqUserLoginField f;
    f.Fill(user, password, "test 1.0");
    ASSERT_TRUE(p.AddField(f));
    conn_->Send(&p);
  }
  void Echo(const std::string& reply_field) {
    StructPacket p = StructPacket::ForRecord<RspUserLoginField>();
    RspUserLoginField f;
    ASSERT_TRUE(f.Decode(reply_field.data() + kFieldHeaderSize,
                         static_cast<unsigned>(reply_field.size() - kFieldHeaderSize)));
    ASSERT_TRUE(p.AddField(f));
    conn_->Send(&p);
  }
  void Retransmit(uint64_t begin, uint64_t end, uint32_t scope, uint32_t type) {
    StructPacket p = StructPacket::ForRecord<ReqRetransmitField>();
    ReqRetransmitField f;
    f.BeginSeq = begin;
    f.EndSeq = end;
    f.Scope = scope;
    ASSERT_TRUE(p.AddField(f));
    p.PacketType = type;
    conn_->Send(&p);
  }

 private:
  template <class P>
  bool wait(P pred) {
    std::unique_lock<std::mutex> lk(mu_);
    return cv_.wait_for(lk, std::chrono::milliseconds(kWaitMs), pred);
  }

  EvLoop loop_;
  KvelTcpConnector* conn_ = nullptr;
  int rc_ = 0;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Packet> packets_;
  int connected_ = 0, disconnected_ = 0;
};

// A plain multicast socket joined on 127.0.0.1 (inside the test's private
// network namespace). Receives time out after two seconds.
class FeedSocket {
 public:
  FeedSocket(const char* group, int port) {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    int rcvbuf = 4 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    timeval tv = {2, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = inet_addr(group);
    ok_ = bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ip_mreq m{};
    m.imr_multiaddr.s_addr = inet_addr(group);
    m.imr_interface.s_addr = inet_addr("127.0.0.1");
    ok_ = ok_ && setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) == 0;
  }
  ~FeedSocket() { close(fd_); }
  bool ok() const { return ok_; }
  bool Recv(std::string* out) {
    char buf[65536];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n < 0) return false;
    out->assign(buf, static_cast<size_t>(n));
    return true;
  }

 private:
  int fd_ = -1;
  bool ok_ = false;
};

}  // namespace peers
}  // namespace sim
}  // namespace zavo
