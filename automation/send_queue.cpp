#include "automation/send_queue.h"

#include <algorithm>

namespace veltra::automation {

void TSendQueue::Push(const std::vector<TSendStep>& steps, Clock::time_point now) {
  if (Idle()) since_ = now;
  steps_.insert(steps_.end(), steps.begin(), steps.end());
}

std::optional<std::string> TSendQueue::Take(Clock::time_point now) {
  const auto due = NextDue();
  if (!due || now < *due) return std::nullopt;
  std::string bytes = std::move(steps_.front().Bytes);
  steps_.pop_front();
  writing_ = true;
  return bytes;
}

void TSendQueue::WriteDone(Clock::time_point now) {
  writing_ = false;
  since_ = now;
}

std::optional<TSendQueue::Clock::time_point> TSendQueue::NextDue() const {
  if (writing_ || steps_.empty()) return std::nullopt;
  return since_ + steps_.front().WaitBefore;
}

void QueueAnswers(std::vector<TTriggerEvent>& events, TSendQueue& queue,
                  TSendQueue::Clock::time_point now) {
  for (const TTriggerEvent& e : events)
    if (e.Kind == TTriggerEvent::TKind::Send && e.Steps != nullptr) queue.Push(*e.Steps, now);
  std::erase_if(events, [](const TTriggerEvent& e) { return e.Kind == TTriggerEvent::TKind::Send; });
}

}  // namespace veltra::automation
