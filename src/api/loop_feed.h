#pragma once
// The struct session's datagram processing where the feed arrives on the
// event loop thread (the Windows build): each datagram is decoded and
// delivered on that thread as it arrives, so there is no hand-off pipe, no
// processing thread and no copy. Same interface as the Linux
// FeedProcessor, so the session uses either as its StructFeed.
#include <cstddef>
#include <cstdint>
#include <functional>

namespace zavo {

class LoopFeed {
 public:
  using Sink = std::function<void(const char* data, size_t size)>;

  template <typename Source>
  explicit LoopFeed(Source*) {}
  LoopFeed(const LoopFeed&) = delete;
  LoopFeed& operator=(const LoopFeed&) = delete;

  void Start(Sink sink) { sink_ = std::move(sink); }
  // Loop thread: processes the datagram at once.
  void Enqueue(const char* data, size_t size) { sink_(data, size); }
  // Everything is on the loop thread: posted work runs at once.
  void SetSideWork(std::function<void()> work) { side_work_ = std::move(work); }
  void PostSideWork() {
    if (side_work_) side_work_();
  }
  void SetPromptWake(bool) {}
  uint64_t dropped() const { return 0; }
  uint64_t peak_queued_bytes() const { return 0; }
  uint64_t takeovers() const { return 0; }
  // Nothing runs apart from the loop thread, which the session stops.
  void Stop() {}
  void Join() {}

 private:
  Sink sink_;
  std::function<void()> side_work_;
};

}  // namespace zavo
