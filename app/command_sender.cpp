// SendToPort1 and the "Commands" page.
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>

#include "app/veltra.h"
#include "session/device_commands.h"
#include "session/integer_text.h"

namespace veltra::app {

void TVeltra::SendToPort1() {
  if (PendingText.empty()) return;
  // Logged under "P1:Snd ", with the line end of "Add CR"/"Add LF", at once.
  Session1->SendNow(PendingText);
  if (SerialPort1->SendInProgress()) BSend->setEnabled(false);
}

void TVeltra::ApplyLineEnds() {
  const std::string lineEnd =
      std::string(ACR->isChecked() ? "\r" : "") + (ALF->isChecked() ? "\n" : "");
  Session1->SetLineEnd(lineEnd);
  Session2->SetLineEnd(lineEnd);
}

void TVeltra::SendByte(char Code, const char* Message) {
  PendingText.assign(1, Code);
  SendToPort1();
  Mess->setText(Message);
}

void TVeltra::BSendClick() {
  const QByteArray text = Memo1Log.Text();
  PendingText.assign(text.constData(), static_cast<std::size_t>(text.size()));
  SendToPort1();
  Mess->setText("Text sent");
}

void TVeltra::BAsciiClick() {
  PendingText.clear();
  const QByteArray text = Memo1Log.Text();
  if (text.isEmpty()) return;
  PendingText = session::ParseAsciiCodes(std::string_view(text.constData(), text.size()));
  SendToPort1();
  Mess->setText("ASCII-String sent");
}

// DLE, then ACK or NAK as a second write once Port 1 has written the DLE: the port
// refuses a write while one is in flight, and the pair means nothing when split.
void TVeltra::SendAfterDle(char Second, const char* Name) {
  const bool refused = SerialPort1->SendInProgress() || FSecondAfterDle.has_value();
  const std::uint64_t writesBefore = Session1->WritesDone();
  SendByte(session::kDLE, "DEL sent ");
  if (refused) return;  // the DLE did not go (901): its partner must not go alone
  FSecondAfterDle = TSecondByte{Second, Name};
  if (SerialPort1->SendInProgress()) return;  // Port1WriteDone finishes it
  FinishAfterDle(Session1->WritesDone() != writesBefore && Session1->LastWriteWhole());
}

void TVeltra::FinishAfterDle(bool DleWritten) {
  const TSecondByte second = *FSecondAfterDle;
  FSecondAfterDle.reset();
  if (DleWritten) {
    PendingText.assign(1, second.Code);
    SendToPort1();
  }
  Mess->setText(Mess->text() + QStringLiteral("+ %1 %2 ")
                                   .arg(QLatin1String(second.Name),
                                        QLatin1String(DleWritten ? "sent" : "not sent")));
}

void TVeltra::BACKClick() {
  SendAfterDle(session::kACK, "ACK");
}

void TVeltra::BNAKClick() {
  SendAfterDle(session::kNAK, "NAK");
}

void TVeltra::BEOTClick() {
  SendByte(session::kEOT, "EOT sent");
}
void TVeltra::BSTXClick() {
  SendByte(session::kSTX, "STX sent");
}
void TVeltra::BDLEClick() {
  SendByte(session::kDLE, "DLE sent");
}
void TVeltra::BENQClick() {
  SendByte(session::kENQ, "ENQ sent");
}
void TVeltra::BETXClick() {
  SendByte(session::kETX, "ETX sent");
}
void TVeltra::BESCClick() {
  SendByte(session::kESC, "ESC sent");
}

void TVeltra::SerialPort1WriteDone(TObject*) {
  Session1->WriteDone();
}

void TVeltra::SerialPort2WriteDone(TObject*) {
  Session2->WriteDone();
}

// After the session checked the write (and logged a short one), before its queue
// hands over the next spy block: the pair's second byte follows its DLE.
void TVeltra::Port1WriteDone() {
  BSend->setEnabled(true);
  if (FSecondAfterDle && !SerialPort1->SendInProgress()) FinishAfterDle(Session1->LastWriteWhole());
}

}  // namespace veltra::app
