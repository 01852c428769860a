// How a running command is told to end (Ctrl-C, SIGTERM, or a test) and how its
// owner loop is woken: one eventfd (on Windows an event) that worker threads, signal
// handlers and other threads all write to.
#pragma once

#include <atomic>

namespace veltra::cli {

class TRunControl {
 public:
  TRunControl();
  ~TRunControl();
  TRunControl(const TRunControl&) = delete;
  TRunControl& operator=(const TRunControl&) = delete;

  // Any thread, and signal handlers: only an atomic store and a write(2).
  void RequestStop();
  bool StopRequested() const { return stop_.load(); }
  void Wake();

  // The owner loop's side: sleeps until woken or timeoutMs passed, and takes the
  // wake-ups that came.
  void WaitForWake(int timeoutMs);

  // SIGINT and SIGTERM request a stop of this run; a second one ends the process
  // at once (the handler resets itself). SIGPIPE is ignored: a closed output is
  // seen as a failed write and ends the command cleanly.
  void StopOnSignals();

 private:
  std::atomic<bool> stop_{false};
  int fd_ = -1;  // eventfd; on Windows a native event
};

}  // namespace veltra::cli
