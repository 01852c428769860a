// SendToPort1 and the "Commands" page.
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>

#include "app/logic/device_commands.h"
#include "app/logic/integer_text.h"
#include "app/logic/log_lines.h"
#include "app/veltra.h"

namespace veltra::app {

void TVeltra::SendToPort1() {
  if (PendingText.empty()) return;
  Memo1Log.Add(logic::LogHeader(logic::kPort1Prefixes.Snd, logic::LocalNow()));
  Memo1Log.Add(PendingText);
  std::string data = PendingText;
  if (ACR->isChecked()) data.push_back('\r');
  if (ALF->isChecked()) data.push_back('\n');
  // Set before sending: a write that completes at once runs OnWriteDone inside SendString.
  FPort1SendLength = static_cast<Cardinal>(data.size());
  SerialPort1->SendString(data);
  if (SerialPort1->SendInProgress()) BSend->setEnabled(false);
  SetTxDLampLit();
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
  PendingText = logic::ParseAsciiCodes(std::string_view(text.constData(), text.size()));
  SendToPort1();
  Mess->setText("ASCII-String sent");
}

// DLE, then ACK or NAK as a second write once Port 1 has written the DLE: the port
// refuses a write while one is in flight, and the pair means nothing when split.
void TVeltra::SendAfterDle(char Second, const char* Name) {
  const bool refused = SerialPort1->SendInProgress() || FSecondAfterDle.has_value();
  const Cardinal writesBefore = FPort1WritesDone;
  SendByte(logic::kDLE, "DEL sent ");
  if (refused) return;  // the DLE did not go (901): its partner must not go alone
  FSecondAfterDle = TSecondByte{Second, Name};
  if (SerialPort1->SendInProgress()) return;  // SerialPort1WriteDone finishes it
  FinishAfterDle(FPort1WritesDone != writesBefore &&
                 SerialPort1->WrittenBytes() == FPort1SendLength);
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
  SendAfterDle(logic::kACK, "ACK");
}

void TVeltra::BNAKClick() {
  SendAfterDle(logic::kNAK, "NAK");
}

void TVeltra::BEOTClick() {
  SendByte(logic::kEOT, "EOT sent");
}
void TVeltra::BSTXClick() {
  SendByte(logic::kSTX, "STX sent");
}
void TVeltra::BDLEClick() {
  SendByte(logic::kDLE, "DLE sent");
}
void TVeltra::BENQClick() {
  SendByte(logic::kENQ, "ENQ sent");
}
void TVeltra::BETXClick() {
  SendByte(logic::kETX, "ETX sent");
}
void TVeltra::BESCClick() {
  SendByte(logic::kESC, "ESC sent");
}

void TVeltra::SerialPort1WriteDone(TObject*) {
  ++FPort1WritesDone;
  const bool whole = SerialPort1->WrittenBytes() == FPort1SendLength;
  if (!whole) SerialPort1ProcessError(SerialPort1.get(), 1, 0, "P1:Not all Bytes send", 0);
  BSend->setEnabled(true);
  // Before the spy forwarding takes the port: the pair's second byte follows its DLE.
  if (FSecondAfterDle && !SerialPort1->SendInProgress()) FinishAfterDle(whole);
  ForwardToPort1.WriteDone();
  AutomationWriteDone(1);
}

void TVeltra::SerialPort2WriteDone(TObject*) {
  if (SerialPort2->WrittenBytes() != FPort2SendLength)
    SerialPort2ProcessError(SerialPort2.get(), 1, 0, "P2:Not all Bytes send", 0);
  BSend->setEnabled(true);
  ForwardToPort2.WriteDone();
  AutomationWriteDone(2);
}

}  // namespace veltra::app
