#include "cli/port_automation.h"

namespace veltra::cli {

using automation::TTriggerEvent;

std::optional<automation::TLibrary> ReadLibraryOption(const std::string& option,
                                                      const std::string& path, std::string* why) {
  try {
    return automation::LoadLibraryFile(path.empty() ? automation::DefaultLibraryPath() : path);
  } catch (const automation::TLibraryError& e) {
    *why = option + ": " + e.what();
    return std::nullopt;
  }
}

TCliAutomation::TCliAutomation(TCommandSession& command, std::vector<session::TPortSession*> ports)
    : command_(command) {
  for (std::size_t i = 0; i < ports.size(); ++i)
    ports_.push_back({ports[i], automation::TPortAutomation(static_cast<int>(i) + 1)});
  // Right under the block's dump lines, as the window marks them.
  for (TPort& p : ports_)
    p.observer = p.session->AddDumpObserver(
        [this, &p](session::TPortSession&, std::string_view block, bool) {
          Show(p, p.automation.Received(block, Clock::now()));
        });
  command_.AutomationWork = [this] { Serve(); };
  command_.AutomationWakeBy = [this] {
    Clock::time_point wake = Clock::time_point::max();
    for (const TPort& p : ports_)
      if (const auto due = p.automation.NextWake()) wake = std::min(wake, *due);
    return wake;
  };
}

TCliAutomation::~TCliAutomation() {
  command_.AutomationWork = nullptr;
  command_.AutomationWakeBy = nullptr;
  for (TPort& p : ports_) p.session->RemoveDumpObserver(p.observer);
}

bool TCliAutomation::ArmTriggers(const automation::TLibrary& library, std::string* why) {
  try {
    for (TPort& p : ports_) p.automation.SetTriggers(library);
  } catch (const automation::TAutomationError& e) {
    *why = std::string("--triggers: ") + e.what();
    return false;
  }
  return true;
}

void TCliAutomation::Play(std::size_t port, const std::vector<automation::TSendStep>& steps) {
  ports_.at(port).automation.Play(steps, Clock::now());
  Serve();
}

bool TCliAutomation::Idle() const {
  for (const TPort& p : ports_)
    if (!p.automation.Idle() || p.writing || !p.session->WritesIdle()) return false;
  return true;
}

// A port's next write goes once the one before has left the session's queue.
void TCliAutomation::Serve() {
  const Clock::time_point now = Clock::now();
  for (TPort& p : ports_) {
    if (p.writing && p.session->WritesIdle()) {
      p.writing = false;
      p.automation.WriteDone(now);
    }
    Show(p, p.automation.Poll(now));
    if (p.writing) continue;
    if (auto bytes = p.automation.TakeWrite(now)) {
      p.writing = true;
      p.txEmptyAtWrite = p.session->Counters().TxEmpty;
      p.session->SendAsIs(*bytes);
    }
  }
}

void TCliAutomation::Show(TPort& p, const std::vector<TTriggerEvent>& events) {
  const std::string port = std::string(p.session->Prefixes().Rec, 2);  // "P1"
  for (const TTriggerEvent& e : events) {
    const std::string trigger =
        port + ":Trigger \"" + p.automation.Triggers()->Triggers()[e.Trigger].Name + "\"";
    switch (e.Kind) {
      case TTriggerEvent::TKind::Mark:
        command_.Log.Traffic(port + ":Mark " + e.Text);
        break;
      case TTriggerEvent::TKind::Count:
        command_.Log.Event(trigger + ": " + std::to_string(e.Count) + " matches");
        break;
      case TTriggerEvent::TKind::Sound:
        command_.Log.Event(trigger + ": sound");
        break;
      case TTriggerEvent::TKind::StopRecording:
        command_.Log.Event(trigger + ": stop recording (the --log files go on)");
        break;
      case TTriggerEvent::TKind::Stopped:
        command_.Log.Report(port + ":" + e.Text);
        break;
      case TTriggerEvent::TKind::Send:
        break;  // queued by the automation
    }
  }
}

std::string TCliAutomation::MatchSummary() const {
  std::string summary;
  for (const TPort& p : ports_) {
    const automation::TPortTriggers* t = p.automation.Triggers();
    if (t == nullptr) continue;
    for (std::size_t i = 0; i < t->Triggers().size(); ++i)
      summary += (summary.empty() ? "" : ", ") + std::string(p.session->Prefixes().Rec, 2) + " \"" +
                 t->Triggers()[i].Name + "\" " + std::to_string(t->Matches(i)) +
                 (t->Stopped(i) ? " (stopped)" : "");
  }
  return summary;
}

}  // namespace veltra::cli
