#pragma once
// Configuration of the market-data server simulator. Every member has a
// default that works on a single host: TCP on 127.0.0.1, multicast out of
// 127.0.0.1 with a time-to-live of 0 so that nothing leaves the machine.
#include <cstdint>
#include <string>
#include <vector>

#include "zavo_defaults.h"

namespace zavo {
namespace sim {

// One account the server accepts. An empty password accepts any password.
struct SimUser {
  std::string user;
  std::string password;
};

// What the server does with a login request.
enum class LoginMode {
  kAccept = 0,  // answer per the user list (accept, or refuse unknown users)
  kRefuse = 1,  // refuse every login with refuse_error_id / refuse_text
  kSilent = 2,  // read the request and never answer
};

// Which feeds the server publishes.
enum class FeedMode {
  kStruct = 0,  // struct packets on group:port
  kRaw = 1,     // raw fragments on group:raw_port
  kBoth = 2,
};

// Replaying capture files instead of publishing the synthetic market (see
// SimReplay). No files: no replay.
struct ReplayOptions {
  std::vector<std::string> files;  // played in this order
  double speed = 1.0;              // recorded spacing divided by this
  bool max = false;                // no spacing at all
  bool loop = false;               // start again after the last file
  bool enabled() const { return !files.empty(); }
};

// Faults of the feed and the control connections, for testing clients
// against a network and a server that misbehave. All off by default; every
// random choice comes from the configured seed, so a run repeats.
struct FaultConfig {
  // Feed datagrams (struct packets and raw fragments alike; heartbeats are
  // exempt). Loss happens at the sender: every receiver sees the same gap.
  double loss = 0;              // probability that a datagram is not sent
  unsigned burst_lost = 0;      // N of --burst N:M: datagrams lost in a row ...
  unsigned burst_period = 0;    // ... M: once in every M datagrams (0: no bursts)
  double duplicate = 0;         // probability that a datagram is sent twice
  double reorder = 0;           // probability that a datagram is held back ...
  unsigned reorder_window = 3;  // ... and sent after 1 to this many later ones
  // Control connections.
  unsigned drop_every_s = 0;         // close every connection this often (0: never)
  unsigned retransmit_delay_ms = 0;  // answer retransmission requests this late
  double retransmit_refuse = 0;      // probability of refusing a request
  bool feed_active() const { return loss > 0 || burst_period > 0 || duplicate > 0 || reorder > 0; }
  bool active() const {
    return feed_active() || drop_every_s > 0 || retransmit_delay_ms > 0 || retransmit_refuse > 0;
  }
};

struct SimConfig {
  // Control connection.
  std::string listen_ip = ZAVO_DEFAULT_SERVER_IP;
  int listen_port = ZAVO_DEFAULT_SERVER_PORT;  // 0: let the system pick (see SimServer::ListenPort)

  // Multicast feed. The interface is the local address the datagrams leave
  // from; the time-to-live of 0 keeps them on this host.
  std::string group = ZAVO_DEFAULT_GROUP_IP;
  int port = ZAVO_DEFAULT_STRUCT_PORT;
  int raw_port = ZAVO_DEFAULT_RAW_PORT;
  std::string interface_ip = ZAVO_DEFAULT_INTERFACE_IP;
  int ttl = 0;
  FeedMode feed_mode = FeedMode::kStruct;
  // Largest datagram the feed sends; struct packets hold as many fields as
  // fit, raw messages are cut into fragments of at most this size.
  unsigned max_datagram = 1400;

  // Login.
  std::vector<SimUser> users;         // empty: accept anybody
  std::string login_reply = "SH;SZ";  // text of an accepted login reply
  int32_t refuse_error_id = 1003;     // for refused logins
  std::string refuse_text = "user or password error";
  LoginMode login_mode = LoginMode::kAccept;

  // Synthetic market.
  unsigned sh_securities = 20;
  unsigned sz_securities = 20;
  unsigned sh_options = 8;
  unsigned sz_options = 8;
  unsigned indices = 4;  // split between SH and SZ
  unsigned futures = 2;
  uint64_t seed = 1;
  // Stocks trade through matching engines, so that every order, trade,
  // queue and snapshot of a stock follows from its book (false: the older
  // independent random walk, whose details and snapshots do not agree).
  bool book_model = true;

  // Publishing: market-data fields per second on the struct feed and raw
  // messages per second per exchange on the raw feed. 0 stops publishing
  // (heartbeats continue), which tests use to drive the feed by hand.
  unsigned rate = 1000;
  unsigned raw_rate = 200;
  // Intraday profile: simulated seconds of the trading day per wall second
  // (0: a flat rate). The struct rate then follows the day's shape, busy at
  // the open and the close and quiet at midday, averaging `rate`.
  double day_scale = 0;
  unsigned heartbeat_ms = 1000;
  // Heartbeats on the struct feed too (a replay turns them off: the
  // recording carries its own, with the recorded day).
  bool feed_heartbeats = true;

  // Retransmission: how many recent fields (struct) and messages per
  // exchange (raw) are kept to answer requests.
  unsigned history = 100000;
  unsigned raw_history = 20000;
  // Largest body of one retransmission reply packet on the control
  // connection.
  unsigned reply_packet_bytes = 16384;

  // Raw message lengths, bytes, drawn uniformly between these.
  unsigned raw_min_len = 24;
  unsigned raw_max_len = 4096;

  FaultConfig faults;

  // Echo the server's log lines on standard output.
  bool verbose = false;
};

}  // namespace sim
}  // namespace zavo
