// The five control buttons: apply the panel, open Port 1, spy on two ports, close,
// end. Each reports its outcome in Mess and switches the other buttons.
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include "app/veltra.h"
#include "engine/report_places.h"

namespace veltra::app {

namespace {

// The first sentence of a reason, for the one-line status label.
QString Headline(const std::string& Reason) {
  QString text = QString::fromStdString(Reason);
  const qsizetype stop = text.indexOf(QStringLiteral(". "));
  if (stop >= 0) text.truncate(stop);
  if (text.endsWith(QLatin1Char('.'))) text.chop(1);
  return text;
}

constexpr Cardinal kStartProblemPlace = engine::places::kStartProblem;

// "Port open failed" and, where the port knows it, why.
void ShowOutcome(QLabel* Mess, const QString& Text, const TSerialPort& Port) {
  const std::string& reason = Port.Active() ? std::string() : Port.LastOpenFailure();
  Mess->setText(reason.empty() ? Text : Text + QStringLiteral(": ") + Headline(reason));
  Mess->setToolTip(QString::fromStdString(reason));
}

}  // namespace

void TVeltra::SetCommandGroupEnabled(bool Enabled) {
  for (QPushButton* button : {BSend, BAscii, BACK, BNAK, BESC, BENQ, BETX, BDLE, BSTX, BEOT,
                              Button5, Button6, Button7, MT, Button3})
    button->setEnabled(Enabled);
}

void TVeltra::BStartClick() {
  // A conversion error ends the handler here; the application's error box shows it.
  std::string problem1, problem2;
  const bool port1 = ApplyPanel(Port1Lists(), *SerialPort1, &problem1);
  const bool port2 = ApplyPanel(Port2Lists(), *SerialPort2, &problem2);
  // The status line may show a long reason shortened; the error pane keeps it whole.
  if (!problem1.empty()) SerialPort1ProcessError(SerialPort1, kStartProblemPlace, 0, problem1, 0);
  if (!problem2.empty()) SerialPort2ProcessError(SerialPort2, kStartProblemPlace, 0, problem2, 0);
  if (!problem1.empty() || !problem2.empty()) {
    const bool first = !problem1.empty();
    Mess->setText((first ? QStringLiteral("Port 1: ") : QStringLiteral("Port 2: ")) +
                  Headline(first ? problem1 : problem2));
    Mess->setToolTip(QString::fromStdString(problem1 + (first && !problem2.empty() ? "\n" : "") +
                                            problem2));
  }
  BOpen->setEnabled(true);
  BInit->setEnabled(false);
  Spy->setEnabled(true);
  JvHTButton4->setEnabled(true);
  if (!port1 || !port2) {
    const QString which = !port1 && !port2 ? QStringLiteral("Port 1 and Port 2")
                          : !port1         ? QStringLiteral("Port 1")
                                           : QStringLiteral("Port 2");
    ShowMessage(
        this, QStringLiteral("No port selected for %1: its settings were not applied.").arg(which));
  }
}

void TVeltra::BOpenClick() {
  SpyMode = false;
  SerialPort1->SetActive(true);
  ResetLamps();
  if (SerialPort1->Active()) {
    Mess->setText(QStringLiteral("Port opened"));
    RefreshLamps();
    ProgressTxDQueue->setRange(0, SerialPort1->TxQueueSize());
    ProgressTxDQueue->setValue(0);
    ProgressRxDQueue->setRange(0, SerialPort1->RxQueueSize());
    ProgressRxDQueue->setValue(0);
  } else {
    ShowOutcome(Mess, QStringLiteral("Port open failed"), *SerialPort1);
  }
  FRxActivity = false;
  FRxAfterglow = false;
  BOpen->setEnabled(false);
  BInit->setEnabled(true);
  SetCommandGroupEnabled(true);
}

void TVeltra::SpyClick() {
  SpyMode = true;
  SerialPort1->SetActive(true);
  ShowOutcome(Mess, SerialPort1->Active() ? QStringLiteral("Port1 opened")
                                          : QStringLiteral("Port1 open failed"),
              *SerialPort1);
  SerialPort2->SetActive(true);
  ShowOutcome(Mess, SerialPort2->Active() ? QStringLiteral("Port2 opened")
                                          : QStringLiteral("Port2 open failed"),
              *SerialPort2);
  Spy->setEnabled(false);
  BOpen->setEnabled(false);
  BInit->setEnabled(true);
}

void TVeltra::BInitClick() {
  SerialPort1->SetActive(false);
  SerialPort2->SetActive(false);
  Mess->setText(QStringLiteral("Ports closed"));
  BInit->setEnabled(false);
  SetCommandGroupEnabled(false);
  BOpen->setEnabled(true);
  Spy->setEnabled(true);
}

void TVeltra::BEndClick() {
  SerialPort1->SetActive(false);
  Mess->setText(QStringLiteral("Port closed"));
  close();
}

// The port is closed already: lamps dark and the buttons as after "Close Ports"
// (which stays available while the other port is still open). SpyMode is kept,
// so relaying resumes once both ports are back.
void TVeltra::PortDeviceRemoved(TSerialPort& Port) {
  const bool first = &Port == SerialPort1;
  if (FButtonsBeforeRemoval.empty())
    FButtonsBeforeRemoval = {BOpen->isEnabled(), BInit->isEnabled(), Spy->isEnabled(),
                             BSend->isEnabled()};
  ResetLamps();
  FRxActivity = false;
  FRxAfterglow = false;
  const bool otherOpen = first ? SerialPort2->Active() : SerialPort1->Active();
  BInit->setEnabled(otherOpen);
  SetCommandGroupEnabled(false);
  BOpen->setEnabled(true);
  Spy->setEnabled(true);
  Mess->setText(first ? QStringLiteral("Port1 device removed")
                      : QStringLiteral("Port2 device removed"));
  Mess->setToolTip(QString::fromStdString(Port.CommPort()));
}

// Reopened with its settings; once no port waits for its device any more, the
// buttons are as they were before the device went.
void TVeltra::PortDeviceReturned(TSerialPort& Port) {
  const bool first = &Port == SerialPort1;
  Mess->setText(first ? QStringLiteral("Port1 reopened") : QStringLiteral("Port2 reopened"));
  Mess->setToolTip(QString::fromStdString(Port.CommPort()));
  if (first) RefreshLamps();
  if (SerialPort1->AwaitingReturn() || SerialPort2->AwaitingReturn()) return;
  if (FButtonsBeforeRemoval.size() == 4) {
    BOpen->setEnabled(FButtonsBeforeRemoval[0]);
    BInit->setEnabled(FButtonsBeforeRemoval[1]);
    Spy->setEnabled(FButtonsBeforeRemoval[2]);
    SetCommandGroupEnabled(FButtonsBeforeRemoval[3]);
  }
  FButtonsBeforeRemoval.clear();
}

}  // namespace veltra::app
