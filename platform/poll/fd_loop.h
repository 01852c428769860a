// The wait of a lower half's I/O thread: one device fd (a tty, a socket) and an
// eventfd through which other threads wake it, in one epoll set. The owning thread
// says which events it wants on the fd and waits; any thread may Wake it.
#pragma once

#include <cstdint>
#include <memory>

namespace veltra::platform {

class FdLoop {
 public:
  // What one Wait saw.
  struct Ready {
    bool woken = false;        // Wake was called (the wake-ups are consumed)
    std::uint32_t events = 0;  // epoll events on the fd; 0 when it was not ready
  };

  // Null with *err set to an errno value when the epoll set or the eventfd cannot
  // be made. The fd stays the caller's: the loop never closes it.
  static std::unique_ptr<FdLoop> Create(int fd, int* err);
  ~FdLoop();
  FdLoop(const FdLoop&) = delete;
  FdLoop& operator=(const FdLoop&) = delete;

  // Any thread: the next (or current) Wait returns with woken set.
  void Wake();

  // Owning thread. The epoll events wanted on the fd; a change only when they differ
  // from the last call.
  void Watch(std::uint32_t events);
  // Takes the fd out of the set for good (a device gone, whose hang-up would wake
  // every wait); later Watch calls change nothing.
  void Forget();
  // Waits up to timeoutMs (-1: without end). Returns the number of ready entries
  // (0 on time-out), or -1 with errno set.
  int Wait(int timeoutMs, Ready* ready);

 private:
  FdLoop(int fd, int epollFd, int wakeFd) : fd_(fd), epollFd_(epollFd), wakeFd_(wakeFd) {}
  void DrainWakeups();

  const int fd_;
  const int epollFd_;
  const int wakeFd_;
  std::uint32_t watched_ = ~0u;  // nothing said yet
  bool forgotten_ = false;
};

}  // namespace veltra::platform
