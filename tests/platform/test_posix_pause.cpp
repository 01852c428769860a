// The tty lower half stops taking bytes as soon as the driver wants input paused,
// before its PauseReceive has come (another thread may still be applying it): the
// bytes wait in the kernel, which holds the sender back, instead of overflowing
// the driver's ring.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "platform/src/uart.h"
#include "tests/platform/test_posix_pty.h"
#include "tests/platform/test_posix_sink.h"

namespace veltra::test {
namespace {

// The lower half on the pty's slave at 115 200 baud, started with `sink`.
std::unique_ptr<platform::Uart> StartOnPty(const Pty& pty, platform::UartSink& sink) {
  if (!pty.ok()) return nullptr;
  DWORD error = 0;
  auto uart = platform::OpenPosixUart(pty.slave(), &error);
  if (uart == nullptr || uart->Configure(LineDcb(115200)) != 0) return nullptr;
  uart->Start(sink);
  return uart;
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
  WishingSink sink;
  const auto uart = StartOnPty(pty, sink);
  ASSERT_NE(uart, nullptr);
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
  uart->Stop();
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
  FlickeringSink sink;
  const auto uart = StartOnPty(pty, sink);
  ASSERT_NE(uart, nullptr);
  const std::string stream = TestStream();
  ASSERT_TRUE(pty.Write(stream));
  EXPECT_TRUE(sink.WaitFor([&] { return sink.received.size() >= stream.size(); }));
  {
    std::lock_guard lock(sink.mutex);
    ASSERT_EQ(sink.received.size(), stream.size()) << "the rest was left in the kernel";
    EXPECT_TRUE(sink.received == stream);
    EXPECT_EQ(sink.looks, 2);
  }
  uart->Stop();
}

}  // namespace
}  // namespace veltra::test
