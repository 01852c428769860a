// Triggers at work on one port: delays, once, the actions' events, and the loops
// that are stopped: an answer an echoing peer hands back, answers too fast.
#include "automation/port_triggers.h"

#include <gtest/gtest.h>

namespace veltra::automation {
namespace {

using Kind = TTriggerEvent::TKind;
using namespace std::chrono_literals;
using Clock = TPortTriggers::Clock;

TLibrary Library(std::vector<TTrigger> triggers) {
  TLibrary lib;
  lib.Sequences.push_back({"weight", 1, "", {{TPartKind::Control, "STX"}, {TPartKind::Text, "W 0.125kg"},
                                            {TPartKind::Wait, "", 20ms}, {TPartKind::Control, "ETX"}}});
  lib.Sequences.push_back({"pong", 1, "", {{TPartKind::Text, "PING back"}}});
  lib.Triggers = std::move(triggers);
  return lib;
}

TTrigger Trigger(const std::string& name, TPatternKind kind, const std::string& pattern,
                 const std::string& send = {}) {
  TTrigger t;
  t.Name = name;
  t.Pattern = {kind, pattern};
  t.Send = send;
  return t;
}

std::vector<Kind> Kinds(const std::vector<TTriggerEvent>& events) {
  std::vector<Kind> kinds;
  for (const TTriggerEvent& e : events) kinds.push_back(e.Kind);
  return kinds;
}

TEST(PortTriggers, ActionsDelayOnceAndOtherPorts) {
  TTrigger poll = Trigger("poll", TPatternKind::Hex, "04 05", "weight");
  poll.Delay = 30ms;
  poll.Mark = "asked";
  poll.Count = true;
  TTrigger first = Trigger("first", TPatternKind::Text, "W");
  first.Once = true;
  first.Sound = true;
  first.StopRecording = true;
  TTrigger other = Trigger("other", TPatternKind::Text, "W");
  other.Port = 2;
  TPortTriggers port(Library({poll, first, other}), 1);
  ASSERT_EQ(port.Triggers().size(), 2u);  // port 2's is not here

  const Clock::time_point t0{};
  std::vector<TTriggerEvent> out;
  port.Received("W\x04", t0, out);
  port.Received("\x05W", t0 + 1ms, out);
  EXPECT_EQ(Kinds(out), (std::vector<Kind>{Kind::StopRecording, Kind::Sound, Kind::Mark, Kind::Count}));
  EXPECT_EQ(out[2].Text, "asked");
  EXPECT_EQ(out[3].Count, 1u);
  EXPECT_EQ(port.Matches(1), 1u);  // once: the second W is not counted
  ASSERT_EQ(port.NextDue(), t0 + 31ms);

  out.clear();
  port.Poll(t0 + 30ms, out);
  EXPECT_TRUE(out.empty());
  port.Poll(t0 + 31ms, out);
  ASSERT_EQ(Kinds(out), std::vector<Kind>{Kind::Send});
  EXPECT_EQ(out[0].Text, "weight");
  ASSERT_EQ(out[0].Steps->size(), 2u);
  EXPECT_EQ((*out[0].Steps)[1].WaitBefore, 20ms);
  EXPECT_FALSE(port.NextDue());
}

// A loopback: every answer comes back as it went.
int AnswersUntilStopped(TPortTriggers& port, std::string request, std::string* report) {
  Clock::time_point now{};
  int answers = 0;
  for (int round = 0; round < 100; ++round) {
    std::vector<TTriggerEvent> out;
    port.Received(request, now += 10ms, out);
    request.clear();
    for (const TTriggerEvent& e : out) {
      if (e.Kind == Kind::Stopped) {
        *report = e.Text;
        return answers;
      }
      if (e.Kind == Kind::Send) {
        ++answers;
        for (const TSendStep& step : *e.Steps) request += step.Bytes;
      }
    }
  }
  return answers;
}

TEST(PortTriggers, AnAnswerThatComesBackAndSetsItOffAgainIsStopped) {
  TPortTriggers port(Library({Trigger("ping", TPatternKind::Text, "PING", "pong")}), 1);
  std::string report;
  EXPECT_EQ(AnswersUntilStopped(port, "PING", &report), 1);
  EXPECT_EQ(report, "Trigger \"ping\" stopped: its own answer comes back and sets it off again "
                    "(is the peer echoing?)");
  std::vector<TTriggerEvent> out;
  port.Received("PING", Clock::time_point{} + 1h, out);
  EXPECT_TRUE(out.empty());  // stays stopped
}

TEST(PortTriggers, ARequestLikeTheAnswersStartIsNoEcho) {
  // The answer begins with what sets it off ("W"), but the peer only asks.
  TPortTriggers port(Library({Trigger("w", TPatternKind::Text, "W", "weight")}), 1);
  Clock::time_point now{};
  for (int round = 0; round < 20; ++round) {
    std::vector<TTriggerEvent> out;
    port.Received("W", now += 100ms, out);
    ASSERT_EQ(Kinds(out), std::vector<Kind>{Kind::Send}) << round;
  }
}

TEST(PortTriggers, AnswersFasterThanMaxRateAreStopped) {
  // Each answer sets off the other trigger; neither answer holds its own pattern.
  TLibrary lib = Library({Trigger("a", TPatternKind::Text, "PING b", "weight"),
                          Trigger("b", TPatternKind::Regex, "W 0\\.1", "pong")});
  lib.Triggers[0].MaxRate = 5;
  if (!TPatternSet::RegexAvailable()) lib.Triggers[1].Pattern = {TPatternKind::Text, "W 0.1"};
  TPortTriggers port(lib, 1);
  std::string report;
  EXPECT_EQ(AnswersUntilStopped(port, "PING b", &report), 10);
  EXPECT_EQ(report, "Trigger \"a\" stopped: more than 5 answers a second (a loop?)");
}

}  // namespace
}  // namespace veltra::automation
