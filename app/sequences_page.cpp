// The "Sequences" page on the ports: a sequence's writes and the triggers' answers
// go out through the port's session after what it has queued, one write at a time;
// the triggers look through every received block.
#include <QApplication>
#include <QLabel>
#include <QTimer>

#include "app/sequence_panel.h"
#include "app/veltra.h"
#include "session/log_lines.h"

namespace veltra::app {

using automation::TTriggerEvent;
using Clock = std::chrono::steady_clock;

namespace {

const session::TPortPrefixes& PrefixesOf(int port) {
  return port == 1 ? session::kPort1Prefixes : session::kPort2Prefixes;
}

}  // namespace

QWidget* TVeltra::BuildSequencesPage() {
  SequencePanel = new TSequencePanel;
  AutomationTimer = new QTimer(this);
  AutomationTimer->setSingleShot(true);
  connect(AutomationTimer, &QTimer::timeout, this, &TVeltra::ServeAutomation);
  SequencePanel->OnPlay = [this](int port, const std::vector<automation::TSendStep>& steps,
                                 const QString&) { PlaySequence(port, steps); };
  SequencePanel->OnTriggersChanged = [this] { ArmTriggers(); };
  SequencePanel->SetShortcutWindow(this);
  SequencePanel->LoadLibrary(automation::DefaultLibraryPath());
  return SequencePanel;
}

// Right under the block's dump lines, before the spy forwarding logs it: a mark
// stands under the block it marks.
void TVeltra::WireAutomation() {
  for (int port : {1, 2})
    (port == 1 ? Session1 : Session2)
        ->AddDumpObserver([this, port](session::TPortSession&, std::string_view block, bool) {
          if (SerialPort1 && SerialPort2) AutomationReceived(port, block);
        });
}

void TVeltra::PlaySequence(int Port, const std::vector<automation::TSendStep>& Steps) {
  TSerialPort& port = Port == 1 ? *SerialPort1 : *SerialPort2;
  if (!port.Active()) {
    SequencePanel->Status->setText(QStringLiteral("Port %1 is not open").arg(Port));
    return;
  }
  (Port == 1 ? Automation1 : Automation2).Play(Steps, Clock::now());
  ServeAutomation();
}

void TVeltra::ArmTriggers() {
  for (automation::TPortAutomation* a : {&Automation1, &Automation2}) {
    try {
      a->SetTriggers(SequencePanel->Library());
    } catch (const automation::TAutomationError& e) {
      a->ClearTriggers();
      SequencePanel->Status->setText(QString::fromLatin1(e.what()));
    }
  }
}

void TVeltra::AutomationReceived(int Port, std::string_view Block) {
  automation::TPortAutomation& a = Port == 1 ? Automation1 : Automation2;
  if (a.Triggers() == nullptr) return;
  ShowTriggerEvents(Port, a.Received(Block, Clock::now()));
  ServeAutomation();
}

void TVeltra::AutomationWriteDone(int Port, std::uint64_t Write) {
  if (AutomationWriting[Port - 1] != Write) return;  // dropped when the port closed
  AutomationWriting[Port - 1] = 0;
  (Port == 1 ? Automation1 : Automation2).WriteDone(Clock::now());
  ServeAutomation();
}

void TVeltra::ServeAutomation() {
  if (!SerialPort1 || !SerialPort2) return;
  const Clock::time_point now = Clock::now();
  std::optional<Clock::time_point> wake;
  for (int port : {1, 2}) {
    automation::TPortAutomation& a = port == 1 ? Automation1 : Automation2;
    session::TPortSession& session = port == 1 ? *Session1 : *Session2;
    ShowTriggerEvents(port, a.Poll(now));
    if (!session.Port().Active()) {  // a closed port sends nothing that waited
      a.Reset();
      AutomationWriting[port - 1] = 0;
    }
    if (AutomationWriting[port - 1] == 0) {
      if (auto bytes = a.TakeWrite(now)) {
        const std::uint64_t write = ++AutomationWrites;
        AutomationWriting[port - 1] = write;
        // Logged under "Snd"; sequences and answers carry their own line ends.
        session.SendAsIs(*bytes, [this, port, write](const session::TSendResult&) {
          if (SerialPort1 && SerialPort2) AutomationWriteDone(port, write);
        });
      }
    }
    if (const auto due = a.NextWake()) wake = wake ? std::min(*wake, *due) : *due;
  }
  if (!wake) return;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(*wake - Clock::now()).count();
  AutomationTimer->start(static_cast<int>(std::clamp<long long>(ms, 0, 600000)));
}

void TVeltra::ShowTriggerEvents(int Port, const std::vector<TTriggerEvent>& Events) {
  const session::TPortPrefixes& own = PrefixesOf(Port);
  const automation::TPortTriggers* triggers = (Port == 1 ? Automation1 : Automation2).Triggers();
  for (const TTriggerEvent& e : Events) {
    const std::string name = "Trigger \"" + triggers->Triggers()[e.Trigger].Name + "\"";
    const std::string stamp = session::LogHeader(own.ErrMsg, session::LocalNow());
    switch (e.Kind) {
      case TTriggerEvent::TKind::Mark:
        Memo1Log.Add(std::string(own.Rec, 3) + "Mark " + e.Text);
        break;
      case TTriggerEvent::TKind::Count:
        ErrorMemoLog.Add(stamp + name + ": " + std::to_string(e.Count) + " matches");
        break;
      case TTriggerEvent::TKind::StopRecording:
        if (TrafficRecord.Active()) StopRecord();
        break;
      case TTriggerEvent::TKind::Sound:
        QApplication::beep();
        break;
      case TTriggerEvent::TKind::Stopped:
        ErrorMemoLog.Add(stamp + e.Text);
        SequencePanel->Status->setText(QString::fromLatin1(e.Text.c_str()));
        break;
      case TTriggerEvent::TKind::Send:
        break;  // queued by the automation
    }
  }
}

}  // namespace veltra::app
