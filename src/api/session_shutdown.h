#pragma once
// The one shutdown sequence of a session, the same for both modes. The
// order is the point:
//
//   feed stopped -> processing thread joined -> loop stopped and joined
//                -> connector released -> object destroyed
//
// so that everything a handler can reach through the handle outlives the
// last handler call. Struct mode has a processing thread behind the
// receiver; raw mode delivers on the read thread and has none.
#include "api/session_lifecycle.h"
#include "api/struct_feed.h"
#include "net/feed_receiver.h"

namespace zavo {

class ApiImp;
class ControlChannel;

struct SessionParts {
  ApiImp* api;
  SessionLifecycle* lifecycle;
  FeedReceiver* receiver;
  StructFeed* feed;  // null when the receiver delivers itself
  ControlChannel* control;
};

// ApiImp::Close for both modes. The first call moves the lifecycle to
// Closing and signals every thread; later calls wait for that first one to
// finish signalling, except from inside a handler, where nothing waits:
// none of the session's threads may wait for another that could be
// waiting for it. From outside the session's threads the read thread is
// also joined and the socket closed.
void CloseSession(const SessionParts& parts);
// ApiImp::Join: Close if nobody did, then join the read thread, the
// processing thread and the loop thread, in that order. Not from a handler.
void JoinSession(const SessionParts& parts);
// ApiImp::Release, after Join: with no thread of the session left, the
// connector goes (on the calling thread, the loop having ended), then the
// receiver part, which destroys the whole object.
void ReleaseSession(const SessionParts& parts);

}  // namespace zavo
