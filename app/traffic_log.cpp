// Received blocks, port events, the two panes and their buttons.
#include <QCheckBox>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include <algorithm>
#include <stdexcept>

#include "app/logic/integer_text.h"
#include "app/logic/log_lines.h"
#include "app/veltra.h"

namespace veltra::app {

using logic::kPort1Prefixes;
using logic::kPort2Prefixes;
using logic::TPortPrefixes;

// --- received blocks -------------------------------------------------------------------

void TVeltra::FlushPanes() {
  Memo1Log.Flush();
  ErrorMemoLog.Flush();
}

void TVeltra::AppendHexDump(const std::string& Data) {
  Memo1Log.AddDump(Data);
}

void TVeltra::ReceiveCluster(TSerialPort& Port, const TPortPrefixes& Own,
                             const TPortPrefixes& Other, logic::TForwardQueue& Forward) {
  const Integer size = Port.FirstClusterSize();
  if (size < 0) return;
  ReceivedByteCount += size;
  Bytes->setText(QString::number(ReceivedByteCount));
  const bool lineErrors = Port.FirstClusterErrors() != 0;
  Memo1Log.Add(logic::LogHeader(lineErrors ? Own.RecX : Own.Rec, logic::LocalNow()));
  std::string block;
  Port.TakeFirstCluster(block);
  AppendHexDump(block);
  AutomationReceived(&Own == &kPort1Prefixes ? 1 : 2, block);
  if (!SpyMode) return;
  Memo1Log.Add(logic::LogHeader(Other.Snd, logic::LocalNow()));
  Memo1Log.Add(block);
  if (ACR->isChecked()) block.push_back('\r');
  if (ALF->isChecked()) block.push_back('\n');
  // The other port may still be writing an earlier block: the queue hands this one
  // over when it is free, so overlapping blocks are not refused and lost.
  Forward.Push(std::move(block));
  SetTxDLampLit();
}

void TVeltra::SerialPort1RxClusterEvent(TObject*) {
  ReceiveCluster(*SerialPort1, kPort1Prefixes, kPort2Prefixes, ForwardToPort2);
}

void TVeltra::SerialPort2RxClusterEvent(TObject*) {
  ReceiveCluster(*SerialPort2, kPort2Prefixes, kPort1Prefixes, ForwardToPort1);
}

void TVeltra::ForwardBlock(TSerialPort& Port, Cardinal& SendLength, const std::string& Block) {
  SendLength = static_cast<Cardinal>(Block.size());
  Port.SendString(Block);
}

// --- port events -----------------------------------------------------------------------

void TVeltra::SerialPort1RxEventCharEvent(TObject*) {
  Memo1Log.Add(logic::LogHeader(kPort1Prefixes.Msg, logic::LocalNow()) + logic::kEventCharText);
  SerialPort1->SetReadRequest(true);
}

void TVeltra::SerialPort2RxEventCharEvent(TObject*) {
  Memo1Log.Add(logic::LogHeader(kPort2Prefixes.Msg, logic::LocalNow()) + logic::kEventCharText);
  SerialPort2->SetReadRequest(true);
}

void TVeltra::SerialPort1CommEvent(TObject*) {
  RefreshLamps();
  ErrorMemoLog.Add(logic::LogHeader(kPort1Prefixes.ErrMsg, logic::LocalNow()) +
                   logic::ComEventText(SerialPort1->ModemState()));
}

void TVeltra::SerialPort2CommEvent(TObject*) {
  RefreshLamps();
  ErrorMemoLog.Add(logic::LogHeader(kPort2Prefixes.ErrMsg, logic::LocalNow()) +
                   logic::ComEventText(SerialPort2->ModemState()));
}

void TVeltra::SerialPort1RingEvent(TObject*) {
  ErrorMemoLog.Add(logic::LogHeader(kPort1Prefixes.ErrMsg, logic::LocalNow()) +
                   logic::kRingEventText);
}

void TVeltra::SerialPort2RingEvent(TObject*) {
  ErrorMemoLog.Add(logic::LogHeader(kPort2Prefixes.ErrMsg, logic::LocalNow()) +
                   logic::kRingEventText);
}

std::size_t TVeltra::ErrorPaneMaxLines() const {
  // MaxErrors bounds the pane at every insert, port event lines included; a limit
  // below 1 keeps the newest line.
  if (MaxErrorEdit == nullptr) return 1;
  const Integer maxErrors = logic::MaxErrorsFromText(MaxErrorEdit->text().toStdString());
  return static_cast<std::size_t>(std::max<Integer>(maxErrors, 1));
}

void TVeltra::ReportError(const TPortPrefixes& Own, Cardinal Place, Cardinal Code,
                          const std::string& Msg) {
  if (!CBRecordErrors->isChecked()) return;
  ErrorMemoLog.Add(logic::LogHeader(Own.ErrMsg, logic::LocalNow()) +
                   logic::ErrorReportText(Code, Place, Msg));
}

namespace {
// The port's report that a write could not be started: no completion will follow.
constexpr Cardinal kWriteFailedPlace = 903;
}  // namespace

void TVeltra::SerialPort1ProcessError(TObject*, Cardinal Place, Cardinal Code,
                                      const std::string& Msg, Byte) {
  if (Place == kWriteFailedPlace) ForwardToPort1.WriteFailed();
  ReportError(kPort1Prefixes, Place, Code, Msg);
}

void TVeltra::SerialPort2ProcessError(TObject*, Cardinal Place, Cardinal Code,
                                      const std::string& Msg, Byte) {
  if (Place == kWriteFailedPlace) ForwardToPort2.WriteFailed();
  ReportError(kPort2Prefixes, Place, Code, Msg);
}

// --- buttons ---------------------------------------------------------------------------

void TVeltra::JvHTButton2Click() {
  FlushPanes();
  if (ErrorMemo->isHidden()) {
    ErrorMemo->show();
    Memo1->hide();
    JvHTButton2->setText("Transmission");
  } else {
    Memo1->show();
    ErrorMemo->hide();
    JvHTButton2->setText("Log");
  }
}

void TVeltra::Button1Click() {
  ReceivedByteCount = 0;
  Bytes->setText("0");
}

void TVeltra::Button2Click() {
  if (!ErrorMemo->isHidden())
    ErrorMemoLog.Clear();
  else
    Memo1Log.Clear();
}

namespace {

// In pieces: the traffic pane's history may hold gigabytes of text.
void WriteLogFile(const QString& path, TPaneLog& pane) {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || !pane.WriteLines(file))
    throw std::runtime_error("Cannot create file \"" + path.toStdString() + "\". " +
                             file.errorString().toStdString());
}

// The traffic log goes beside the error log, "txt" in place of its last three
// characters. A name that ends so already would be the error log's own: the traffic
// log then gets "-traffic" before the extension, so one log never overwrites the other.
QString TrafficLogPath(const QString& errorLogPath) {
  const QString path = errorLogPath.left(std::max<qsizetype>(0, errorLogPath.size() - 3)) + "txt";
  if (path.compare(errorLogPath, Qt::CaseInsensitive) != 0) return path;
  const QFileInfo errorLog(errorLogPath);
  return errorLog.path() + "/" + errorLog.completeBaseName() + "-traffic.txt";
}

}  // namespace

void TVeltra::JvHTButton5Click() {
  if (!SaveTo.Execute(this)) {
    ShowMessage(this, "Please enter first a valid Filename");
    return;
  }
  WriteLogFile(SaveTo.FileName, ErrorMemoLog);
  WriteLogFile(TrafficLogPath(SaveTo.FileName), Memo1Log);
  ShowMessage(this, "Log-Files where safed");
}

}  // namespace veltra::app
