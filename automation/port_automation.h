// What a front end keeps per port for sequences and triggers: the send queue that
// sequences and trigger answers share, and the port's triggers. The front end
// hands in received blocks and write completions with the time, writes what
// TakeWrite gives, and wakes again at NextWake.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "automation/port_triggers.h"
#include "automation/send_queue.h"

namespace veltra::automation {

class TPortAutomation {
 public:
  using Clock = std::chrono::steady_clock;

  explicit TPortAutomation(int port) : port_(port) {}

  // Arms the library's enabled triggers of this port (none: triggers off). Throws
  // TAutomationError; the triggers before stay armed then.
  void SetTriggers(const TLibrary& library);
  void ClearTriggers() { triggers_.reset(); }
  const TPortTriggers* Triggers() const { return triggers_.get(); }

  // A received block: the trigger events other than answers (which are queued).
  std::vector<TTriggerEvent> Received(std::string_view block, Clock::time_point now);
  // Delayed answers whose time has come are queued; their events (a trigger
  // stopped meanwhile) come back.
  std::vector<TTriggerEvent> Poll(Clock::time_point now);
  // A sequence to send (a button, a shortcut, veltra-cli send --seq).
  void Play(const std::vector<TSendStep>& steps, Clock::time_point now) { queue_.Push(steps, now); }
  // The bytes to write now, if any (nothing while a write is in flight).
  std::optional<std::string> TakeWrite(Clock::time_point now) { return queue_.Take(now); }
  void WriteDone(Clock::time_point now) { queue_.WriteDone(now); }
  // The port closed or was opened anew: what waits is dropped.
  void Reset();
  bool Idle() const { return queue_.Idle() && (!triggers_ || !triggers_->NextDue()); }
  // When to call Poll and TakeWrite next.
  std::optional<Clock::time_point> NextWake() const;

 private:
  int port_;
  TSendQueue queue_;
  std::unique_ptr<TPortTriggers> triggers_;
};

}  // namespace veltra::automation
