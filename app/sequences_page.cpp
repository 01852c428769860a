// The "Sequences" page on the ports: a sequence's writes and the triggers' answers
// go out after what the port has queued (the spy forwarding queue, one write at a
// time); the triggers look through every received block.
#include <QApplication>
#include <QLabel>
#include <QTimer>

#include "app/logic/log_lines.h"
#include "app/sequence_panel.h"
#include "app/veltra.h"

namespace veltra::app {

using automation::TTriggerEvent;
using Clock = std::chrono::steady_clock;

namespace {

const logic::TPortPrefixes& PrefixesOf(int port) {
  return port == 1 ? logic::kPort1Prefixes : logic::kPort2Prefixes;
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

void TVeltra::AutomationReceived(int Port, const std::string& Block) {
  automation::TPortAutomation& a = Port == 1 ? Automation1 : Automation2;
  if (a.Triggers() == nullptr) return;
  ShowTriggerEvents(Port, a.Received(Block, Clock::now()));
  ServeAutomation();
}

void TVeltra::AutomationWriteDone(int Port) {
  if (!AutomationWriting[Port - 1]) return;
  AutomationWriting[Port - 1] = false;
  (Port == 1 ? Automation1 : Automation2).WriteDone(Clock::now());
  ServeAutomation();
}

void TVeltra::ServeAutomation() {
  const Clock::time_point now = Clock::now();
  std::optional<Clock::time_point> wake;
  for (int port : {1, 2}) {
    automation::TPortAutomation& a = port == 1 ? Automation1 : Automation2;
    TSerialPort& serial = port == 1 ? *SerialPort1 : *SerialPort2;
    ShowTriggerEvents(port, a.Poll(now));
    if (!serial.Active()) {  // a closed port sends nothing that waited
      a.Reset();
      AutomationWriting[port - 1] = false;
    }
    if (!AutomationWriting[port - 1]) {
      if (auto bytes = a.TakeWrite(now)) {
        Memo1Log.Add(logic::LogHeader(PrefixesOf(port).Snd, logic::LocalNow()));
        Memo1Log.Add(*bytes);
        AutomationWriting[port - 1] = true;
        (port == 1 ? ForwardToPort1 : ForwardToPort2).Push(std::move(*bytes));
        SetTxDLampLit();
      }
    }
    if (const auto due = a.NextWake()) wake = wake ? std::min(*wake, *due) : *due;
  }
  if (!wake) return;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(*wake - Clock::now()).count();
  AutomationTimer->start(static_cast<int>(std::clamp<long long>(ms, 0, 600000)));
}

void TVeltra::ShowTriggerEvents(int Port, const std::vector<TTriggerEvent>& Events) {
  const logic::TPortPrefixes& own = PrefixesOf(Port);
  const automation::TPortTriggers* triggers = (Port == 1 ? Automation1 : Automation2).Triggers();
  for (const TTriggerEvent& e : Events) {
    const std::string name = "Trigger \"" + triggers->Triggers()[e.Trigger].Name + "\"";
    const std::string stamp = logic::LogHeader(own.ErrMsg, logic::LocalNow());
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
