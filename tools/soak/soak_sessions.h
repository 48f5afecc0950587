#pragma once
// What the soak's handlers see of each session, found through the
// ConnectID every message carries (the handlers are plain C functions, and
// messages may arrive while ZAVO_Open still runs).
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>

#include "feed_stats.h"
#include "zavo_api.h"

namespace zavo_soak {

class SessionState {
 public:
  SessionState(int connect_id, bool raw);
  ~SessionState();
  SessionState(const SessionState&) = delete;
  SessionState& operator=(const SessionState&) = delete;

  int connect_id() const { return connect_id_; }
  bool raw() const { return raw_; }

  // ---- live data (the library's delivery thread) ----
  // Struct mode uses stream 0, raw mode stream 1 (Shanghai) and 2 (Shenzhen).
  const zavo_tail::FeedStats& stats() const { return stats_; }
  uint64_t FirstSeq(int stream) const { return first_seq_[stream].load(); }
  uint64_t LastSeq(int stream) const { return last_seq_[stream].load(); }
  uint64_t Delivered(int stream) const { return delivered_[stream].load(); }
  uint64_t Missing(int stream) const { return missing_[stream].load(); }
  // Struct mode with gap recovery: fields reported lost in the stream
  // (ZAVO_MSG_LOST_RANGE), which count as passed, not as a gap.
  uint64_t Lost() const { return stats_.LostFields(); }
  // The newest gap of a stream, [begin, end); {0, 0} before the first.
  void LastGap(int stream, uint64_t* begin, uint64_t* end) const;
  // Every record of the data handler sleeps this long (0: off).
  void SetHandlerDelayUs(int us) { delay_us_.store(us); }
  int64_t MaxHandlerDelayUs() const { return max_delay_us_.load(); }

  // ---- system handler ----
  uint64_t connects() const { return connects_.load(); }
  uint64_t disconnects() const { return disconnects_.load(); }
  uint64_t logins_ok() const { return logins_ok_.load(); }
  uint64_t logins_refused() const { return logins_refused_.load(); }
  uint64_t base_info_finished() const { return base_info_.load(); }
  uint64_t rebuild_finished() const { return rebuild_finished_.load(); }
  uint32_t last_rebuild_status() const { return last_rebuild_status_.load(); }

  // ---- rebuild handler ----
  // Sequence numbers received by the rebuild handler in [begin, end) of
  // stream `stream`; clears what was recorded before.
  uint64_t RebuiltIn(int stream, uint64_t begin, uint64_t end) const;
  void ClearRebuilt();
  uint64_t rebuilt_total() const { return rebuilt_total_.load(); }

  // Waits until `pred` holds (checked after every system or rebuild message)
  // or `timeout_ms` passes; returns the last value of `pred`.
  bool WaitFor(const std::function<bool()>& pred, int timeout_ms) const;

  // C handlers given to the library.
  static void OnData(void* handle, const ZAVO_MSG* msg);
  static void OnSystem(void* handle, const ZAVO_MSG* msg);
  static void OnRebuild(void* handle, const ZAVO_MSG* msg);
  // Messages whose ConnectID names no live state.
  static uint64_t Orphans();

 private:
  static SessionState* find(int connect_id);
  void on_data(const ZAVO_MSG* msg);
  void on_system(const ZAVO_MSG* msg);
  void on_rebuild(const ZAVO_MSG* msg);
  void notify();
  static int stream_of(const ZAVO_MSG* msg);

  const int connect_id_;
  const bool raw_;
  zavo_tail::FeedStats stats_;
  std::atomic<uint64_t> first_seq_[3] = {};
  std::atomic<uint64_t> last_seq_[3] = {};
  std::atomic<uint64_t> delivered_[3] = {};
  std::atomic<uint64_t> missing_[3] = {};
  std::atomic<uint64_t> gap_begin_[3] = {};
  std::atomic<uint64_t> gap_end_[3] = {};
  std::atomic<int> delay_us_{0};
  std::atomic<int64_t> max_delay_us_{0};

  std::atomic<uint64_t> connects_{0};
  std::atomic<uint64_t> disconnects_{0};
  std::atomic<uint64_t> logins_ok_{0};
  std::atomic<uint64_t> logins_refused_{0};
  std::atomic<uint64_t> base_info_{0};
  std::atomic<uint64_t> rebuild_finished_{0};
  std::atomic<uint32_t> last_rebuild_status_{0};
  std::atomic<uint64_t> rebuilt_total_{0};

  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::set<uint64_t> rebuilt_[3];  // under mu_
};

}  // namespace zavo_soak
