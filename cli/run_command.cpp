// run: a Lua script on its own thread (the owner of the ports it opens); this thread
// prints its log, passes Ctrl-C and --timeout on as a stop, and writes the report.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "automation/script/junit_report.h"
#include "automation/script/script_runner.h"
#include "cli/commands.h"
#include "cli/session.h"

namespace veltra::cli {

namespace {

using script::TScriptOutcome;
using Clock = std::chrono::steady_clock;

std::string Seconds(double s) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", s);
  return text;
}

// Waits for the script, stopping it on Ctrl-C or at the time-out.
void Supervise(script::TScriptRunner& runner, TRunControl& control, std::optional<double> timeout) {
  const auto deadline = timeout ? Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                     std::chrono::duration<double>(*timeout))
                                : Clock::time_point::max();
  while (runner.Running()) {
    if (control.StopRequested()) runner.Stop("interrupted");
    if (Clock::now() >= deadline) runner.Stop("timed out after " + Seconds(*timeout) + " s");
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        std::min(deadline, Clock::now() + std::chrono::seconds(1)) - Clock::now());
    control.WaitForWake(static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, 1000)));
  }
}

bool WriteReport(const std::string& path, const std::string& xml, std::string* why) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (out && (out << xml) && out.flush()) return true;
  *why = "cannot write the report " + path;
  return false;
}

}  // namespace

int RunScriptFile(const TOptions& o, TConsole& console, TRunControl& control) {
  script::TScriptRunner runner;
  std::mutex outLock;  // log lines come from the script thread
  if (!o.Quiet) {
    runner.OnLog = [&](const std::string& line) {
      std::lock_guard lock(outLock);
      console.Out.Write(line + "\n");
    };
  }
  runner.OnFinished = [&control](const script::TScriptResult&) { control.Wake(); };
  runner.Start({o.Script, "", o.ScriptArgs});
  Supervise(runner, control, o.Timeout);
  const script::TScriptResult r = runner.Wait();

  std::string verdict = script::OutcomeName(r.Outcome);
  if (!r.Message.empty()) verdict += ": " + r.Message;
  if (r.Outcome == TScriptOutcome::Error)
    console.Err.Write("veltra-cli: " + r.Message + "\n");
  else
    console.Out.Write(verdict + "\n");
  if (!o.JUnitPath.empty()) {
    const std::string name = std::filesystem::path(o.Script).stem().string();
    std::string why;
    if (!WriteReport(o.JUnitPath, script::JUnitReport("veltra-cli run", name, r), &why)) {
      console.Err.Write("veltra-cli: " + why + "\n");
      return kExitUsage;
    }
  }
  switch (r.Outcome) {
    case TScriptOutcome::Passed:
      return kExitOk;
    case TScriptOutcome::Failed:
    case TScriptOutcome::Stopped:
      return kExitFailed;
    case TScriptOutcome::Error:
      break;
  }
  return kExitUsage;
}

}  // namespace veltra::cli
