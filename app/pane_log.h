// A log pane fed in batches: handlers add entries as events come, and the pane takes
// them in one insert per flush, so a busy port cannot starve the event loop with one
// insert and repaint per line. The text is Latin-1: each byte one character, so bytes
// 0x80-0xFF go back to the same byte when the pane is saved or sent.
//
// The pane keeps at most MaxLines lines. The oldest go as new ones come: into the
// pane's history when it has one (the traffic pane: a long day in a fraction of the
// pane's memory per line), else they are dropped. Scrolled to the top, the operator
// reads back into the history a block at a time; the pane then grows up to a second
// bound and goes back to MaxLines once the view is at the bottom again. The pane is
// also where the operator types: new entries never move the operator's caret or
// selection, and the view follows them only while it is scrolled to the bottom.
#pragma once

#include <QByteArray>
#include <QTimer>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

class QIODevice;
class QPlainTextEdit;
class QScrollBar;

namespace veltra::logic {
class TLineHistory;
class TLogRecord;
}

namespace veltra::app {

class TPaneLog {
 public:
  // `pane` is the window's pointer to the pane, which may be created after this.
  // Without a history, lines beyond MaxLines are dropped.
  explicit TPaneLog(QPlainTextEdit*& pane,
                    std::function<std::size_t()> maxLines = [] { return kDefaultMaxLines; },
                    logic::TLineHistory* history = nullptr);
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
  // Empties the pane and its history.
  void Clear();
  // Writes every line, the history's first, each followed by CR LF; false when a
  // write failed.
  bool WriteLines(QIODevice& file);
  // The same in memory.
  QByteArray LinesWithCrLf();
  // The whole text, the history's lines first, lines separated by CR LF.
  QByteArray Text();

  // The most lines the pane keeps, asked at every insert; at least the newest line
  // stays.
  void SetMaxLines(std::function<std::size_t()> maxLines) { maxLines_ = std::move(maxLines); }
  std::size_t MaxLines() const;
  // Brings the history's newest block of lines back above the pane's first line, as
  // scrolling to the top does; the view stays on the same text. Returns the lines.
  std::size_t ReadBackOlder();
  // Reading back, the pane grows up to `maxLines`, `blockLines` at a time.
  void SetReadBack(std::size_t maxLines, std::size_t blockLines);
  const logic::TLineHistory* History() const { return history_; }
  // Every entry added from now on also goes to `record` (null: none).
  void SetRecord(logic::TLogRecord* record) { record_ = record; }

  // Lines the pane has taken, and lines that never reached it because more waited at
  // once than it keeps.
  std::uint64_t LinesTaken() const { return linesTaken_; }
  std::uint64_t LinesSkipped() const { return linesSkipped_; }

  // The traffic pane's window: about 40 MB of the pane's memory, and fast to trim.
  static constexpr std::size_t kDefaultMaxLines = 150'000;
  // Reading back: at most about 110 MB, a block of a few milliseconds at a time.
  static constexpr std::size_t kReadBackMaxLines = 400'000;
  static constexpr std::size_t kReadBackBlockLines = 5'000;
  // Longest time an entry waits before the pane starts taking it.
  static constexpr int kFlushDelayMs = 30;
  // The pane takes lines for at most this long per event-loop turn, so the ports'
  // events are served in time even when data comes faster than the pane can take it.
  static constexpr int kSliceMs = 4;
  static constexpr std::size_t kLinesPerInsert = 500;
  // Lines moved from the pane into the history in one go when it falls behind.
  static constexpr int kHistorySlice = 10'000;

 private:
  // What an insert must give back to the operator.
  struct TCaret {
    int Position, Anchor, End;
    bool TypedLastLine;  // the last line holds text without a line end
  };
  struct TScroll {
    bool Follow;
    int Top, Left;
  };

  void Added(std::size_t from, std::size_t lines);
  void Schedule();
  void FlushSlice();
  // Inserts up to maxLines waiting lines.
  void InsertPending(std::size_t maxLines);
  // The oldest waiting lines beyond MaxLines go to the history, or are dropped: the
  // pane would not keep them. False while the pane is still going into the history.
  bool SkipSurplus(bool wholePane);
  void Insert(QString text, int lines);
  // Follows the operator's scrolling: the view stays at the bottom while it is there,
  // also when the pane's layout grows the range (a horizontal scroll bar appearing).
  void WatchScrolling();
  TCaret SaveCaret() const;
  TScroll SaveScroll() const;
  void RestoreCaret(const TCaret& caret);
  void RestoreScroll(const TScroll& scroll, int removedLines);
  // Removes the oldest lines, so that `incoming` more fit within MaxLines; returns how
  // many went.
  int MakeRoom(int incoming);
  // Removes the first `lines` lines of the pane, into the history if there is one.
  void RemoveOldest(int lines);
  // The waiting lines from start_ on, `lines` of them, straight into the history.
  void PendingToHistory(std::size_t lines);
  // At the top of the view: the history's newest block comes back above it.
  void ScrolledTo(int value);
  void ReadBack();
  // Back at the bottom: the pane goes back to MaxLines.
  void ShrinkToWindow();
  template <typename Write>
  void HistoryLines(Write write) const;

  QPlainTextEdit*& pane_;
  std::function<std::size_t()> maxLines_;
  logic::TLogRecord* record_ = nullptr;
  logic::TLineHistory* history_ = nullptr;
  std::size_t readBackMaxLines_ = kReadBackMaxLines;
  std::size_t readBackBlockLines_ = kReadBackBlockLines;
  bool readBackQueued_ = false;
  std::string pending_;           // Latin-1, each entry ended by '\n'
  std::size_t start_ = 0;         // pending_ before this has reached the pane
  std::size_t pendingLines_ = 0;  // lines in pending_ from start_ on
  std::uint64_t linesTaken_ = 0;
  std::uint64_t linesSkipped_ = 0;
  QTimer timer_;
  QScrollBar* watched_ = nullptr;
  bool follow_ = true;
};

}  // namespace veltra::app
