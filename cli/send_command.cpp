// send and the device tests: the bytes go to port 1 as SendToPort1 sends them, the
// command waits until they have left the port, then shows the answer for a while.
#include <cstdio>

#include "cli/commands.h"
#include "cli/port_automation.h"
#include "cli/session.h"
#include "session/log_lines.h"

namespace veltra::cli {

namespace {

// A script wants stderr quiet unless something is wrong: errors and warnings.
constexpr Byte kSendNoise = 1;
// Beyond the port's own write time-out, which ends a write that stalls.
constexpr auto kSlack = std::chrono::seconds(2);

// The port's write time-out for `count` bytes (it ends a stalled write by itself).
Clock::duration WriteBudget(const engine::TSerialPort& port, std::size_t count) {
  const double ms =
      static_cast<double>(count) * port.WTOCharDelayTime() / 1000.0 + port.WTOExtraDelayTime();
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(ms));
}

Clock::duration SecondsOf(double seconds) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// Written, and gone from the driver and the kernel to the line. Closing purges
// whatever is still queued, so a command that ended at "written" could lose the tail.
bool WaitUntilSent(TCommandSession& s, session::TPortSession& w, std::size_t count,
                   std::string* why) {
  const std::uint64_t drainedBefore = w.Counters().TxEmpty;
  const auto written =
      s.Run([&] { return w.WritesIdle(); }, Clock::now() + WriteBudget(w.Port(), count) + kSlack);
  if (written == TOwnerLoop::TEnd::Stopped) *why = "interrupted";
  if (written != TOwnerLoop::TEnd::Done) return false;
  if (w.Counters().FailedWrites > 0 || w.Counters().ShortWrites > 0) {
    *why = "the port took " + std::to_string(w.Counters().BytesOut) + " of " +
           std::to_string(count) + " bytes";
    return false;
  }
  const auto drained = s.Run([&] { return w.Counters().TxEmpty > drainedBefore; },
                             Clock::now() + WriteBudget(w.Port(), count) + kSlack);
  if (drained == TOwnerLoop::TEnd::Done || w.Port().CommStateOutQueue() == 0) return true;
  *why = drained == TOwnerLoop::TEnd::Stopped
             ? "interrupted"
             : std::to_string(w.Port().CommStateOutQueue()) + " bytes did not leave the port";
  return false;
}

// The sequence's writes one after the other, its waits kept; then as any send,
// until all bytes have left the port.
bool SendSequence(TCommandSession& s, session::TPortSession& w,
                  const std::vector<automation::TSendStep>& steps, std::string* why) {
  TCliAutomation automation(s, {&w});
  std::size_t count = 0;
  Clock::duration budget = kSlack;
  for (const automation::TSendStep& step : steps) {
    count += step.Bytes.size();
    budget += step.WaitBefore + WriteBudget(w.Port(), step.Bytes.size());
  }
  automation.Play(0, steps);
  const auto end = s.Run([&] { return automation.Idle(); }, Clock::now() + budget);
  if (end == TOwnerLoop::TEnd::Stopped) *why = "interrupted";
  if (end != TOwnerLoop::TEnd::Done) {
    if (why->empty()) *why = "the sequence did not finish in time";
    return false;
  }
  if (w.Counters().FailedWrites > 0 || w.Counters().ShortWrites > 0) {
    *why = "the port took " + std::to_string(w.Counters().BytesOut) + " of " +
           std::to_string(count) + " bytes";
    return false;
  }
  const std::uint64_t drainedBefore = automation.TxEmptyAtLastWrite(0);
  const auto drained = s.Run([&] { return w.Counters().TxEmpty > drainedBefore; },
                             Clock::now() + WriteBudget(w.Port(), count) + kSlack);
  if (drained == TOwnerLoop::TEnd::Done || w.Port().CommStateOutQueue() == 0) return true;
  *why = drained == TOwnerLoop::TEnd::Stopped
             ? "interrupted"
             : std::to_string(w.Port().CommStateOutQueue()) + " bytes did not leave the port";
  return false;
}

int SendSequenceCommand(const TOptions& o, TCommandSession& s, session::TPortSession& w,
                        const automation::TSequence& sequence) {
  std::string why;
  const bool sent = SendSequence(s, w, automation::SendSteps(sequence), &why);
  if (sent && o.ListenSeconds > 0) {
    s.Run([] { return false; }, Clock::now() + SecondsOf(o.ListenSeconds));
    s.TakeWhatWaits();
  }
  s.CloseAll();
  if (!sent) {
    s.Say("sequence \"" + sequence.Name + "\" not all sent to " + w.Port().CommPort() + ": " + why);
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace

int RunSend(const TOptions& o, TConsole& console, TRunControl& control) {
  TCommandSession s(console, control, o);
  if (!s.OpenLog()) return kExitUsage;
  if (!o.SeqName.empty()) {
    std::string why;
    const auto library = ReadLibraryOption("--seq-file", o.SeqFile, &why);
    const automation::TSequence* sequence = library ? library->FindSequence(o.SeqName) : nullptr;
    if (library && sequence == nullptr) why = "--seq: no sequence named '" + o.SeqName + "'";
    if (sequence == nullptr) {
      s.Say(why);
      return kExitUsage;
    }
    session::TPortSession* w =
        s.AddPort(o.Port1, o.Line, session::kPort1Prefixes, kSendNoise, true);
    if (w == nullptr || !s.Open(*w)) return kExitFailed;
    return SendSequenceCommand(o, s, *w, *sequence);
  }
  session::TPortSession* w = s.AddPort(o.Port1, o.Line, session::kPort1Prefixes, kSendNoise, true);
  if (w == nullptr || !s.Open(*w)) return kExitFailed;
  const std::string lineEnd = std::string(o.AddCR ? "\r" : "") + (o.AddLF ? "\n" : "");
  const std::size_t count = o.Data.size() + lineEnd.size();
  w->SetLineEnd(lineEnd);
  w->Send(o.Data);
  std::string why;
  const bool sent = o.Data.empty() || WaitUntilSent(s, *w, count, &why);
  if (sent && o.ListenSeconds > 0) {
    s.Run([] { return false; }, Clock::now() + SecondsOf(o.ListenSeconds));
    s.TakeWhatWaits();
  }
  s.CloseAll();
  if (!sent) {
    s.Say("not all bytes sent to " + w->Port().CommPort() + ": " + why);
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace veltra::cli
