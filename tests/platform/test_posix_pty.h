// A pseudo-terminal for tests: the slave is the "port" the layer opens, the master
// plays the device at the far end of the cable.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

namespace veltra::test {

class Pty {
 public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char path[128] = {};
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0 &&
        ptsname_r(master_, path, sizeof path) == 0) {
      slavePath_ = path;
    }
  }
  ~Pty() { CloseMaster(); }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  bool ok() const { return master_ >= 0 && !slavePath_.empty(); }
  int master() const { return master_; }
  const std::string& slave() const { return slavePath_; }
  void CloseMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

  // Writes everything (the master is non-blocking).
  bool Write(const std::string& bytes) const {
    std::size_t done = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (done < bytes.size() && std::chrono::steady_clock::now() < end) {
      const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else {
        pollfd p{master_, POLLOUT, 0};
        poll(&p, 1, 10);
      }
    }
    return done == bytes.size();
  }

  // Reads until `count` bytes came or the deadline passed.
  std::string Read(std::size_t count,
                   std::chrono::milliseconds deadline = std::chrono::milliseconds(3000)) const {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + deadline;
    char chunk[4096];
    while (got.size() < count && std::chrono::steady_clock::now() < end) {
      const ssize_t n = read(master_, chunk, sizeof chunk);
      if (n > 0) {
        got.append(chunk, static_cast<std::size_t>(n));
      } else {
        pollfd p{master_, POLLIN, 0};
        poll(&p, 1, 10);
      }
    }
    return got;
  }

 private:
  int master_ = -1;
  std::string slavePath_;
};

}  // namespace veltra::test
