// The sessions' log into the two panes, the panes and their buttons.
#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include <algorithm>
#include <stdexcept>

#include "app/veltra.h"
#include "session/integer_text.h"
#include "session/traffic_log_path.h"

namespace veltra::app {

// --- the sessions' log -----------------------------------------------------------------

void TVeltra::TPaneSink::Traffic(std::string_view Entry) {
  W.Memo1Log.Add(Entry);
}

void TVeltra::TPaneSink::Dump(std::string_view Block) {
  W.Memo1Log.AddDump(Block);
}

void TVeltra::TPaneSink::Event(std::string_view Entry) {
  W.ErrorMemoLog.Add(Entry);
}

void TVeltra::TPaneSink::Report(std::string_view Entry) {
  if (W.CBRecordErrors->isChecked()) W.ErrorMemoLog.Add(Entry);
}

void TVeltra::FlushPanes() {
  Memo1Log.Flush();
  ErrorMemoLog.Flush();
}

void TVeltra::AppendHexDump(const std::string& Data) {
  Memo1Log.AddDump(Data);
}

void TVeltra::CountReceived(std::string_view Block) {
  ReceivedByteCount += static_cast<std::int64_t>(Block.size());
  Bytes->setText(QString::number(ReceivedByteCount));
}

std::size_t TVeltra::ErrorPaneMaxLines() const {
  // MaxErrors bounds the pane at every insert, port event lines included; a limit
  // below 1 keeps the newest line.
  if (MaxErrorEdit == nullptr) return 1;
  const Integer maxErrors = session::MaxErrorsFromText(MaxErrorEdit->text().toStdString());
  return static_cast<std::size_t>(std::max<Integer>(maxErrors, 1));
}

void TVeltra::SerialPort1RxClusterEvent(TObject*) {
  Session1->RxCluster();
}

void TVeltra::SerialPort2RxClusterEvent(TObject*) {
  Session2->RxCluster();
}

void TVeltra::SerialPort1RxEventCharEvent(TObject*) {
  Session1->RxEventChar();
}

void TVeltra::SerialPort2RxEventCharEvent(TObject*) {
  Session2->RxEventChar();
}

void TVeltra::SerialPort1CommEvent(TObject*) {
  Session1->CommEvent();
}

void TVeltra::SerialPort2CommEvent(TObject*) {
  Session2->CommEvent();
}

void TVeltra::SerialPort1RingEvent(TObject*) {
  Session1->Ring();
}

void TVeltra::SerialPort2RingEvent(TObject*) {
  Session2->Ring();
}

void TVeltra::SerialPort1ProcessError(TObject*, Cardinal Place, Cardinal Code,
                                      const std::string& Msg, Byte Noise) {
  Session1->ProcessError(Place, Code, Msg, Noise);
}

void TVeltra::SerialPort2ProcessError(TObject*, Cardinal Place, Cardinal Code,
                                      const std::string& Msg, Byte Noise) {
  Session2->ProcessError(Place, Code, Msg, Noise);
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

}  // namespace

void TVeltra::JvHTButton5Click() {
  if (!SaveTo.Execute(this)) {
    ShowMessage(this, "Please enter first a valid Filename");
    return;
  }
  WriteLogFile(SaveTo.FileName, ErrorMemoLog);
  WriteLogFile(QString::fromStdString(session::TrafficLogPath(SaveTo.FileName.toStdString())),
               Memo1Log);
  ShowMessage(this, "Log-Files where safed");
}

}  // namespace veltra::app
