// Received blocks, port events, the two panes and their buttons.
#include <QCheckBox>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <algorithm>
#include <stdexcept>

#include "app/logic/hex_dump.h"
#include "app/logic/integer_text.h"
#include "app/logic/log_lines.h"
#include "app/veltra.h"

namespace veltra::app {

using logic::kPort1Prefixes;
using logic::kPort2Prefixes;
using logic::TPortPrefixes;

// --- TPaneLog --------------------------------------------------------------------------

TPaneLog::TPaneLog(QPlainTextEdit*& pane) : pane_(pane) {
  timer_.setSingleShot(true);
  QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] { FlushSlice(); });
}

void TPaneLog::Add(std::string_view entry) {
  pending_.reserve(pending_.size() + entry.size() + 1);
  for (std::size_t i = 0; i < entry.size(); ++i) {
    const char c = entry[i];
    if (c == '\r') {
      if (i + 1 < entry.size() && entry[i + 1] == '\n') ++i;
      pending_.push_back('\n');
    } else {
      pending_.push_back(c);
    }
  }
  pending_.push_back('\n');
  Schedule();
}

void TPaneLog::AddDump(std::string_view block) {
  logic::AppendDumpLines(block, pending_);
  Schedule();
}

void TPaneLog::Schedule() {
  if (!timer_.isActive()) timer_.start(kFlushDelayMs);
}

void TPaneLog::Flush() {
  timer_.stop();
  InsertPending(std::string::npos);
}

void TPaneLog::FlushSlice() {
  QElapsedTimer clock;
  clock.start();
  while (start_ < pending_.size() && clock.elapsed() < kSliceMs) InsertPending(kLinesPerInsert);
  // The rest follows after the event loop has served the ports' waiting events.
  if (start_ < pending_.size()) timer_.start(0);
}

void TPaneLog::InsertPending(std::size_t maxLines) {
  if (start_ >= pending_.size() || pane_ == nullptr) return;
  std::size_t end = pending_.size();
  if (maxLines != std::string::npos) {
    end = start_;
    for (std::size_t n = 0; n < maxLines && end < pending_.size(); ++n)
      end = pending_.find('\n', end) + 1;  // every entry ends with a line end
  }
  Insert(QString::fromLatin1(pending_.data() + start_, static_cast<qsizetype>(end - start_)));
  start_ = end;
  if (start_ == pending_.size()) {
    pending_.clear();
    start_ = 0;
  } else if (start_ > (std::size_t{1} << 20) && start_ > pending_.size() / 2) {
    pending_.erase(0, start_);
    start_ = 0;
  }
}

void TPaneLog::Insert(QString text) {
  QTextDocument* doc = pane_->document();
  if (!undoOff_) {
    // The pane grows without bound; an undo record of every insert would double it.
    doc->setUndoRedoEnabled(false);
    undoOff_ = true;
  }
  // After a line the operator typed without a line end, entries start a new line and
  // the pane keeps no trailing empty line, as a memo control does.
  if (doc->lastBlock().length() > 1) {
    text.chop(1);
    text.prepend(QLatin1Char('\n'));
  }
  QTextCursor cursor(doc);
  cursor.movePosition(QTextCursor::End);
  cursor.insertText(text);
  pane_->setTextCursor(cursor);
  pane_->verticalScrollBar()->setValue(pane_->verticalScrollBar()->maximum());
}

int TPaneLog::LineCount() {
  Flush();
  if (pane_ == nullptr) return 0;
  const QTextDocument* doc = pane_->document();
  return doc->blockCount() - (doc->lastBlock().length() == 1 ? 1 : 0);
}

void TPaneLog::DeleteFirstLines(int count) {
  if (count <= 0) return;
  const int lines = LineCount();
  if (count >= lines) {
    Clear();
    return;
  }
  QTextCursor cursor(pane_->document());
  cursor.movePosition(QTextCursor::Start);
  cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, count);
  cursor.removeSelectedText();
}

void TPaneLog::Clear() {
  timer_.stop();
  pending_.clear();
  start_ = 0;
  if (pane_ != nullptr) pane_->clear();
}

QByteArray TPaneLog::LinesWithCrLf() {
  const int lines = LineCount();
  QByteArray bytes;
  if (pane_ == nullptr) return bytes;
  QTextBlock block = pane_->document()->begin();
  for (int i = 0; i < lines; ++i, block = block.next()) {
    // Block text keeps 0xA0 as it is; the document's plain text would make it a blank.
    bytes += block.text().toLatin1();
    bytes += "\r\n";
  }
  return bytes;
}

QByteArray TPaneLog::Text() {
  Flush();
  QByteArray bytes;
  if (pane_ == nullptr) return bytes;
  for (QTextBlock block = pane_->document()->begin(); block.isValid(); block = block.next()) {
    if (block != pane_->document()->begin()) bytes += "\r\n";
    bytes += block.text().toLatin1();
  }
  return bytes;
}

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

void TVeltra::ReportError(const TPortPrefixes& Own, Cardinal Place, Cardinal Code,
                          const std::string& Msg) {
  if (!CBRecordErrors->isChecked()) return;
  const Integer maxErrors = logic::MaxErrorsFromText(MaxErrorEdit->text().toStdString());
  const auto lines = static_cast<std::size_t>(ErrorMemoLog.LineCount());
  ErrorMemoLog.DeleteFirstLines(static_cast<int>(logic::LinesToTrim(lines, maxErrors)));
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

void WriteLogFile(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
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
  WriteLogFile(SaveTo.FileName, ErrorMemoLog.LinesWithCrLf());
  WriteLogFile(TrafficLogPath(SaveTo.FileName), Memo1Log.LinesWithCrLf());
  ShowMessage(this, "Log-Files where safed");
}

}  // namespace veltra::app
