// A thread blocked in TIOCMIWAIT on the input modem lines, so that a tty's I/O
// thread needs no periodic wake-up to notice them move. The kernel compares its
// counters with a snapshot taken as each wait begins, so a change between two waits
// wakes nobody; the owner therefore reads the lines again once Armed() says the next
// wait has begun.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace veltra::platform {

class ModemLineWaiter {
 public:
  // Blocks until a watched line changes: 0, or an errno value (EINTR when a signal
  // cut it short).
  using WaitFn = std::function<int()>;
  // Called on the waiter's thread: 0 when the lines may have moved (TakeMoved
  // says so), else the errno that ended the watch.
  using NotifyFn = std::function<void(int endError)>;

  // Starts the thread at once.
  ModemLineWaiter(WaitFn wait, NotifyFn notify);
  ~ModemLineWaiter();
  ModemLineWaiter(const ModemLineWaiter&) = delete;
  ModemLineWaiter& operator=(const ModemLineWaiter&) = delete;

  // Ends the watch, cutting a blocked wait short; no notify call follows its return.
  void Stop();
  // Still watching: not refused, not failed, not stopped.
  bool Watching() const { return !ended_.load(); }
  // The lines may have moved since the last call.
  bool TakeMoved() { return moved_.exchange(false); }
  // The thread is asleep in its wait, so any change from now on wakes it. One
  // calling thread only.
  bool Armed();

 private:
  void Run();

  const WaitFn wait_;
  const NotifyFn notify_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> ended_{false};
  std::atomic<bool> moved_{false};
  // Odd while the thread is on its way into a wait or in it.
  std::atomic<std::uint64_t> waits_{0};
  std::atomic<int> statFd_{-1};  // the thread's /proc stat, for its run state
  // Where /proc is missing: a wait is taken as begun once it has lasted this long.
  std::uint64_t graceWait_ = 0;
  std::chrono::steady_clock::time_point graceStart_{};
  std::mutex doneMutex_;
  std::condition_variable doneWake_;
  bool done_ = false;
  std::thread thread_;
};

}  // namespace veltra::platform
