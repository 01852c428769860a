// The five control buttons: apply the panel, open Port 1, spy on two ports, close,
// end. Each reports its outcome in Mess and switches the other buttons.
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include "app/veltra.h"

namespace veltra::app {

void TVeltra::SetCommandGroupEnabled(bool Enabled) {
  for (QPushButton* button : {BSend, BAscii, BACK, BNAK, BESC, BENQ, BETX, BDLE, BSTX, BEOT,
                              Button5, Button6, Button7, MT, Button3})
    button->setEnabled(Enabled);
}

void TVeltra::BStartClick() {
  // A conversion error ends the handler here; the application's error box shows it.
  const bool port1 = ApplyPanel(Port1Lists(), *SerialPort1);
  const bool port2 = ApplyPanel(Port2Lists(), *SerialPort2);
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
    Mess->setText(QStringLiteral("Port open failed"));
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
  Mess->setText(SerialPort1->Active() ? QStringLiteral("Port1 opened")
                                      : QStringLiteral("Port1 open failed"));
  SerialPort2->SetActive(true);
  Mess->setText(SerialPort2->Active() ? QStringLiteral("Port2 opened")
                                      : QStringLiteral("Port2 open failed"));
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

}  // namespace veltra::app
