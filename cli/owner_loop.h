// The command line's owner thread: the workers' events run here, as the window's
// event loop runs them, asleep until a worker queues a call, a stop is
// requested or the next tick is due.
#pragma once

#include <chrono>
#include <functional>

#include "cli/run_control.h"
#include "engine/owner_calls.h"

namespace veltra::cli {

using Clock = std::chrono::steady_clock;

class TOwnerLoop {
 public:
  // The constructing thread becomes the owner of Calls.
  explicit TOwnerLoop(TRunControl& control);
  ~TOwnerLoop();
  TOwnerLoop(const TOwnerLoop&) = delete;
  TOwnerLoop& operator=(const TOwnerLoop&) = delete;

  engine::TOwnerCallQueue Calls;
  TRunControl& Control;

  enum class TEnd { Done, Stopped, TimedOut };
  struct THooks {
    std::function<void()> Tick;  // every TickPeriod
    std::function<void()> Idle;  // before each sleep: output waiting goes out now
    std::chrono::milliseconds TickPeriod{250};
    // The latest time to wake up for work of its own (a sequence's wait); none: not needed.
    std::function<Clock::time_point()> WakeBy;
    bool StopEnds = true;  // false: a stop already asked for does not end this run
  };

  // Serves calls until done() holds, a stop is requested or the deadline passes.
  TEnd Run(const std::function<bool()>& done, Clock::time_point deadline, const THooks& hooks);
  TEnd Run(const std::function<bool()>& done, Clock::time_point deadline) {
    return Run(done, deadline, THooks{});
  }
};

}  // namespace veltra::cli
