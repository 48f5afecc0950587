#pragma once
// The native side of one Python session: owns the library handle, receives
// the library's callbacks on the library's threads and keeps what they
// deliver in bounded queues until Python takes it. Nothing here touches the
// interpreter, so none of the library's threads ever waits for the GIL.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "native_book.h"
#include "record_queue.h"
#include "zavo_api.h"
#include "zavo_defaults.h"

namespace zavo {
namespace py {

struct SessionSettings {
  bool raw = false;
  std::string server_ip = ZAVO_DEFAULT_SERVER_IP;
  uint16_t server_port = ZAVO_DEFAULT_SERVER_PORT;
  std::string group_ip = ZAVO_DEFAULT_GROUP_IP;
  uint16_t group_port = ZAVO_DEFAULT_STRUCT_PORT;
  std::string local_ip = ZAVO_DEFAULT_INTERFACE_IP;
  std::string user = ZAVO_DEFAULT_USER;
  std::string password = ZAVO_DEFAULT_PASSWORD;
  std::string markets = "SH;SZ";
  std::string codes;
  uint32_t flags = 0;
  int32_t cpu = -1;
  size_t queue_records = 200000;
  size_t queue_bytes = 256u << 20;
};

// One system message as received.
struct SystemEvent {
  uint64_t index;  // 0, 1, 2, ... in arrival order
  uint32_t kind;   // ZAVO_MSG_CONNECT .. ZAVO_MSG_REBUILD_FINISH
  uint32_t time;
  std::string record;
};

// Counters of the data path; read while the library writes them.
struct SessionCounters {
  uint64_t by_kind[8] = {};  // struct kinds 100..106 at [0..6]; raw at [7]
  uint64_t raw_by_exchange[2] = {};
  uint64_t gaps = 0;     // times a sequence number skipped ahead
  uint64_t missing = 0;  // sequence numbers skipped in total
  uint64_t dropped = 0;
  uint64_t rebuild_dropped = 0;
  uint64_t queued = 0;
  // The library's feed-health counters (ZAVO_FLAG_FEED_STATS), the newest
  // that came; have_feed false before the first.
  bool have_feed = false;
  ZAVO_FeedStats feed{};
};

class NativeSession : public std::enable_shared_from_this<NativeSession> {
 public:
  enum class State { kNew, kOpening, kOpen, kFailed, kClosing, kClosed };

  explicit NativeSession(const SessionSettings& s);
  ~NativeSession();
  NativeSession(const NativeSession&) = delete;
  NativeSession& operator=(const NativeSession&) = delete;

  // Starts the library's open on a helper thread (the library blocks until
  // the login is answered). WaitOpen then reports the outcome; Abandon gives
  // up on it, and the helper closes the session when the open completes.
  void StartOpen();
  // True once the open has finished; `error` receives its result.
  bool WaitOpen(std::chrono::milliseconds timeout, int* error);
  void Abandon();

  // Closes the session and waits for the library's threads; any thread, any
  // number of times. Readers blocked in the queues wake at once.
  void Close();
  bool WaitClosed(std::chrono::milliseconds timeout);
  State state() const;

  RecordQueue& queue() { return queue_; }
  RecordQueue& rebuild_queue() { return rebuild_queue_; }

  // System events: the ones with index >= `since` (at most the last 4096 are
  // kept). WaitEvent waits for one of `kind` (0: any) with index >= `since`.
  std::vector<SystemEvent> Events(uint64_t since) const;
  bool WaitEvent(uint32_t kind, uint64_t since, std::chrono::milliseconds timeout,
                 SystemEvent* out);

  // Retransmission: Start asks the library (returns its ZAVO_ERROR); Wait
  // reports true when the end has arrived, with its status; Cancel stops
  // collecting (late records are dropped).
  int StartRebuild(char market, uint64_t begin, uint64_t end);
  bool WaitRebuild(std::chrono::milliseconds timeout, uint32_t* status);
  void CancelRebuild();

  // Queries, struct mode. Each returns ZAVO_ERROR and the copied bytes.
  int CodeTable(const std::string& market, std::string* out);
  int OptionInfo(const std::string& code, std::string* out);
  int LastData(uint32_t kind, const std::string& market, std::string* out);
  int UpdateSubscription(int mode, const std::string& codes);

  // Takes the handle for one library call; null unless the session is
  // open. Close waits until every such call has returned.
  ZAVO_HANDLE use_handle();
  void release_handle();

  // Books fed from the data handler, ahead of the record queue, and from
  // the retransmission handler (see NativeBook). Attach and detach take
  // effect from the next record; a detached book keeps what it had.
  void AttachBook(std::shared_ptr<NativeBook> book);
  void DetachBook(const NativeBook* book);

  SessionCounters Counters() const;
  const SessionSettings& settings() const { return settings_; }

  // Waits (bounded) until every abandoned open of the process has ended;
  // called at interpreter exit.
  static void WaitAbandoned(std::chrono::milliseconds timeout);

 private:
  static void on_data_cb(void* handle, const ZAVO_MSG* msg);
  static void on_system_cb(void* handle, const ZAVO_MSG* msg);
  static void on_rebuild_cb(void* handle, const ZAVO_MSG* msg);
  static NativeSession* find(int32_t connect_id);

  void run_open();
  void on_data(const ZAVO_MSG& m);
  void on_system(const ZAVO_MSG& m);
  void on_rebuild(const ZAVO_MSG& m);
  void note_seq(int lane, uint64_t seq);

  const SessionSettings settings_;
  const int32_t connect_id_;
  RecordQueue queue_;
  RecordQueue rebuild_queue_;

  mutable std::mutex state_mu_;
  std::condition_variable state_cv_;
  State state_ = State::kNew;
  ZAVO_HANDLE handle_ = nullptr;
  int open_error_ = 0;
  bool abandoned_ = false;
  int users_ = 0;  // library calls in progress on handle_

  mutable std::mutex ev_mu_;
  std::condition_variable ev_cv_;
  std::deque<SystemEvent> events_;
  uint64_t next_event_ = 0;

  std::mutex rb_mu_;
  std::condition_variable rb_cv_;
  bool rb_active_ = false;
  bool rb_done_ = false;
  uint64_t rb_begin_ = 0, rb_end_ = 0;
  uint32_t rb_status_ = 0;

  // Read on every record: a session without books skips the lock.
  std::atomic<bool> has_books_{false};
  std::mutex books_mu_;
  std::vector<std::shared_ptr<NativeBook>> books_;

  std::atomic<uint64_t> by_kind_[8] = {};
  std::atomic<uint64_t> raw_by_exchange_[2] = {};
  std::atomic<uint64_t> gaps_{0};
  std::atomic<uint64_t> missing_{0};
  mutable std::mutex feed_mu_;
  bool have_feed_ = false;       // guarded by feed_mu_
  ZAVO_FeedStats feed_stats_{};  // guarded by feed_mu_
  // Last sequence per lane (struct feed; raw SH; raw SZ); written by the one
  // thread that delivers that lane.
  uint64_t last_seq_[3] = {};
};

}  // namespace py
}  // namespace zavo
