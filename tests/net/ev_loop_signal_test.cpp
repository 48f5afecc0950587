// The loop thread survives writes to a peer that has gone, whatever the
// process's SIGPIPE disposition.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <future>

#include "net/ev_loop.h"

namespace zavo {
namespace {

struct WriteOutcome {
  ssize_t written = 0;
  int error = 0;
  bool pipe_blocked = false;
};

TEST(EvLoopSignals, WriteToAClosedPeerFailsWithoutEndingTheProcess) {
  // Like a user's program: SIGPIPE keeps its default action (end the process).
  struct sigaction dfl {};
  struct sigaction saved {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  ASSERT_EQ(sigaction(SIGPIPE, &dfl, &saved), 0);

  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  ::close(sv[1]);  // the peer is gone

  EvLoop loop;
  loop.Start();
  std::promise<WriteOutcome> done;
  loop.CallInLoop([&] {
    WriteOutcome o;
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    o.pipe_blocked = sigismember(&mask, SIGPIPE) == 1;
    o.written = ::write(sv[0], "x", 1);
    o.error = errno;
    done.set_value(o);
  });
  std::future<WriteOutcome> f = done.get_future();
  ASSERT_EQ(f.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  const WriteOutcome o = f.get();
  EXPECT_TRUE(o.pipe_blocked);
  EXPECT_EQ(o.written, -1);
  EXPECT_EQ(o.error, EPIPE);

  // Only the loop thread's mask changed, not the caller's.
  sigset_t mine;
  pthread_sigmask(SIG_BLOCK, nullptr, &mine);
  EXPECT_EQ(sigismember(&mine, SIGPIPE), 0);

  loop.Stop();
  loop.Join();
  ::close(sv[0]);
  sigaction(SIGPIPE, &saved, nullptr);
}

}  // namespace
}  // namespace zavo
