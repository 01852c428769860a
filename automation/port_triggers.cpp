#include "automation/port_triggers.h"

#include <algorithm>

namespace veltra::automation {

namespace {

// An answer that comes back later than this is not taken for an echo of it.
constexpr auto kEchoWindow = std::chrono::seconds(5);

}  // namespace

TPortTriggers::TPortTriggers(const TLibrary& library, int port) {
  std::vector<TPattern> patterns;
  for (const TTrigger& t : library.Triggers) {
    if (!t.Enabled || t.Port != port) continue;
    TState s;
    if (!t.Send.empty()) {
      const TSequence* answer = library.FindSequence(t.Send);
      if (answer == nullptr)
        throw TAutomationError("trigger \"" + t.Name + "\": it sends \"" + t.Send +
                               "\", which is not a sequence here");
      s.steps = SendSteps(*answer);
      for (const TSendStep& step : s.steps) s.answer += step.Bytes;
      TPatternSet alone({t.Pattern});
      s.answerMatches = !alone.Feed(s.answer).empty();
      if (s.answerMatches) echoKeep_ = std::max(echoKeep_, s.answer.size());
    }
    triggers_.push_back(t);
    state_.push_back(std::move(s));
    patterns.push_back(t.Pattern);
  }
  try {
    patterns_ = std::make_unique<TPatternSet>(patterns);
  } catch (const TAutomationError& e) {
    throw TAutomationError(std::string("triggers of port ") + std::to_string(port) + ": " + e.what());
  }
}

void TPortTriggers::Received(std::string_view block, Clock::time_point now,
                             std::vector<TTriggerEvent>& out) {
  if (echoKeep_ > 0) {
    if (recent_.size() > echoKeep_) {
      recentStart_ += recent_.size() - echoKeep_;
      recent_.erase(0, recent_.size() - echoKeep_);
    }
    recent_.append(block);
  }
  for (const TPatternMatch& m : patterns_->Feed(block)) Fire(m, now, out);
}

void TPortTriggers::Fire(const TPatternMatch& m, Clock::time_point now,
                         std::vector<TTriggerEvent>& out) {
  const std::size_t t = m.Pattern;
  TState& s = state_[t];
  const TTrigger& trigger = triggers_[t];
  if (s.stopped || s.spent) return;
  ++s.matches;
  if (trigger.Once) s.spent = true;
  if (IsEcho(s, m, now)) {
    Stop(t, "its own answer comes back and sets it off again (is the peer echoing?)", out);
    return;
  }
  if (!trigger.Mark.empty()) out.push_back({TTriggerEvent::TKind::Mark, t, trigger.Mark});
  if (trigger.Count) {
    TTriggerEvent e{TTriggerEvent::TKind::Count, t, {}};
    e.Count = s.matches;
    out.push_back(std::move(e));
  }
  if (trigger.StopRecording) out.push_back({TTriggerEvent::TKind::StopRecording, t, {}});
  if (trigger.Sound) out.push_back({TTriggerEvent::TKind::Sound, t, {}});
  if (s.steps.empty()) return;
  if (trigger.Delay.count() == 0) {
    Answer(t, now, out);
  } else {
    pending_.push_back({now + trigger.Delay, t});
  }
}

// The match lies inside a whole copy of this trigger's answer that came after the
// answer went: the peer handed it back. A request that merely looks like the
// start of the answer is no echo.
bool TPortTriggers::IsEcho(const TState& s, const TPatternMatch& m, Clock::time_point now) const {
  if (!s.answerMatches || !s.lastAnswer || now - *s.lastAnswer > kEchoWindow) return false;
  const std::uint64_t begin = m.End - m.Bytes.size();
  for (std::size_t at = recent_.find(s.answer); at != std::string::npos;
       at = recent_.find(s.answer, at + 1)) {
    const std::uint64_t copy = recentStart_ + at;
    if (copy >= s.answeredAt && copy <= begin && copy + s.answer.size() >= m.End) return true;
  }
  return false;
}

void TPortTriggers::Answer(std::size_t t, Clock::time_point now, std::vector<TTriggerEvent>& out) {
  TState& s = state_[t];
  const TTrigger& trigger = triggers_[t];
  while (!s.answers.empty() && now - s.answers.front() >= std::chrono::seconds(1)) s.answers.pop_front();
  if (static_cast<int>(s.answers.size()) >= trigger.MaxRate) {
    Stop(t, "more than " + std::to_string(trigger.MaxRate) + " answers a second (a loop?)", out);
    return;
  }
  s.answers.push_back(now);
  s.lastAnswer = now;
  s.answeredAt = patterns_->StreamBytes();
  TTriggerEvent e{TTriggerEvent::TKind::Send, t, trigger.Send};
  e.Steps = &s.steps;
  out.push_back(std::move(e));
}

void TPortTriggers::Stop(std::size_t t, const std::string& why, std::vector<TTriggerEvent>& out) {
  state_[t].stopped = true;
  std::erase_if(pending_, [t](const TPending& p) { return p.trigger == t; });
  out.push_back({TTriggerEvent::TKind::Stopped, t,
                 "Trigger \"" + triggers_[t].Name + "\" stopped: " + why});
}

void TPortTriggers::Poll(Clock::time_point now, std::vector<TTriggerEvent>& out) {
  // In the order they fell due; one that stops drops the rest of its own.
  std::stable_sort(pending_.begin(), pending_.end(),
                   [](const TPending& a, const TPending& b) { return a.due < b.due; });
  while (!pending_.empty() && pending_.front().due <= now) {
    const TPending p = pending_.front();
    pending_.erase(pending_.begin());
    if (!state_[p.trigger].stopped) Answer(p.trigger, now, out);
  }
}

std::optional<TPortTriggers::Clock::time_point> TPortTriggers::NextDue() const {
  if (pending_.empty()) return std::nullopt;
  return std::min_element(pending_.begin(), pending_.end(),
                          [](const TPending& a, const TPending& b) { return a.due < b.due; })
      ->due;
}

void TPortTriggers::Reset() {
  patterns_->Reset();
  pending_.clear();
  recent_.clear();
  recentStart_ = 0;
  for (TState& s : state_) {
    s.lastAnswer.reset();
    s.answers.clear();
  }
}

}  // namespace veltra::automation
