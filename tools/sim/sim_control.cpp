// The simulator's control connections: login, heartbeats to one session,
// base information and retransmissions.
#include <uv.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "sim_server_imp.h"

namespace zavo {
namespace sim {

namespace {
// A base-information packet stays well below the 64 KiB a body can hold.
constexpr size_t kBaseInfoPacketBody = 32000;
}  // namespace

// ---------------------------------------------------------------- control

bool SimServerImp::write(KvelSession* s, const char* data, size_t len) {
  return s->Write(Slice(data, len));
}

bool SimServerImp::send_single_field(KvelSession* s, uint16_t fid, uint16_t size,
                                     const std::function<void(WireWriter&)>& fill) {
  ctl_pkt_.Begin(0, NowStamp());
  ctl_pkt_.BeginField(fid, size, 0);
  fill(ctl_pkt_.writer());
  ctl_pkt_.EndField();
  const char* bytes = ctl_pkt_.Finish();
  return write(s, bytes, ctl_pkt_.size());
}

void SimServerImp::OnConnected(KvelSession* s) {
  Conn c;
  c.id = next_conn_id_++;
  conns_[s] = c;
  log("connection %llu from %s:%d", static_cast<unsigned long long>(c.id), s->peer_ip().c_str(),
      s->peer_port());
  count([](SimCounters& k) { ++k.connections; });
}

void SimServerImp::OnDisconnected(KvelSession* s) {
  auto it = conns_.find(s);
  if (it == conns_.end()) return;
  log("connection %llu closed", static_cast<unsigned long long>(it->second.id));
  conns_.erase(it);
  count([](SimCounters& k) { ++k.disconnections; });
}

void SimServerImp::OnPacket(KvelSession* s, const StructPacket* packet) {
  auto ci = conns_.find(s);
  if (ci == conns_.end()) return;
  Conn* c = &ci->second;
  for (StructPacket::Iterator it(*packet); it.Valid(); it.Next()) {
    switch (it.FieldId) {
      case kFidReqUserLogin:
        on_login(s, c, it);
        break;
      case kFidRspUserLogin: {
        LoginReply echo;
        if (DecodeLoginReply(it.Data(), it.Remaining(), &echo)) {
          log("connection %llu echoed its login reply (%s)", static_cast<unsigned long long>(c->id),
              echo.error_msg.c_str());
          // Only a struct session returns its answer: on a server of
          // both feeds this is where its conversation starts.
          if (c->logged_in && c->peer == Peer::kUnknown) {
            c->peer = Peer::kStruct;
            start_struct_conversation(s);
          }
          count([](SimCounters& k) { ++k.login_echoes; });
        }
        break;
      }
      case kFidReqRetransmit: {
        RetransmitRange r;
        if (!DecodeRetransmit(it.Data(), it.Remaining(), &r)) break;
        if (!c->logged_in) {
          log("connection %llu asked for a retransmission before logging in; ignored",
              static_cast<unsigned long long>(c->id));
          break;
        }
        const bool raw = packet->PacketType != kPacketTypeRetransmit;
        if (raw && c->peer == Peer::kUnknown) c->peer = Peer::kRaw;
        on_retransmit_request(s, c, r, raw);
        break;
      }
      default:
        log("connection %llu sent field %u; ignored", static_cast<unsigned long long>(c->id),
            it.FieldId);
        count([](SimCounters& k) { ++k.unknown_fields; });
        break;
    }
  }
}

void SimServerImp::on_login(KvelSession* s, Conn* c, const StructPacket::Iterator& it) {
  LoginRequest req;
  if (!DecodeLoginRequest(it.Data(), it.Remaining(), &req)) {
    log("connection %llu sent a short login request", static_cast<unsigned long long>(c->id));
    return;
  }
  c->user = req.user;
  if (login_mode_ == LoginMode::kSilent) {
    log("login of '%s' on connection %llu left unanswered", req.user.c_str(),
        static_cast<unsigned long long>(c->id));
    count([](SimCounters& k) { ++k.logins_ignored; });
    return;
  }
  bool known = cfg_.users.empty();
  for (const SimUser& u : cfg_.users) {
    if (u.user == req.user && (u.password.empty() || u.password == req.password)) known = true;
  }
  if (login_mode_ == LoginMode::kRefuse || !known) {
    // Counted before answering, so that a client holding the answer finds
    // the counter already moved.
    count([](SimCounters& k) { ++k.logins_refused; });
    send_login_reply(s, cfg_.refuse_error_id, cfg_.refuse_text, c->id);
    log("login of '%s' on connection %llu refused: %d %s", req.user.c_str(),
        static_cast<unsigned long long>(c->id), cfg_.refuse_error_id, cfg_.refuse_text.c_str());
    return;
  }
  c->logged_in = true;
  count([](SimCounters& k) { ++k.logins_accepted; });
  send_login_reply(s, 0, cfg_.login_reply, c->id);
  log("login of '%s' (%s) on connection %llu accepted", req.user.c_str(), req.version.c_str(),
      static_cast<unsigned long long>(c->id));
  // Both kinds of session log in alike. With one feed the kind is known;
  // with both, a struct session makes itself known by returning the answer
  // (see the echo above) and anything else is served as a raw one.
  if (cfg_.feed_mode == FeedMode::kStruct) {
    c->peer = Peer::kStruct;
    start_struct_conversation(s);
  } else if (cfg_.feed_mode == FeedMode::kRaw) {
    c->peer = Peer::kRaw;
  }
}

void SimServerImp::start_struct_conversation(KvelSession* s) {
  // The day comes first: a client that starts its day on the first
  // heartbeat it sees must not clear the code tables it is about to get.
  send_heartbeat_to(s, HeartbeatValue(NowStamp()));
  send_base_info(s);
}

void SimServerImp::send_heartbeat_to(KvelSession* s, uint64_t value) {
  if (send_single_field(s, kFidHeartBeat, kSizeHeartBeat, [&](WireWriter& w) { w.U64(value); })) {
    count([](SimCounters& c) { ++c.heartbeats_control; });
  }
}

void SimServerImp::send_login_reply(KvelSession* s, int32_t error_id, const std::string& text,
                                    uint64_t id) {
  LoginReply r;
  r.reply_value = id;
  r.reply_text = "zavo_sim";
  r.error_id = error_id;
  r.error_msg = text;
  send_single_field(s, kFidRspUserLogin, kSizeRspUserLogin,
                    [&](WireWriter& w) { WriteLoginReply(&w, r); });
}

void SimServerImp::send_base_info(KvelSession* s) {
  uint64_t stamp = NowStamp();
  unsigned sent = 0;
  ctl_pkt_.Begin(0, stamp);
  auto add = [&](const Instrument& in, bool option) {
    uint16_t size = option ? kSizeOptionBaseInfo : kSizeSecurityBaseInfo;
    if (ctl_pkt_.field_count() > 0 &&
        ctl_pkt_.body_size() + kFieldHeaderSize + size > kBaseInfoPacketBody) {
      const char* p = ctl_pkt_.Finish();
      write(s, p, ctl_pkt_.size());
      ctl_pkt_.Begin(0, stamp);
    }
    ctl_pkt_.BeginField(option ? kFidOptionBaseInfo : kFidSecurityBaseInfo, size, 0);
    if (option) {
      model_.WriteOptionBaseInfo(in, &ctl_pkt_.writer());
    } else {
      model_.WriteSecurityBaseInfo(in, &ctl_pkt_.writer());
    }
    ctl_pkt_.EndField();
    ++sent;
  };
  for (size_t i : model_.security_table()) add(model_.instruments()[i], false);
  for (size_t i : model_.option_table()) add(model_.instruments()[i], true);
  ctl_pkt_.BeginField(kFidBaseInfoFinish, kSizeBaseInfoFinish, 0);
  ctl_pkt_.writer().I32(static_cast<int32_t>(sent));
  ctl_pkt_.EndField();
  const char* p = ctl_pkt_.Finish();
  write(s, p, ctl_pkt_.size());
  log("sent %u base-information entries and the end field", sent);
  count([&](SimCounters& k) {
    k.base_info_sent += sent;
    ++k.base_info_finished;
  });
}

void SimServerImp::send_end_of_retransmit(KvelSession* s, const RetransmitRange& r,
                                          uint32_t status) {
  RetransmitRange reply = r;
  reply.scope = status;
  send_single_field(s, kFidRspRetransmit, kSizeRetransmit,
                    [&](WireWriter& w) { WriteRetransmit(&w, reply); });
}

void SimServerImp::on_retransmit_request(KvelSession* s, Conn* c, const RetransmitRange& r,
                                         bool raw) {
  const unsigned delay_ms = cfg_.faults.retransmit_delay_ms;
  if (delay_ms == 0) {
    serve_retransmit(s, r, raw);
    return;
  }
  PendingRetransmit p;
  p.due_ns = uv_hrtime() + static_cast<uint64_t>(delay_ms) * 1000000ULL;
  p.conn_id = c->id;
  p.raw = raw;
  p.range = r;
  // One delay for all: the queue stays in arrival order, and a connection's
  // answers keep the order of its requests.
  pending_retransmits_.push_back(p);
  log("connection %llu: retransmission [%llu, %llu) answered in %u ms",
      static_cast<unsigned long long>(c->id), static_cast<unsigned long long>(r.begin),
      static_cast<unsigned long long>(r.end), delay_ms);
  count([](SimCounters& k) { ++k.retransmits_delayed; });
}

void SimServerImp::serve_due_retransmits(uint64_t now_ns) {
  while (!pending_retransmits_.empty() && pending_retransmits_.front().due_ns <= now_ns) {
    const PendingRetransmit p = pending_retransmits_.front();
    pending_retransmits_.pop_front();
    KvelSession* session = nullptr;
    for (auto& kv : conns_) {
      if (kv.second.id == p.conn_id) session = kv.first;
    }
    if (!session) {
      log("connection %llu closed before its retransmission was due; dropped",
          static_cast<unsigned long long>(p.conn_id));
      continue;
    }
    serve_retransmit(session, p.range, p.raw);
  }
}

void SimServerImp::serve_retransmit(KvelSession* s, const RetransmitRange& r, bool raw) {
  if (Chance(&refuse_rng_, cfg_.faults.retransmit_refuse)) {
    count([raw](SimCounters& k) {
      ++(raw ? k.raw_requests : k.retransmit_requests);
      ++k.retransmits_refused;
    });
    send_end_of_retransmit(s, r, kRetransmitRefused);
    log("refused the %s retransmission of [%llu, %llu)", raw ? "raw" : "struct",
        static_cast<unsigned long long>(r.begin), static_cast<unsigned long long>(r.end));
    return;
  }
  if (raw) {
    on_raw_retransmit(s, r);
  } else {
    on_struct_retransmit(s, r);
  }
}

void SimServerImp::on_struct_retransmit(KvelSession* s, const RetransmitRange& r) {
  // Only the part of the range that the history holds is walked, so a
  // request for an absurd range costs no more than one for the history.
  uint64_t lo = std::max(r.begin, history_.first());
  uint64_t hi = std::min(r.end, history_.last() + 1);
  uint64_t sent = 0;
  const size_t limit = std::max<size_t>(cfg_.reply_packet_bytes, 2048);
  if (history_.size() > 0 && lo < hi) {
    ctl_pkt_.Begin(kPacketTypeRetransmit, NowStamp());
    for (uint64_t seq = lo; seq < hi; ++seq) {
      const std::vector<char>* f = history_.Find(seq);
      if (!f) continue;
      if (ctl_pkt_.field_count() > 0 && ctl_pkt_.body_size() + f->size() > limit) {
        const char* p = ctl_pkt_.Finish();
        write(s, p, ctl_pkt_.size());
        ctl_pkt_.Begin(kPacketTypeRetransmit, NowStamp());
      }
      ctl_pkt_.AppendField(f->data(), f->size());
      ++sent;
    }
    if (ctl_pkt_.field_count() > 0) {
      const char* p = ctl_pkt_.Finish();
      write(s, p, ctl_pkt_.size());
    }
  }
  uint64_t wanted = r.end > r.begin ? r.end - r.begin : 0;
  uint32_t status = sent == 0 ? 2 : sent < wanted ? 1 : 0;
  // Counted before the end record, so that a client holding the end finds
  // the counters already moved.
  count([&](SimCounters& k) {
    ++k.retransmit_requests;
    k.retransmit_fields += sent;
  });
  send_end_of_retransmit(s, r, status);
  log("retransmitted %llu of [%llu, %llu) (day %u), status %u",
      static_cast<unsigned long long>(sent), static_cast<unsigned long long>(r.begin),
      static_cast<unsigned long long>(r.end), r.scope, status);
}

void SimServerImp::on_raw_retransmit(KvelSession* s, const RetransmitRange& r) {
  uint64_t sent = 0;
  uint64_t wanted = r.end > r.begin ? r.end - r.begin : 0;
  if (r.scope == 1 || r.scope == 2) {
    const RawHistory& h = raw_history_[r.scope - 1];
    uint64_t lo = std::max(r.begin, h.first());
    uint64_t hi = std::min(r.end, h.last() + 1);
    for (uint64_t seq = lo; h.size() > 0 && seq < hi; ++seq) {
      const RawHistory::Entry* e = h.Find(seq);
      if (!e) continue;
      // A replay travels on TCP, so a message goes whole in one packet.
      raw_pkt_.Reset();
      WriteRawHeader(&raw_pkt_, e->send_time, static_cast<uint8_t>(r.scope), seq, 0, 0,
                     static_cast<uint16_t>(e->payload.size()));
      raw_pkt_.Bytes(e->payload.data(), e->payload.size());
      write(s, raw_pkt_.data(), raw_pkt_.size());
      ++sent;
    }
  }
  uint32_t status = sent == 0 ? 2 : sent < wanted ? 1 : 0;
  count([&](SimCounters& k) {
    ++k.raw_requests;
    k.raw_replayed += sent;
  });
  send_end_of_retransmit(s, r, status);
  log("replayed %llu raw messages of exchange %u in [%llu, %llu), status %u",
      static_cast<unsigned long long>(sent), r.scope, static_cast<unsigned long long>(r.begin),
      static_cast<unsigned long long>(r.end), status);
}

}  // namespace sim
}  // namespace zavo
