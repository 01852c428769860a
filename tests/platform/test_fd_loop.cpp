// The I/O threads' wait: a wake from another thread, the events asked for on the
// fd and only those, and a forgotten fd that no longer wakes anyone.
#include <gtest/gtest.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <thread>

#include "platform/poll/fd_loop.h"

namespace veltra::test {
namespace {

using platform::FdLoop;

struct Pipe {
  Pipe() { EXPECT_EQ(pipe(fds), 0); }
  ~Pipe() {
    close(fds[0]);
    close(fds[1]);
  }
  int fds[2] = {-1, -1};
};

TEST(FdLoop, WakesFromAnotherThreadAndReportsOnlyTheWatchedEvents) {
  Pipe p;
  int err = -1;
  auto loop = FdLoop::Create(p.fds[0], &err);
  ASSERT_TRUE(loop);
  EXPECT_EQ(err, 0);
  std::thread waker([&] { loop->Wake(); });
  FdLoop::Ready ready;
  ASSERT_EQ(loop->Wait(-1, &ready), 1);
  waker.join();
  EXPECT_TRUE(ready.woken);
  EXPECT_EQ(ready.events, 0u);
  EXPECT_EQ(loop->Wait(0, &ready), 0);  // the wake-ups were consumed

  ASSERT_EQ(write(p.fds[1], "x", 1), 1);
  loop->Watch(0);  // readable, but not asked for
  EXPECT_EQ(loop->Wait(0, &ready), 0);
  loop->Watch(EPOLLIN);
  ASSERT_EQ(loop->Wait(-1, &ready), 1);
  EXPECT_FALSE(ready.woken);
  EXPECT_TRUE(ready.events & EPOLLIN);

  close(p.fds[1]);  // a hang-up is reported even unasked, until the fd is forgotten
  p.fds[1] = -1;
  loop->Watch(0);
  ASSERT_EQ(loop->Wait(-1, &ready), 1);
  EXPECT_TRUE(ready.events & EPOLLHUP);
  loop->Forget();
  loop->Watch(EPOLLIN);  // changes nothing once forgotten
  EXPECT_EQ(loop->Wait(0, &ready), 0);
}

}  // namespace
}  // namespace veltra::test
