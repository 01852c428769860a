// The scanner, scale and cash-register tests.
#include <QLabel>
#include <QLineEdit>

#include "app/logic/device_commands.h"
#include "app/veltra.h"

namespace veltra::app {

void TVeltra::SendCommand(const std::string& Command, const char* Message) {
  PendingText = Command;
  SendToPort1();
  Mess->setText(Message);
}

void TVeltra::Button5Click() {
  SendCommand(logic::kMagellanEnable, "Enable sent");
}
void TVeltra::Button6Click() {
  SendCommand(logic::kMagellanDisable, "Disable sent");
}
void TVeltra::Button7Click() {
  SendCommand(logic::kMagellanNotOnFileBeep, "Not-on-File-Beep sent");
}
void TVeltra::MTClick() {
  SendCommand(logic::kScaleCommand, "Command sent");
}
void TVeltra::Button3Click() {
  SendCommand(logic::kEr650ReportRequest, "Command sent");
}

void TVeltra::Button4Click() {
  const logic::TScaleChecksum checksum =
      logic::ComputeScaleChecksum(Edit1->text().toLatin1().toStdString());
  if (checksum.Replaced) ShowMessage(this, logic::kRandomNumberInvalid);
  ShowMessage(this, QString::fromStdString(logic::ScaleChecksumMessage(checksum)));
}

}  // namespace veltra::app
