#pragma once
// SimServer: an in-process market-data server for tests, benchmarks, the
// demo and development without an exchange connection.
//
// It listens for control connections on a TCP address, where it
//   - answers each login request (accept with the configured reply text,
//     refuse with an error number and text, or stay silent),
//   - after an accepted login of a struct session sends the base
//     information of every configured security and option, then the
//     end-of-base-information field,
//   - sends a heartbeat every second to each logged-in struct session,
//   - gives raw sessions the login answer, replays and end records only
//     (with both feeds, a session counts as a struct one once it returns
//     its login answer, which only struct sessions do),
//   - answers struct retransmission requests (packet type 1010) with the
//     requested fields from its history in packets of type 1010, then an
//     end-of-retransmission record in a packet of type 0,
//   - answers raw retransmission requests (field 4 in a packet of type 0,
//     scope 1 Shanghai / 2 Shenzhen) with one raw packet per kept message in
//     the range, then the end-of-retransmission record;
// and it publishes on a multicast group
//   - struct packets (one per datagram, as many fields as fit) carrying
//     synthetic market data with one global, gap-free field sequence starting
//     at 1, and a heartbeat every second (heartbeats carry sequence 0 and use
//     no sequence number),
//   - raw fragments (raw port) of synthetic exchange messages, each exchange
//     numbering its messages from 1 without gaps.
//
// Heartbeat values are date × 10^7 + hhmmss × 10 + tenths of a second, so
// that the value divided by 10^7 is the local date YYYYMMDD.
//
// The status of an end-of-retransmission record (its Scope member) is 0 when
// every requested number was sent, 1 when part of the range was not (or no
// longer) in the history, 2 when none of it was, and 3 when the server
// refused the request (fault injection): then no field is sent at all.
//
// Faults configured in SimConfig::faults (see FeedFaults) act on the feed's
// datagrams and on the control connections from the start; the counters
// below say what they did.
//
// Threads: everything runs on the server's own event-loop thread. Start,
// Stop, the counters, the fault switches and the publish calls may be used
// from any thread; the switches take effect on the loop thread shortly after
// the call returns.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "sim_config.h"

namespace zavo {
namespace sim {

// A snapshot of the server's counters.
struct SimCounters {
  uint64_t connections = 0;     // control connections accepted
  uint64_t disconnections = 0;  // control connections closed
  uint64_t logins_accepted = 0;
  uint64_t logins_refused = 0;
  uint64_t logins_ignored = 0;      // requests left unanswered (silent mode)
  uint64_t login_echoes = 0;        // login replies sent back by clients
  uint64_t base_info_sent = 0;      // base-information entries (17 and 18)
  uint64_t base_info_finished = 0;  // end-of-base-information fields sent
  uint64_t heartbeats_feed = 0;
  uint64_t heartbeats_control = 0;
  uint64_t fields_published = 0;  // market-data fields generated
  uint64_t fields_skipped = 0;    // generated, kept, but not multicast
  uint64_t datagrams_sent = 0;
  uint64_t send_errors = 0;
  uint64_t last_seq = 0;  // newest field sequence number
  uint64_t retransmit_requests = 0;
  uint64_t retransmit_fields = 0;  // fields sent in retransmission replies
  uint64_t raw_requests = 0;
  uint64_t raw_replayed = 0;          // raw messages sent on control connections
  uint64_t raw_messages = 0;          // raw messages published (both exchanges)
  uint64_t raw_fragments = 0;         // raw datagrams sent
  uint64_t raw_last_seq[2] = {0, 0};  // newest message number, SH and SZ
  uint64_t garbage_sent = 0;          // garbage bursts sent (control and feed)
  uint64_t unknown_fields = 0;        // fields from clients the server ignored
  uint64_t recorded_sent = 0;         // recorded datagrams published (sent or not)
  // Configured faults (SimConfig::faults); the datagram counts cover both
  // feeds, fields_lost the market-data fields of lost struct datagrams.
  uint64_t datagrams_lost = 0;
  uint64_t fields_lost = 0;
  uint64_t datagrams_duplicated = 0;
  uint64_t datagrams_reordered = 0;
  uint64_t connections_dropped = 0;  // by --drop-every and DropConnections
  uint64_t retransmits_delayed = 0;  // requests (struct and raw) answered late
  uint64_t retransmits_refused = 0;  // requests answered with status 3 only
};

// Status of an end-of-retransmission record for a refused request.
constexpr uint32_t kRetransmitRefused = 3;

// One-shot faults of the raw feed, applied to the next multi-fragment
// messages (a single-fragment message can only be lost or repeated).
enum class RawFault {
  kLoseFragment = 0,      // one fragment of the message is not sent
  kRepeatFragment = 1,    // one fragment is sent twice
  kReorderFragments = 2,  // two fragments are sent in swapped order
};

class SimServerImp;

class SimServer {
 public:
  explicit SimServer(const SimConfig& cfg);
  ~SimServer();  // stops the server
  SimServer(const SimServer&) = delete;
  SimServer& operator=(const SimServer&) = delete;

  // Opens the listener and the multicast senders and starts the loop thread.
  // Returns 0, or a negative libuv/system error code with a reason in
  // *error; on failure nothing keeps running.
  int Start(std::string* error = nullptr);
  // Closes every connection and the feed and joins the loop thread.
  // Idempotent; also done by the destructor.
  void Stop();

  // The TCP port actually listened on (useful with listen_port 0).
  int ListenPort() const;
  const SimConfig& config() const;

  SimCounters Counters() const;
  // Waits until `pred` holds for the counters or `timeout_ms` passes;
  // returns the last value of `pred`. The server signals after every event
  // that changes a counter, so this never needs polling.
  bool WaitFor(const std::function<bool(const SimCounters&)>& pred, int timeout_ms) const;

  // ---- driving the feed by hand (with rate 0, or in addition to it) ----
  // Publishes `fields` market-data fields now (packed into datagrams).
  void PublishNow(unsigned fields);
  // Publishes one security snapshot of `code` (without market suffix) now.
  // The feed keeps its order, so a session that has delivered it has
  // processed everything published before: a test's marker.
  void PublishSnapshotNow(const std::string& code);
  // Publishes `messages` raw messages of `exchange` (1 or 2) now.
  void PublishRawNow(uint8_t exchange, unsigned messages);
  // Sends a heartbeat now on the feed and to every logged-in connection.
  void HeartbeatNow();
  // Sends a heartbeat with this exact value (a day change, for instance).
  void HeartbeatValueNow(uint64_t value);
  // Publishes one recorded datagram as it is: raw fragments (sync value
  // F7 F7) on the raw port, everything else on the struct port. The
  // market-data fields of a struct packet enter the retransmission history
  // under their own sequence numbers, which become the feed's.
  void PublishRecorded(const char* data, size_t len);

  // ---- fault injection ----
  void SetLoginMode(LoginMode mode);
  // Closes every control connection (clients see the connection drop).
  void DropConnections();
  // Sends `bytes` garbage bytes (containing no sync value) on every control
  // connection, or as one datagram on the struct feed.
  void SendControlGarbage(unsigned bytes);
  void SendFeedGarbage(unsigned bytes);
  // The next `fields` market-data fields are generated, numbered and kept
  // for retransmission but not multicast: the feed shows a gap.
  void SkipFeed(unsigned fields);
  // Applies `fault` to the next `count` raw messages.
  void InjectRawFault(RawFault fault, unsigned count);

 private:
  std::unique_ptr<SimServerImp> imp_;
};

}  // namespace sim
}  // namespace zavo
