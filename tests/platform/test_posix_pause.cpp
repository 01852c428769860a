// The tty lower half stops taking bytes as soon as the driver wants input paused,
// before its PauseReceive has come (another thread may still be applying it): the
// bytes wait in the kernel, which holds the sender back, instead of overflowing
// the driver's ring.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "platform/driver/uart.h"
#include "tests/platform/test_posix_pty.h"
#include "tests/platform/test_posix_sink.h"

namespace veltra::test {
namespace {

// Configures the port at 115 200 baud and starts it with its sink.
template <class Sink>
void Start(BasicOpenPort<Sink>& port) {
  ASSERT_NE(port.uart, nullptr);
  ASSERT_EQ(port.uart->Configure(LineDcb(115200)), 0u);
  port.uart->Start(port.sink);
}

// 9000 bytes that do not repeat within a pty's read.
std::string TestStream() {
  std::string stream;
  for (int i = 0; i < 9000; ++i) stream.push_back(static_cast<char>(i * 7 + i / 251));
  return stream;
}

// Wants a pause once `limit` bytes have come, and never sends one.
class WishingSink : public RecordingSink {
 public:
  bool ReceivePauseWanted() override {
    std::lock_guard lock(mutex);
    return wishing && received.size() >= limit;
  }
  std::size_t limit = 2048;
  bool wishing = true;  // under mutex
};

TEST(PosixUartPause, TakesNoMoreOnceThePauseIsWantedAndResumesWhenItIsWithdrawn) {
  Pty pty;
  BasicOpenPort<WishingSink> port(pty);
  ASSERT_NO_FATAL_FAILURE(Start(port));
  auto& sink = port.sink;
  const std::string stream = TestStream();
  ASSERT_TRUE(pty.Write(stream));
  // At most the read that passed the limit gets through; a pty holds the rest.
  EXPECT_FALSE(
      sink.WaitFor([&] { return sink.received.size() >= stream.size(); }, milliseconds(300)));
  {
    std::lock_guard lock(sink.mutex);
    EXPECT_GE(sink.received.size(), sink.limit);
    EXPECT_LE(sink.received.size(), sink.limit + 4096);
    sink.wishing = false;  // withdrawn before any PauseReceive was made
  }
  EXPECT_TRUE(sink.WaitFor([&] { return sink.received.size() >= stream.size(); }));
  {
    std::lock_guard lock(sink.mutex);
    EXPECT_EQ(sink.received, stream);
    EXPECT_EQ(sink.errors, 0u);
  }
}

// Wants a pause for exactly two looks once `limit` bytes have come, then withdraws
// it without a PauseReceive: the I/O thread must not end up asleep with its input
// unwatched (the look that chose the epoll interest saw the wish, the look that
// chose the time-out did not).
class FlickeringSink : public RecordingSink {
 public:
  bool ReceivePauseWanted() override {
    std::lock_guard lock(mutex);
    if (received.size() < limit || looks >= 2) return false;
    ++looks;
    return true;
  }
  std::size_t limit = 2048;
  int looks = 0;  // under mutex
};

TEST(PosixUartPause, AWishWithdrawnBetweenTwoLooksLeavesNoInputUnwatched) {
  Pty pty;
  BasicOpenPort<FlickeringSink> port(pty);
  ASSERT_NO_FATAL_FAILURE(Start(port));
  auto& sink = port.sink;
  const std::string stream = TestStream();
  ASSERT_TRUE(pty.Write(stream));
  EXPECT_TRUE(sink.WaitFor([&] { return sink.received.size() >= stream.size(); }));
  {
    std::lock_guard lock(sink.mutex);
    ASSERT_EQ(sink.received.size(), stream.size()) << "the rest was left in the kernel";
    EXPECT_TRUE(sink.received == stream);
    EXPECT_EQ(sink.looks, 2);
  }
}

}  // namespace
}  // namespace veltra::test
