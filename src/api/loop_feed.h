#pragma once
// The struct session's datagram processing where the feed arrives on the
// event loop thread (the Windows build): each datagram is decoded and
// delivered on that thread as it arrives, so there is no hand-off pipe, no
// processing thread and no copy. Same interface as the Linux
// FeedProcessor, so the session uses either as its StructFeed.
#include <cstddef>
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
  // Nothing runs apart from the loop thread, which the session stops.
  void Stop() {}
  void Join() {}

 private:
  Sink sink_;
};

}  // namespace zavo
