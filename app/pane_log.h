// A log pane fed in batches: handlers add entries as events come, and the pane takes
// them in one insert per flush, so a busy port cannot starve the event loop with one
// insert and repaint per line. The text is Latin-1: each byte one character, so bytes
// 0x80-0xFF go back to the same byte when the pane is saved or sent.
#pragma once

#include <QByteArray>
#include <QTimer>

#include <string>
#include <string_view>

class QPlainTextEdit;

namespace veltra::app {

class TPaneLog {
 public:
  // `pane` is the window's pointer to the pane, which may be created after this.
  explicit TPaneLog(QPlainTextEdit*& pane);
  TPaneLog(const TPaneLog&) = delete;
  TPaneLog& operator=(const TPaneLog&) = delete;

  // Adds one entry as a new line; a line break inside it (CR LF, LF or CR) continues
  // on a new pane line.
  void Add(std::string_view entry);
  // Adds the dump lines of a received block.
  void AddDump(std::string_view block);

  // Moves the waiting entries into the pane.
  void Flush();
  // The pane's lines (a last empty line, where the caret waits, is not one).
  int LineCount();
  void DeleteFirstLines(int count);
  void Clear();
  // Each line followed by CR LF.
  QByteArray LinesWithCrLf();
  // The whole text, lines separated by CR LF.
  QByteArray Text();

  // Longest time an entry waits before the pane starts taking it.
  static constexpr int kFlushDelayMs = 30;
  // The pane takes lines for at most this long per event-loop turn, so the ports'
  // events are served in time even when data comes faster than the pane can take it.
  static constexpr int kSliceMs = 4;
  static constexpr std::size_t kLinesPerInsert = 500;

 private:
  void Schedule();
  void FlushSlice();
  // Inserts up to maxLines waiting lines (npos: all).
  void InsertPending(std::size_t maxLines);
  void Insert(QString text);

  QPlainTextEdit*& pane_;
  std::string pending_;    // Latin-1, each entry ended by '\n'
  std::size_t start_ = 0;  // pending_ before this has reached the pane
  QTimer timer_;
  bool undoOff_ = false;
};

}  // namespace veltra::app
