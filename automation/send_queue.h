// What a port is to send for sequences and trigger answers, one write at a time
// (a port takes no second write while one is in flight), each part's wait counted
// from the end of the write before it. The caller passes the time, writes what
// Take gives and says when the write is done.
#pragma once

#include <chrono>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "automation/port_triggers.h"
#include "automation/sequence.h"

namespace veltra::automation {

class TSendQueue {
 public:
  using Clock = std::chrono::steady_clock;

  // Appends the steps; the first one's wait counts from now, or from the end of
  // the write before it when one is queued or in flight.
  void Push(const std::vector<TSendStep>& steps, Clock::time_point now);
  // The next bytes to write, when nothing is in flight and their wait is over.
  std::optional<std::string> Take(Clock::time_point now);
  // The write Take gave has ended (whole or not).
  void WriteDone(Clock::time_point now);
  // When Take will next give bytes; nothing while a write is in flight or
  // nothing waits.
  std::optional<Clock::time_point> NextDue() const;
  bool Idle() const { return steps_.empty() && !writing_; }
  // Drops what waits (the port closed); a write in flight still ends with WriteDone.
  void Clear() { steps_.clear(); }

 private:
  std::deque<TSendStep> steps_;
  Clock::time_point since_{};  // the wait of the first step counts from here
  bool writing_ = false;
};

// Puts the answers among `events` into `queue` and leaves the other events.
void QueueAnswers(std::vector<TTriggerEvent>& events, TSendQueue& queue,
                  TSendQueue::Clock::time_point now);

}  // namespace veltra::automation
