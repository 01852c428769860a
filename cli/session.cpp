#include "cli/session.h"

#include <cstdio>

#include "platform/settings/settings_store.h"
#include "session/port_settings.h"

namespace veltra::cli {

TLogOptions LogOptionsOf(const TOptions& o) {
  TLogOptions log;
  log.Traffic = !o.Quiet;
  log.Events = o.Events;
  log.Stamps = o.Stamps;
  log.LogPath = o.LogPath;
  return log;
}

std::string Plural(std::uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string ReceiveSummary(const session::TPortCounters& c) {
  return Plural(c.BytesIn, "byte", "bytes") + " in " + Plural(c.Blocks, "block", "blocks") + ", " +
         std::to_string(c.ErrorBlocks) + " with line errors";
}

TCommandSession::TCommandSession(TConsole& console, TRunControl& control, const TOptions& options)
    : Console(console),
      Loop(control),
      Log(console, LogOptionsOf(options)),
      statusWanted_(options.Status) {}

TCommandSession::~TCommandSession() {
  CloseAll();
  if (status_) status_->Hide();
  Log.SetStatusLine(nullptr);
  ports_.clear();  // each waits for its worker, which may still call into the loop
}

bool TCommandSession::OpenLog() {
  std::string error;
  if (Log.OpenFiles(&error)) return true;
  Say(error);
  return false;
}

session::TPortSession* TCommandSession::AddPort(const std::string& name, const TLineOptions& line,
                                                const session::TPortPrefixes& prefixes,
                                                Byte defaultNoise, bool txEmpty) {
  // A pty's missing modem lines are said once, not as an error per call.
  session::TSessionOptions options{.WatchTxEmpty = txEmpty, .FoldNoModemLines = true};
  auto port = std::make_unique<session::TPortSession>(Loop.Calls, prefixes, Log, options);
  port->OnNoModemLines = [this, p = port.get()] {
    Say(p->Port().CommPort() +
        " has no modem lines (a pseudo-terminal): DTR and RTS are not driven, "
        "CTS, DSR, RI and DCD are not read");
  };
  if (!ApplyLineOptions(port->Port(), line, defaultNoise)) {
    Say("cannot read the saved settings " + line.Section.value_or("") + " from " +
        platform::SettingsLocation(session::kSettingsKey));
    return nullptr;
  }
  if (!name.empty()) port->Port().SetCommPort(name);
  ports_.push_back(std::move(port));
  return ports_.back().get();
}

bool TCommandSession::Open(session::TPortSession& port) {
  std::string why;
  const bool opened = port.Open(&why);
  if (!opened) Say("cannot open " + port.Port().CommPort() + ": " + why);
  if (opened && !status_) {
    std::vector<const session::TPortSession*> shown;
    for (const auto& p : ports_) shown.push_back(p.get());
    status_ = std::make_unique<TStatusLine>(Console.Err, shown, statusWanted_);
    Log.SetStatusLine(status_.get());
  }
  return opened;
}

TOwnerLoop::TEnd TCommandSession::Run(const std::function<bool()>& done, Clock::time_point deadline,
                                      bool stopEnds) {
  TOwnerLoop::THooks hooks;
  hooks.Idle = [this] {
    if (AutomationWork) AutomationWork();
    Log.Flush();
  };
  hooks.WakeBy = AutomationWakeBy;
  hooks.Tick = [this] {
    if (status_) status_->Draw();
  };
  hooks.StopEnds = stopEnds;
  // A closed pipe or a full disk ends the command as a stop would.
  auto ended = [&] { return done() || Console.Out.Broken() || Log.FileFailed(); };
  return Loop.Run(ended, deadline, hooks);
}

void TCommandSession::TakeWhatWaits() {
  // A worker reads at once on ReadRequest and clears it; with nothing waiting it
  // leaves it set, which one full cycle (75 ms at most) with an empty queue shows.
  constexpr auto kOneCycle = std::chrono::milliseconds(80);
  constexpr auto kBound = std::chrono::milliseconds(300);
  for (const auto& port : ports_)
    if (port->Port().Active()) port->Port().SetReadRequest(true);
  const auto start = Clock::now();
  Run(
      [&] {
        for (const auto& session : ports_) {
          const engine::TSerialPort* port = &session->Port();
          const bool empty = Clock::now() - start >= kOneCycle && port->CommStateInQueue() == 0;
          if (port->Active() && port->ReadRequest() && !empty) return false;
        }
        return true;
      },
      start + kBound, /*stopEnds=*/false);
}

void TCommandSession::CloseAll() {
  for (const auto& port : ports_) port->Port().SetActive(false);
  Loop.Calls.ServePending();
  Log.Flush();
}

void TCommandSession::Say(const std::string& line) {
  Log.Flush();
  if (status_) status_->Hide();
  Console.Err.Write("veltra-cli: " + line + "\n");
}

double TCommandSession::Seconds() const {
  return std::chrono::duration<double>(Clock::now() - started_).count();
}

}  // namespace veltra::cli
