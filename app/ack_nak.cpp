// "Send ACK" and "Send NAK": DLE, then ACK or NAK as a second write once Port 1 has
// written the DLE (the port refuses a write while one is in flight). Each byte is
// logged, and named sent in the status line, only once its write has ended and it
// has left the port.
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>

#include "app/logic/device_commands.h"
#include "app/logic/log_lines.h"
#include "app/veltra.h"

namespace veltra::app {

void TVeltra::SendAfterDle(char Second, const char* Name) {
  // A pair whose write never ended (the port was closed under it) is given up.
  if (FDlePair && !SerialPort1->SendInProgress()) FDlePair.reset();
  if (FDlePair) {  // the last pair is still on its way: this one does not start
    logic::TDlePair refused(Second, Name);
    refused.WriteEnded(0, 1);
    Mess->setText(QString::fromStdString(refused.Status()));
    return;
  }
  FDlePair.emplace(Second, Name);
  FDlePairWaiting = false;
  SendDlePairByte();
}

void TVeltra::SendDlePairByte() {
  std::string data(1, FDlePair->Byte());
  if (ACR->isChecked()) data.push_back('\r');
  if (ALF->isChecked()) data.push_back('\n');
  FPort1SendLength = static_cast<Cardinal>(data.size());
  const Cardinal writesBefore = FPort1WritesDone;
  SerialPort1->SendString(data);
  if (SerialPort1->SendInProgress()) {
    FDlePairWaiting = true;  // SerialPort1WriteDone goes on
    BSend->setEnabled(false);
    SetTxDLampLit();
    Mess->setText(QString::fromStdString(FDlePair->Status()));
    return;
  }
  // Written at once, or refused (busy port, 901) or not started (903): nothing left.
  DlePairWriteEnded(FPort1WritesDone != writesBefore ? SerialPort1->WrittenBytes() : 0);
}

void TVeltra::DlePairWriteEnded(Cardinal Written) {
  FDlePairWaiting = false;
  const char byte = FDlePair->Byte();
  const bool partnerNext = FDlePair->WriteEnded(Written, FPort1SendLength);
  if (FDlePair->LastLeft()) {
    PendingText.assign(1, byte);
    Memo1Log.Add(logic::LogHeader(logic::kPort1Prefixes.Snd, logic::LocalNow()));
    Memo1Log.Add(PendingText);
    SetTxDLampLit();
  }
  Mess->setText(QString::fromStdString(FDlePair->Status()));
  if (partnerNext)
    SendDlePairByte();
  else
    FDlePair.reset();
}

void TVeltra::BACKClick() {
  SendAfterDle(logic::kACK, "ACK");
}

void TVeltra::BNAKClick() {
  SendAfterDle(logic::kNAK, "NAK");
}

}  // namespace veltra::app
