// monitor and spy: ports watched until Ctrl-C, SIGTERM or --duration.
#include <cstdio>

#include "cli/commands.h"
#include "cli/port_automation.h"
#include "cli/session.h"
#include "session/decoded_lines.h"
#include "session/log_lines.h"

namespace veltra::cli {

namespace {

// The window's report level after "Start" with its defaults: everything.
constexpr Byte kWatchNoise = 4;
// How long a spy that was told to stop may still hand over what it has received.
constexpr auto kForwardGrace = std::chrono::seconds(1);

Clock::time_point Deadline(const TOptions& o) {
  if (!o.Duration) return Clock::time_point::max();
  return Clock::now() +
         std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(*o.Duration));
}

std::string Duration(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", seconds);
  return text;
}

std::string LineEnd(const TOptions& o) {
  return std::string(o.AddCR ? "\r" : "") + (o.AddLF ? "\n" : "");
}

// --triggers: the library's triggers armed on the watched ports; false (said) when
// the file or a trigger cannot be used.
bool ArmTriggers(const TOptions& o, TCommandSession& s, TCliAutomation& automation) {
  if (o.TriggersFile.empty()) return true;
  std::string why;
  const auto library = ReadLibraryOption("--triggers", o.TriggersFile, &why);
  if (library && automation.ArmTriggers(*library, &why)) return true;
  s.Say(why);
  return false;
}

void SayMatches(TCommandSession& s, const TCliAutomation& automation) {
  const std::string summary = automation.MatchSummary();
  if (!summary.empty()) s.Say("triggers: " + summary);
}

}  // namespace

int RunMonitor(const TOptions& o, TConsole& console, TRunControl& control) {
  // Declared before the command session, so it outlives the port it observes.
  session::TPortDecoding decoding;
  TCommandSession s(console, control, o);
  if (!s.OpenLog()) return kExitUsage;
  session::TPortSession* watch =
      s.AddPort(o.Port1, o.Line, session::kPort1Prefixes, kWatchNoise, false);
  if (watch == nullptr) return kExitFailed;
  TCliAutomation automation(s, {watch});
  if (!ArmTriggers(o, s, automation)) return kExitUsage;
  if (!s.Open(*watch)) return kExitFailed;
  decoding.SetProtocol(o.Decode);
  decoding.Attach(*watch, s.Log);
  s.Run([] { return false; }, Deadline(o));
  s.TakeWhatWaits();
  decoding.LogUnfinished();
  s.CloseAll();
  const session::TPortCounters& c = watch->Counters();
  s.Say("monitor " + watch->Port().CommPort() + " ended after " + Duration(s.Seconds()) + ": " +
        ReceiveSummary(c) + ", " + Plural(c.ErrorReports, "error report", "error reports"));
  SayMatches(s, automation);
  return kExitOk;
}

int RunSpy(const TOptions& o, TConsole& console, TRunControl& control) {
  session::TPortDecoding decoding1, decoding2;
  TCommandSession s(console, control, o);
  if (!s.OpenLog()) return kExitUsage;
  session::TPortSession* p1 =
      s.AddPort(o.Port1, o.Line, session::kPort1Prefixes, kWatchNoise, false);
  session::TPortSession* p2 = p1 == nullptr
                                  ? nullptr
                                  : s.AddPort(o.Port2, o.Line.WithPortOverrides(o.Line2),
                                              session::kPort2Prefixes, kWatchNoise, false);
  if (p2 == nullptr) return kExitFailed;
  // What one port receives goes out of the other, with the line end asked for.
  p1->ForwardTo(p2);
  p2->ForwardTo(p1);
  p1->SetLineEnd(LineEnd(o));
  p2->SetLineEnd(LineEnd(o));
  decoding1.SetProtocol(o.Decode);
  decoding2.SetProtocol(o.Decode2);
  decoding1.Attach(*p1, s.Log);
  decoding2.Attach(*p2, s.Log);
  TCliAutomation automation(s, {p1, p2});
  if (!ArmTriggers(o, s, automation)) return kExitUsage;
  if (!s.Open(*p1) || !s.Open(*p2)) return kExitFailed;
  s.Run([] { return false; }, Deadline(o));
  s.TakeWhatWaits();
  s.Run([&] { return p1->WritesIdle() && p2->WritesIdle(); }, Clock::now() + kForwardGrace,
        /*stopEnds=*/false);
  decoding1.LogUnfinished();
  decoding2.LogUnfinished();
  s.CloseAll();
  const std::uint64_t left = p1->BytesNotWritten() + p2->BytesNotWritten();
  s.Say("spy " + p1->Port().CommPort() + " <-> " + p2->Port().CommPort() + " ended after " +
        Duration(s.Seconds()) + ": P1 " + ReceiveSummary(p1->Counters()) + "; P2 " +
        ReceiveSummary(p2->Counters()) + "; " +
        Plural(p1->Counters().ErrorReports + p2->Counters().ErrorReports, "error report",
               "error reports") +
        "; " + Plural(left, "byte", "bytes") + " not forwarded");
  SayMatches(s, automation);
  return kExitOk;
}

}  // namespace veltra::cli
