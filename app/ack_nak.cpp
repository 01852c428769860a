// "Send ACK" and "Send NAK": DLE, then ACK or NAK as a second write once Port 1 has
// written the DLE (the port refuses a write while one is in flight). Each byte is
// logged, and named sent in the status line, only once its write has ended and it
// has left the port.
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>

#include <cstdint>

#include "app/veltra.h"
#include "session/device_commands.h"
#include "session/log_lines.h"

namespace veltra::app {

void TVeltra::SendAfterDle(char Second, const char* Name) {
  // A pair whose write never ended (the port was closed under it) is given up.
  if (FDlePair && !SerialPort1->SendInProgress()) FDlePair.reset();
  if (FDlePair) {  // the last pair is still on its way: this one does not start
    session::TDlePair refused(Second, Name);
    refused.WriteEnded(0, 1);
    Mess->setText(QString::fromStdString(refused.Status()));
    return;
  }
  FDlePair.emplace(Second, Name);
  FDlePairWaiting = false;
  SendDlePairByte();
}

void TVeltra::SendDlePairByte() {
  const std::uint64_t writesBefore = Session1->WritesDone();
  // With the line end of "Add CR"/"Add LF"; logged once it has left.
  Session1->SendNowUnlogged(std::string(1, FDlePair->Byte()));
  if (SerialPort1->SendInProgress()) {
    FDlePairWaiting = true;  // Port1WriteDone goes on
    BSend->setEnabled(false);
    Mess->setText(QString::fromStdString(FDlePair->Status()));
    return;
  }
  // Written at once, or refused (busy port, 901) or not started (903): nothing left.
  DlePairWriteEnded(Session1->WritesDone() != writesBefore ? SerialPort1->WrittenBytes() : 0);
}

void TVeltra::DlePairWriteEnded(Cardinal Written) {
  FDlePairWaiting = false;
  const char byte = FDlePair->Byte();
  const bool partnerNext = FDlePair->WriteEnded(Written, Session1->SendLength());
  if (FDlePair->LastLeft()) {
    PendingText.assign(1, byte);
    Memo1Log.Add(session::LogHeader(Session1->Prefixes().Snd, session::LocalNow()));
    Memo1Log.Add(PendingText);
  }
  Mess->setText(QString::fromStdString(FDlePair->Status()));
  if (partnerNext)
    SendDlePairByte();
  else
    FDlePair.reset();
}

void TVeltra::BACKClick() {
  SendAfterDle(session::kACK, "ACK");
}

void TVeltra::BNAKClick() {
  SendAfterDle(session::kNAK, "NAK");
}

}  // namespace veltra::app
