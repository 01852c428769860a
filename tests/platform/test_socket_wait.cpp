// The I/O thread's wait on a TCP socket, on every system: wake-ups from another
// thread, and a peer's orderly close that wakes only a wait that asks for input (on
// Windows it is reported whatever was asked, and a paused port must not spin on it).
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/net/net_connect.h"
#include "platform/poll/fd_loop.h"
#include "tests/platform/test_sockets.h"

namespace veltra::test {
namespace {

using platform::FdLoop;
using Clock = std::chrono::steady_clock;

TEST(SocketWait, WakesAndSeesAPeersCloseOnlyWhenInputIsWanted) {
  int port = 0;
  const TestSocket listener = LoopbackTcp(true, &port);
  ASSERT_NE(listener, kNoTestSocket);
  platform::ConnectFailure failure;
  const platform::Socket s = platform::ConnectTcp({false, "127.0.0.1", std::to_string(port)},
                                                  std::chrono::seconds(3), &failure);
  ASSERT_NE(s, platform::kNoSocket) << failure.text;
  const TestSocket peer = AcceptWithin(listener, 3000);
  ASSERT_NE(peer, kNoTestSocket);
  int err = -1;
  auto loop = FdLoop::Create(s, &err);
  ASSERT_TRUE(loop) << err;

  std::thread waker([&] { loop->Wake(); });
  FdLoop::Ready ready;
  ASSERT_GE(loop->Wait(-1, &ready), 1);
  waker.join();
  EXPECT_TRUE(ready.woken);
  EXPECT_EQ(loop->Wait(0, &ready), 0);  // the wake-ups were consumed

  CloseTestSocket(peer);
  loop->Watch(0);  // a receive pause: the close waits for it to end
  const auto start = Clock::now();
  EXPECT_EQ(loop->Wait(150, &ready), 0);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(100));
  loop->Watch(platform::kWaitIn | platform::kWaitRdHup);
  ASSERT_EQ(loop->Wait(3000, &ready), 1);
  EXPECT_TRUE(ready.events & platform::kWaitIn);
  char byte = 0;
  EXPECT_EQ(platform::SocketReceive(s, &byte, 1), 0);  // the end
  loop.reset();
  platform::CloseSocket(s);
  CloseTestSocket(listener);
}

}  // namespace
}  // namespace veltra::test
