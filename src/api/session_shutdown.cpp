#include "api/session_shutdown.h"

#include "api/api_imp.h"
#include "api/control_channel.h"

namespace zavo {

void CloseSession(const SessionParts& parts) {
  const bool in_handler = parts.api->InHandler();
  if (!parts.lifecycle->BeginClose()) {
    if (!in_handler) parts.lifecycle->WaitSignalled();
    return;
  }
  // The read thread may be the caller: from a handler it is only asked to
  // end, and whoever joins later does the rest.
  if (in_handler) {
    parts.receiver->Stop();
  } else {
    parts.receiver->Close();
  }
  if (parts.feed != nullptr) parts.feed->Stop();
  parts.control->Stop();
  parts.lifecycle->CloseSignalled();
}

void JoinSession(const SessionParts& parts) {
  CloseSession(parts);
  // Closed from a handler, the read thread was only signalled: join it now.
  parts.receiver->Close();
  if (parts.feed != nullptr) parts.feed->Join();
  parts.control->Join();
  parts.lifecycle->MarkClosed();
}

void ReleaseSession(const SessionParts& parts) {
  parts.control->ReleaseConnector();
  FeedReceiver::Release(parts.receiver);
}

}  // namespace zavo
