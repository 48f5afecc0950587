#pragma once
// A thread's wake-up eventfd, and the one way it waits: for that eventfd
// or a socket, whichever comes first. Shared by the feed's read thread and
// its processing thread.
#include <poll.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>

namespace zavo {

// Signals eventfd `fd`; nothing when it is -1.
inline void SignalEvent(int fd) {
  const uint64_t one = 1;
  if (fd >= 0) (void)!::write(fd, &one, sizeof(one));
}

// Blocks until eventfd `event_fd` is signalled (its count is then taken),
// socket `fd` is readable (when fd >= 0), or `timeout_ns` has passed
// (< 0: no limit).
inline void WaitEventOrReadable(int event_fd, int fd, int64_t timeout_ns) {
  pollfd fds[2];
  fds[0] = pollfd{event_fd, POLLIN, 0};
  fds[1] = pollfd{fd, POLLIN, 0};
  const timespec limit{static_cast<time_t>(timeout_ns / 1000000000),
                       static_cast<long>(timeout_ns % 1000000000)};
  (void)::ppoll(fds, fd >= 0 ? 2 : 1, timeout_ns < 0 ? nullptr : &limit, nullptr);
  if (fds[0].revents & POLLIN) {
    uint64_t count = 0;
    (void)!::read(event_fd, &count, sizeof(count));
  }
}

}  // namespace zavo
