// The real kernel path: a stream written into a pseudo-terminal's master arrives
// through the component's clusters byte for byte, none lost, none marked.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <random>
#include <thread>

#include "worker_test_support.h"

namespace veltra::engine::workertest {
namespace {

#if defined(__SANITIZE_THREAD__)
constexpr std::size_t kStreamBytes = std::size_t{4} << 20;
#else
constexpr std::size_t kStreamBytes = std::size_t{64} << 20;
#endif

// Byte i of the stream: a random table, varied per 64 KiB so that a block that
// went missing or came twice cannot line up again.
class Stream {
 public:
  Stream() {
    std::mt19937 random(20261207);
    for (auto& b : table_) b = static_cast<std::uint8_t>(random());
  }
  std::uint8_t At(std::size_t i) const {
    return static_cast<std::uint8_t>(table_[i & 0xFFFF] ^ ((i >> 16) * 131));
  }

 private:
  std::array<std::uint8_t, 65536> table_{};
};

TEST(TransferPty, StreamArrivesWholeThroughClusters) {
  Pty pty;
  ASSERT_FALSE(pty.slave.empty());
  TOwnerCallQueue calls;
  TSerialPort port(calls);
  const Stream stream;
  std::size_t received = 0;
  std::size_t firstBad = kStreamBytes;
  std::size_t markedClusters = 0;
  port.OnRxClusterEvent = [&](TObject*) {
    if (port.FirstClusterErrors() != 0) ++markedClusters;
    std::string bytes;
    port.TakeFirstCluster(bytes);
    for (std::size_t k = 0; k < bytes.size() && firstBad == kStreamBytes; ++k) {
      if (static_cast<std::uint8_t>(bytes[k]) != stream.At(received + k)) firstBad = received + k;
    }
    received += bytes.size();
  };
  // Input flow control: the driver stops taking bytes from the tty when its queue
  // fills, and the kernel holds the writer back instead of dropping anything.
  port.SetRxQueueSize(32768);
  port.SetFlowControl(0x2000);
  port.SetBaudRate(115200);
  port.SetCommPort(pty.slave);
  port.SetActive(true);
  ASSERT_TRUE(port.Active());

  // Non-blocking, so that a failing test can stop the writer.
  ::fcntl(pty.master, F_SETFL, ::fcntl(pty.master, F_GETFL) | O_NONBLOCK);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    std::vector<std::uint8_t> chunk(65536);
    for (std::size_t sent = 0; sent < kStreamBytes && !stop;) {
      const std::size_t n = std::min(chunk.size(), kStreamBytes - sent);
      for (std::size_t k = 0; k < n; ++k) chunk[k] = stream.At(sent + k);
      for (std::size_t off = 0; off < n && !stop;) {
        const ssize_t w = ::write(pty.master, chunk.data() + off, n - off);
        if (w > 0) {
          off += static_cast<std::size_t>(w);
        } else {
          pollfd p{pty.master, POLLOUT, 0};
          ::poll(&p, 1, 100);
        }
      }
      sent += n;
    }
  });
  const auto start = Clock::now();
  const bool all = calls.PumpUntil([&] { return received >= kStreamBytes; }, 120s);
  const double seconds = MsSince(start) / 1000;
  stop = true;
  writer.join();
  calls.PumpFor(300ms);  // anything beyond the stream would show up now

  EXPECT_TRUE(all);
  EXPECT_EQ(received, kStreamBytes);
  EXPECT_EQ(firstBad, kStreamBytes) << "first differing byte";
  EXPECT_EQ(markedClusters, 0u);
  std::printf("[ info ] %zu bytes through a pty in %.2f s (%.1f MB/s)\n", received, seconds,
              received / seconds / 1e6);
  port.SetActive(false);
}

}  // namespace
}  // namespace veltra::engine::workertest
