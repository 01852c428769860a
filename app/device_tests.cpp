// The scanner, scale and cash-register tests.
#include <QLabel>
#include <QLineEdit>

#include "app/veltra.h"
#include "session/device_commands.h"

namespace veltra::app {

void TVeltra::SendCommand(const std::string& Command, const char* Message) {
  PendingText = Command;
  SendToPort1();
  Mess->setText(Message);
}

void TVeltra::Button5Click() {
  SendCommand(session::kMagellanEnable, "Enable sent");
}
void TVeltra::Button6Click() {
  SendCommand(session::kMagellanDisable, "Disable sent");
}
void TVeltra::Button7Click() {
  SendCommand(session::kMagellanNotOnFileBeep, "Not-on-File-Beep sent");
}
void TVeltra::MTClick() {
  SendCommand(session::kScaleCommand, "Command sent");
}
void TVeltra::Button3Click() {
  SendCommand(session::kEr650ReportRequest, "Command sent");
}

void TVeltra::Button4Click() {
  const session::TScaleChecksum checksum =
      session::ComputeScaleChecksum(Edit1->text().toLatin1().toStdString());
  if (checksum.Replaced) ShowMessage(this, session::kRandomNumberInvalid);
  ShowMessage(this, QString::fromStdString(session::ScaleChecksumMessage(checksum)));
}

}  // namespace veltra::app
