#pragma once
// Where the struct session processes its feed: on Linux a processing thread
// fed through a pipe by the receiver's read thread (FeedProcessor); on
// Windows the event loop thread that receives each datagram (LoopFeed).
#ifdef _WIN32
#include "api/loop_feed.h"
namespace zavo {
using StructFeed = LoopFeed;
}  // namespace zavo
#else
#include "api/feed_processor.h"
namespace zavo {
using StructFeed = FeedProcessor;
}  // namespace zavo
#endif
