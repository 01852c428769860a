// The receive triggers of one port at work: each received block is looked through
// once for all of them, and what they do comes out as events for the front end
// (send, mark, count, stop recording, sound). Time comes from the caller, so the
// rules are tested without waiting.
//
// A trigger that answers itself is stopped with a report: its whole answer came
// back after it went and set it off again (an echoing peer or a loopback), or it
// answered more than its max_rate in one second.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "automation/library.h"
#include "automation/pattern_set.h"

namespace veltra::automation {

struct TTriggerEvent {
  enum class TKind { Send, Mark, Count, StopRecording, Sound, Stopped };
  TKind Kind = TKind::Send;
  std::size_t Trigger = 0;  // index in TPortTriggers::Triggers()
  std::string Text;         // Send: the sequence's name; Mark: the mark; Stopped: the report
  const std::vector<TSendStep>* Steps = nullptr;  // Send: the writes, valid while the set lives
  std::uint64_t Count = 0;                        // Count: matches so far
};

class TPortTriggers {
 public:
  using Clock = std::chrono::steady_clock;

  // The enabled triggers of `port` (1 or 2). Throws TAutomationError for a trigger
  // that cannot be used.
  TPortTriggers(const TLibrary& library, int port);

  bool Empty() const { return triggers_.empty(); }
  const std::vector<TTrigger>& Triggers() const { return triggers_; }
  std::uint64_t Matches(std::size_t trigger) const { return state_[trigger].matches; }
  bool Stopped(std::size_t trigger) const { return state_[trigger].stopped; }

  // A received block. Answers without a delay come out at once; delayed ones at
  // the Poll after their time.
  void Received(std::string_view block, Clock::time_point now, std::vector<TTriggerEvent>& out);
  void Poll(Clock::time_point now, std::vector<TTriggerEvent>& out);
  // When the next delayed answer is due, if one waits.
  std::optional<Clock::time_point> NextDue() const;
  // Forgets the stream and the waiting answers (the port was opened anew).
  void Reset();

 private:
  struct TState {
    std::vector<TSendStep> steps;
    std::string answer;         // all bytes of the answer
    bool answerMatches = false;  // the trigger's pattern is found in its own answer
    std::uint64_t matches = 0;
    bool spent = false;  // a "once" trigger that fired
    bool stopped = false;
    std::deque<Clock::time_point> answers;  // in the last second
    std::optional<Clock::time_point> lastAnswer;
    std::uint64_t answeredAt = 0;  // stream offset when it last answered
  };
  struct TPending {
    Clock::time_point due;
    std::size_t trigger;
  };

  void Fire(const TPatternMatch& m, Clock::time_point now, std::vector<TTriggerEvent>& out);
  bool IsEcho(const TState& s, const TPatternMatch& m, Clock::time_point now) const;
  void Answer(std::size_t t, Clock::time_point now, std::vector<TTriggerEvent>& out);
  void Stop(std::size_t t, const std::string& why, std::vector<TTriggerEvent>& out);

  std::vector<TTrigger> triggers_;
  std::vector<TState> state_;
  std::unique_ptr<TPatternSet> patterns_;
  std::vector<TPending> pending_;
  // What came lately, for the echo check: the longest answer that its own
  // pattern finds, then the block.
  std::size_t echoKeep_ = 0;
  std::string recent_;
  std::uint64_t recentStart_ = 0;  // stream offset of recent_[0]
};

}  // namespace veltra::automation
