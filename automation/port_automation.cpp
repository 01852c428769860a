#include "automation/port_automation.h"

#include <algorithm>

namespace veltra::automation {

void TPortAutomation::SetTriggers(const TLibrary& library) {
  auto armed = std::make_unique<TPortTriggers>(library, port_);
  triggers_ = armed->Empty() ? nullptr : std::move(armed);
}

std::vector<TTriggerEvent> TPortAutomation::Received(std::string_view block, Clock::time_point now) {
  std::vector<TTriggerEvent> events;
  if (triggers_) {
    triggers_->Received(block, now, events);
    QueueAnswers(events, queue_, now);
  }
  return events;
}

std::vector<TTriggerEvent> TPortAutomation::Poll(Clock::time_point now) {
  std::vector<TTriggerEvent> events;
  if (triggers_) {
    triggers_->Poll(now, events);
    QueueAnswers(events, queue_, now);
  }
  return events;
}

void TPortAutomation::Reset() {
  queue_.Clear();
  if (triggers_) triggers_->Reset();
}

std::optional<TPortAutomation::Clock::time_point> TPortAutomation::NextWake() const {
  std::optional<Clock::time_point> wake = queue_.NextDue();
  if (triggers_)
    if (const auto due = triggers_->NextDue()) wake = wake ? std::min(*wake, *due) : *due;
  return wake;
}

}  // namespace veltra::automation
