#include "cli/owner_loop.h"

#include <algorithm>

namespace veltra::cli {

TOwnerLoop::TOwnerLoop(TRunControl& control) : Control(control) {
  Calls.OnCallQueued = [&control] { control.Wake(); };
}

TOwnerLoop::~TOwnerLoop() {
  Calls.OnCallQueued = nullptr;
}

TOwnerLoop::TEnd TOwnerLoop::Run(const std::function<bool()>& done, Clock::time_point deadline,
                                 const THooks& hooks) {
  Clock::time_point nextTick = Clock::now() + hooks.TickPeriod;
  for (;;) {
    Calls.ServePending();
    if (done()) return TEnd::Done;
    if (hooks.StopEnds && Control.StopRequested()) return TEnd::Stopped;
    Clock::time_point now = Clock::now();
    if (hooks.Tick && now >= nextTick) {
      hooks.Tick();
      nextTick = now + hooks.TickPeriod;
    }
    if (now >= deadline) return TEnd::TimedOut;
    if (hooks.Idle) hooks.Idle();
    Clock::time_point wakeAt = hooks.Tick ? std::min(deadline, nextTick) : deadline;
    if (hooks.WakeBy) wakeAt = std::min(wakeAt, hooks.WakeBy());
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wakeAt - Clock::now());
    Control.WaitForWake(static_cast<int>(std::clamp<std::int64_t>(wait.count(), 0, 1000)));
  }
}

}  // namespace veltra::cli
