// What the benchmarks share: a reproducible stream, its checksum, pty pairs, the
// threads that feed a pty and drain one, and latency samples summed up.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "platform/core/thread_name.h"

namespace veltra::bench {

using Clock = std::chrono::steady_clock;

inline constexpr std::size_t kStreamBytes = std::size_t{64} << 20;

inline double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// Latency samples in ms: median, 99th percentile (nearest rank) and the worst.
struct Latency {
  double median = 0, p99 = 0, max = 0;
  int samples = 0;
};

inline Latency Summarise(std::vector<double> ms) {
  Latency l;
  if (ms.empty()) return l;
  std::sort(ms.begin(), ms.end());
  l.samples = static_cast<int>(ms.size());
  l.median = ms[ms.size() / 2];
  l.p99 = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
  l.max = ms.back();
  return l;
}

// The stream every throughput figure moves: pseudo-random, reproducible.
class Stream {
 public:
  Stream() {
    std::mt19937 random(4711);
    for (auto& b : table_) b = static_cast<std::uint8_t>(random());
  }
  void Fill(std::size_t at, std::uint8_t* out, std::size_t n) const {
    for (std::size_t k = 0; k < n; ++k) {
      const std::size_t i = at + k;
      out[k] = static_cast<std::uint8_t>(table_[i & 0xFFFF] ^ ((i >> 16) * 131));
    }
  }

 private:
  std::array<std::uint8_t, 65536> table_{};
};

// FNV-1a over everything fed, in order.
struct Checksum {
  std::uint64_t value = 1469598103934665603ull;
  std::size_t bytes = 0;
  void Feed(const std::uint8_t* p, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) value = (value ^ p[k]) * 1099511628211ull;
    bytes += n;
  }
};

inline Checksum StreamChecksum(const Stream& stream, std::size_t total) {
  Checksum sum;
  std::vector<std::uint8_t> chunk(65536);
  for (std::size_t at = 0; at < total; at += chunk.size()) {
    const std::size_t n = std::min(chunk.size(), total - at);
    stream.Fill(at, chunk.data(), n);
    sum.Feed(chunk.data(), n);
  }
  return sum;
}

struct Pty {
  int master = -1;
  std::string slave;
  Pty() {
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0) slave = ::ptsname(master);
  }
  ~Pty() {
    if (master >= 0) ::close(master);
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;
};

// Writes the stream into a non-blocking fd until done or stopped.
inline void WriteStream(int fd, const Stream& stream, std::size_t total,
                        const std::atomic<bool>& stop) {
  platform::NameCurrentThread("bench-writer");
  std::vector<std::uint8_t> chunk(65536);
  for (std::size_t at = 0; at < total && !stop;) {
    const std::size_t n = std::min(chunk.size(), total - at);
    stream.Fill(at, chunk.data(), n);
    for (std::size_t off = 0; off < n && !stop;) {
      const ssize_t w = ::write(fd, chunk.data() + off, n - off);
      if (w > 0) {
        off += static_cast<std::size_t>(w);
      } else {
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, 100);
      }
    }
    at += n;
  }
}

// Reads a non-blocking fd into a checksum until `total` bytes or stopped;
// `progress` follows the count for other threads.
inline void ReadStream(int fd, Checksum& sum, std::size_t total, const std::atomic<bool>& stop,
                       std::atomic<std::size_t>& progress) {
  platform::NameCurrentThread("bench-reader");
  std::vector<std::uint8_t> buffer(65536);
  while (sum.bytes < total && !stop) {
    const ssize_t r = ::read(fd, buffer.data(), buffer.size());
    if (r > 0) {
      sum.Feed(buffer.data(), static_cast<std::size_t>(r));
      progress = sum.bytes;
    } else {
      pollfd p{fd, POLLIN, 0};
      ::poll(&p, 1, 100);
    }
  }
}

}  // namespace veltra::bench
