// The wait of a lower half's I/O thread: one device fd (a tty, a socket) and a wake-up
// through which other threads rouse it. On Linux an eventfd beside the fd in one epoll
// set; on Windows a socket only, in WSAPoll beside a loopback UDP socket that sends
// itself the wake-ups. The owning thread says which events it wants on the fd and
// waits; any thread may Wake it.
#pragma once

#include <cstdint>
#include <memory>

namespace veltra::platform {

// The events, numbered as epoll numbers them (a tty's code passes epoll's own).
inline constexpr std::uint32_t kWaitIn = 0x001;
inline constexpr std::uint32_t kWaitOut = 0x004;
inline constexpr std::uint32_t kWaitErr = 0x008;
inline constexpr std::uint32_t kWaitHup = 0x010;
inline constexpr std::uint32_t kWaitRdHup = 0x2000;  // the peer will send no more

class FdLoop {
 public:
  // What one Wait saw.
  struct Ready {
    bool woken = false;        // Wake was called (the wake-ups are consumed)
    std::uint32_t events = 0;  // events on the fd; 0 when it was not ready
  };

  // Null with *err set to an errno value when the wait or the wake-up cannot be
  // made. The fd (a SOCKET on Windows) stays the caller's: the loop never closes it.
  static std::unique_ptr<FdLoop> Create(std::intptr_t fd, int* err);
  ~FdLoop();
  FdLoop(const FdLoop&) = delete;
  FdLoop& operator=(const FdLoop&) = delete;

  // Any thread: the next (or current) Wait returns with woken set.
  void Wake();

  // Owning thread. The events wanted on the fd; a change only when they differ from
  // the last call. Errors and hang-ups are reported whatever is wanted.
  void Watch(std::uint32_t events);
  // Takes the fd out of the set for good (a device gone, whose hang-up would wake
  // every wait); later Watch calls change nothing.
  void Forget();
  // Waits up to timeoutMs (-1: without end). Returns the number of ready entries
  // (0 on time-out), or -1 with errno set.
  int Wait(int timeoutMs, Ready* ready);

 private:
  FdLoop(std::intptr_t fd, std::intptr_t waitFd, std::intptr_t wakeFd)
      : fd_(fd), waitFd_(waitFd), wakeFd_(wakeFd) {}
  void DrainWakeups();
  int WaitOnce(int timeoutMs, Ready* ready);  // Windows

  const std::intptr_t fd_;
  const std::intptr_t waitFd_;  // the epoll set; unused on Windows
  const std::intptr_t wakeFd_;
  [[maybe_unused]] bool peerClosedUnwatched_ = false;  // Windows: a hang-up seen while input is not wanted
  std::uint32_t watched_ = ~0u;  // nothing said yet
  bool forgotten_ = false;
};

}  // namespace veltra::platform
