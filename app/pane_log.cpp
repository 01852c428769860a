#include "app/pane_log.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <algorithm>
#include <climits>
#include <cstring>

#include "app/logic/line_history.h"
#include "app/logic/log_record.h"
#include "session/hex_dump.h"
#include "session/log_lines.h"

namespace veltra::app {

namespace {

// The pane's lines: a last empty line, where the caret waits, is not one.
int Lines(const QTextDocument* doc) {
  return doc->blockCount() - (doc->lastBlock().length() == 1 ? 1 : 0);
}

int AsInt(std::size_t n) {
  return static_cast<int>(std::min<std::size_t>(n, INT_MAX / 2));
}

// A pane line into the history: Latin-1 when it is, else UTF-8, so what the operator
// typed comes back as typed.
void ToHistory(logic::TLineHistory& history, const QString& text, std::string& latin1) {
  latin1.resize(static_cast<std::size_t>(text.size()));
  const QChar* c = text.constData();
  for (qsizetype i = 0; i < text.size(); ++i) {
    if (c[i].unicode() > 0xFF) {
      const QByteArray utf8 = text.toUtf8();
      history.PushUtf8(std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size())));
      return;
    }
    latin1[static_cast<std::size_t>(i)] = static_cast<char>(c[i].unicode());
  }
  history.Push(latin1);
}

// Pieces of a file this big go out at once.
constexpr qsizetype kWriteBytes = 1 << 20;

}  // namespace

TPaneLog::TPaneLog(QPlainTextEdit*& pane, std::function<std::size_t()> maxLines,
                   logic::TLineHistory* history)
    : pane_(pane), maxLines_(std::move(maxLines)), history_(history) {
  timer_.setSingleShot(true);
  QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] { FlushSlice(); });
}

std::size_t TPaneLog::MaxLines() const {
  // The document counts in int.
  const std::size_t window = std::clamp<std::size_t>(maxLines_(), 1, INT_MAX / 2);
  // Scrolled up, the operator may be reading back: the pane keeps more of what it shows.
  if (history_ != nullptr && !follow_)
    return std::max(window, std::min<std::size_t>(readBackMaxLines_, INT_MAX / 2));
  return window;
}

void TPaneLog::SetReadBack(std::size_t maxLines, std::size_t blockLines) {
  readBackMaxLines_ = maxLines;
  readBackBlockLines_ = std::max<std::size_t>(blockLines, 1);
}

void TPaneLog::Add(std::string_view entry) {
  const std::size_t from = pending_.size();
  Added(from, session::AppendEntryLines(entry, pending_));
}

void TPaneLog::AddDump(std::string_view block) {
  const std::size_t from = pending_.size();
  session::AppendDumpLines(block, pending_);
  Added(from, (pending_.size() - from) / (session::kDumpLineLength + 1));
}

void TPaneLog::Added(std::size_t from, std::size_t lines) {
  if (record_ != nullptr) record_->Append(std::string_view(pending_).substr(from));
  pendingLines_ += lines;
  // The window was held up: drop the surplus now, so the waiting text stays bounded.
  // With a history, the flush moves the pane into it a slice at a time; only when far
  // behind does it go at once.
  if (pendingLines_ > (history_ == nullptr ? 2 : 8) * MaxLines()) SkipSurplus(true);
  Schedule();
}

void TPaneLog::Schedule() {
  if (!timer_.isActive()) timer_.start(kFlushDelayMs);
}

void TPaneLog::Flush() {
  timer_.stop();
  if (record_ != nullptr) record_->Flush();
  // In batches: one insert of everything waiting would need its whole text twice over.
  while (start_ < pending_.size() && pane_ != nullptr) InsertPending(kLinesPerInsert);
}

void TPaneLog::FlushSlice() {
  if (record_ != nullptr) record_->Flush();
  QElapsedTimer clock;
  clock.start();
  while (start_ < pending_.size() && pane_ != nullptr && clock.elapsed() < kSliceMs)
    InsertPending(kLinesPerInsert);
  // The rest follows after the event loop has served the ports' waiting events.
  if (start_ < pending_.size() && pane_ != nullptr) timer_.start(0);
}

void TPaneLog::InsertPending(std::size_t maxLines) {
  if (start_ >= pending_.size() || pane_ == nullptr) return;
  if (!SkipSurplus(false)) return;
  std::size_t end = pending_.size();
  std::size_t lines = pendingLines_;
  if (lines > maxLines) {
    end = start_;
    for (std::size_t n = 0; n < maxLines; ++n)
      end = pending_.find('\n', end) + 1;  // every entry ends with a line end
    lines = maxLines;
  }
  Insert(QString::fromLatin1(pending_.data() + start_, static_cast<qsizetype>(end - start_)),
         static_cast<int>(lines));
  start_ = end;
  pendingLines_ -= lines;
  if (start_ == pending_.size()) {
    pending_.clear();
    start_ = 0;
  } else if (start_ > (std::size_t{1} << 20) && start_ > pending_.size() / 2) {
    pending_.erase(0, start_);
    start_ = 0;
  }
}

bool TPaneLog::SkipSurplus(bool wholePane) {
  const std::size_t limit = MaxLines();
  if (pendingLines_ <= limit) return true;
  // All the pane holds is older than what is skipped, and would go with the next
  // insert: it goes first rather than show a gap in the middle. Into the history a
  // slice at a time, so the ports' events are served meanwhile.
  if (pane_ != nullptr && history_ != nullptr) {
    const int held = Lines(pane_->document());
    RemoveOldest(wholePane ? held : std::min(held, kHistorySlice));
    if (!wholePane && held > kHistorySlice) return false;
  }
  PendingToHistory(pendingLines_ - limit);
  linesSkipped_ += pendingLines_ - limit;
  pendingLines_ = limit;
  if (pane_ != nullptr && history_ == nullptr) pane_->clear();
  return true;
}

void TPaneLog::PendingToHistory(std::size_t lines) {
  for (; lines > 0; --lines) {
    const auto* at = static_cast<const char*>(
        std::memchr(pending_.data() + start_, '\n', pending_.size() - start_));
    const auto end = static_cast<std::size_t>(at - pending_.data());
    if (history_ != nullptr) history_->Push(std::string_view(pending_).substr(start_, end - start_));
    start_ = end + 1;
  }
}

void TPaneLog::Insert(QString text, int lines) {
  QTextDocument* doc = pane_->document();
  // An undo record of every insert and trim would grow without bound. Clearing the
  // pane turns undo back on, so this is checked each time.
  if (doc->isUndoRedoEnabled()) doc->setUndoRedoEnabled(false);
  WatchScrolling();
  const TScroll scroll = SaveScroll();
  // Room first, so the pane never holds more than its limit, not even for a moment.
  const int removed = MakeRoom(lines);
  const TCaret caret = SaveCaret();
  // After a line the operator typed without a line end, entries start a new line and
  // the pane keeps no trailing empty line, as a memo control does.
  if (caret.TypedLastLine) {
    text.chop(1);
    text.prepend(QLatin1Char('\n'));
  }
  // Inside an edit block a cursor lays out no block as it moves (see MakeRoom).
  QTextCursor cursor(doc);
  cursor.beginEditBlock();
  cursor.setPosition(doc->characterCount() - 1);
  cursor.insertText(text);
  cursor.endEditBlock();
  linesTaken_ += static_cast<std::uint64_t>(lines);
  RestoreCaret(caret);
  RestoreScroll(scroll, removed);
}

TPaneLog::TCaret TPaneLog::SaveCaret() const {
  const QTextDocument* doc = pane_->document();
  const QTextCursor caret = pane_->textCursor();
  return {caret.position(), caret.anchor(), doc->characterCount() - 1,
          doc->lastBlock().length() > 1};
}

void TPaneLog::WatchScrolling() {
  QScrollBar* vertical = pane_->verticalScrollBar();
  if (vertical == watched_) return;
  watched_ = vertical;
  follow_ = vertical->value() >= vertical->maximum();
  // The timer is the context: the connections end with this object.
  QObject::connect(vertical, &QScrollBar::valueChanged, &timer_, [this, vertical](int value) {
    follow_ = value >= vertical->maximum();
    ScrolledTo(value);
  });
  QObject::connect(vertical, &QScrollBar::rangeChanged, &timer_, [this, vertical](int, int most) {
    if (follow_) vertical->setValue(most);
  });
}

TPaneLog::TScroll TPaneLog::SaveScroll() const {
  return {follow_, pane_->verticalScrollBar()->value(), pane_->horizontalScrollBar()->value()};
}

void TPaneLog::RestoreCaret(const TCaret& caret) {
  // The document moves a caret at the end along with text inserted there. That is
  // right for a caret waiting on the empty last line: it stays on the line where the
  // operator types. Anywhere else it must stay where the operator left it.
  const bool touchesEnd = caret.Position == caret.End || caret.Anchor == caret.End;
  const bool waitsOnEmptyLine =
      caret.Position == caret.End && caret.Anchor == caret.End && !caret.TypedLastLine;
  if (!touchesEnd || waitsOnEmptyLine) return;
  QTextCursor restored = pane_->textCursor();
  restored.setPosition(caret.Anchor);
  restored.setPosition(caret.Position, QTextCursor::KeepAnchor);
  pane_->setTextCursor(restored);
}

void TPaneLog::RestoreScroll(const TScroll& scroll, int removedLines) {
  // Scrolled up, the operator keeps seeing the same lines while older ones go.
  QScrollBar* vertical = pane_->verticalScrollBar();
  vertical->setValue(scroll.Follow ? vertical->maximum() : std::max(0, scroll.Top - removedLines));
  pane_->horizontalScrollBar()->setValue(scroll.Left);
}

int TPaneLog::MakeRoom(int incoming) {
  const int lines = Lines(pane_->document());
  const int excess = std::min(lines, lines + incoming - static_cast<int>(MaxLines()));
  if (excess <= 0) return 0;
  RemoveOldest(excess);
  return excess;
}

void TPaneLog::RemoveOldest(int lines) {
  if (lines <= 0) return;
  QTextDocument* doc = pane_->document();
  if (history_ != nullptr) {
    std::string latin1;
    QTextBlock block = doc->begin();
    for (int i = 0; i < lines && block.isValid(); ++i, block = block.next())
      ToHistory(*history_, block.text(), latin1);
  }
  // One jump inside an edit block, where a cursor lays out no block. A block-by-block
  // move lays out every block it passes, which makes Qt's own limit (maximumBlockCount)
  // several times slower than inserting. And once the widest line has gone, laying out
  // a block the layout still takes for the widest makes it measure every block, with a
  // text layout kept for each: a second's stall and about 330 bytes a line.
  QTextCursor cursor(doc);
  cursor.beginEditBlock();
  const QTextBlock first = doc->findBlockByNumber(lines);
  cursor.setPosition(first.isValid() ? first.position() : doc->characterCount() - 1,
                     QTextCursor::KeepAnchor);
  cursor.removeSelectedText();
  cursor.endEditBlock();
}

void TPaneLog::ScrolledTo(int value) {
  if (history_ == nullptr || readBackQueued_ || pane_ == nullptr) return;
  const bool atTop = value == watched_->minimum() && !follow_ && history_->Lines() > 0;
  const bool tooLong = follow_ && static_cast<std::size_t>(Lines(pane_->document())) > MaxLines();
  if (!atTop && !tooLong) return;
  // Not inside the scroll bar's own signal.
  readBackQueued_ = true;
  QTimer::singleShot(0, &timer_, [this] {
    readBackQueued_ = false;
    if (pane_ == nullptr) return;
    if (follow_)
      ShrinkToWindow();
    else
      ReadBack();
  });
}

void TPaneLog::ReadBack() {
  QScrollBar* vertical = pane_->verticalScrollBar();
  QTextDocument* doc = pane_->document();
  const int room = AsInt(readBackMaxLines_) - Lines(doc);
  if (vertical->value() != vertical->minimum() || history_->Lines() == 0 || room <= 0) return;
  QString text;
  const std::size_t lines = history_->TakeNewest(
      std::min(static_cast<std::size_t>(room), readBackBlockLines_),
      [&text](std::string_view line, bool utf8) {
        const auto size = static_cast<qsizetype>(line.size());
        text += utf8 ? QString::fromUtf8(line.data(), size) : QString::fromLatin1(line.data(), size);
        text += QLatin1Char('\n');
      });
  if (doc->isUndoRedoEnabled()) doc->setUndoRedoEnabled(false);
  const TCaret caret = SaveCaret();
  const TScroll scroll = SaveScroll();
  QTextCursor cursor(doc);
  cursor.beginEditBlock();
  cursor.insertText(text);  // at the start
  cursor.endEditBlock();
  // The operator's caret and view stay on the same text, now further down.
  const int added = doc->characterCount() - 1 - caret.End;
  QTextCursor restored = pane_->textCursor();
  restored.setPosition(caret.Anchor + added);
  restored.setPosition(caret.Position + added, QTextCursor::KeepAnchor);
  pane_->setTextCursor(restored);
  vertical->setValue(scroll.Top + static_cast<int>(lines));
  pane_->horizontalScrollBar()->setValue(scroll.Left);
}

void TPaneLog::ShrinkToWindow() {
  // In steps, so a long trim does not hold up the ports' events.
  constexpr int kStep = 20'000;
  const int excess = Lines(pane_->document()) - static_cast<int>(MaxLines());
  if (excess <= 0) return;
  const TScroll scroll = SaveScroll();
  RemoveOldest(std::min(excess, kStep));
  RestoreScroll(scroll, std::min(excess, kStep));
  if (excess > kStep) ScrolledTo(pane_->verticalScrollBar()->value());
}

int TPaneLog::LineCount() {
  Flush();
  return pane_ == nullptr ? 0 : Lines(pane_->document());
}

void TPaneLog::Clear() {
  timer_.stop();
  pending_.clear();
  start_ = 0;
  pendingLines_ = 0;
  if (history_ != nullptr) history_->Clear();
  if (pane_ != nullptr) pane_->clear();
}

template <typename Write>
void TPaneLog::HistoryLines(Write write) const {
  if (history_ == nullptr) return;
  history_->ForEach([&write](std::string_view line, bool utf8) {
    if (!utf8) return write(line);
    const QByteArray latin1 = QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size())).toLatin1();
    write(std::string_view(latin1.constData(), static_cast<std::size_t>(latin1.size())));
  });
}

bool TPaneLog::WriteLines(QIODevice& file) {
  const int lines = LineCount();
  QByteArray bytes;
  bool written = true;
  const auto add = [&](std::string_view line) {
    bytes.append(line.data(), static_cast<qsizetype>(line.size()));
    bytes += "\r\n";
    if (bytes.size() < kWriteBytes) return;
    written = written && file.write(bytes) == bytes.size();
    bytes.clear();
  };
  HistoryLines(add);
  QTextBlock block = pane_ == nullptr ? QTextBlock() : pane_->document()->begin();
  for (int i = 0; i < lines; ++i, block = block.next()) {
    // Block text keeps 0xA0 as it is; the document's plain text would make it a blank.
    const QByteArray latin1 = block.text().toLatin1();
    add(std::string_view(latin1.constData(), static_cast<std::size_t>(latin1.size())));
  }
  return written && file.write(bytes) == bytes.size();
}

QByteArray TPaneLog::LinesWithCrLf() {
  QBuffer buffer;
  buffer.open(QIODevice::WriteOnly);
  WriteLines(buffer);
  return buffer.data();
}

QByteArray TPaneLog::Text() {
  Flush();
  QByteArray bytes;
  HistoryLines([&bytes](std::string_view line) {
    bytes.append(line.data(), static_cast<qsizetype>(line.size()));
    bytes += "\r\n";
  });
  if (pane_ == nullptr) return bytes;
  for (QTextBlock block = pane_->document()->begin(); block.isValid(); block = block.next()) {
    if (block != pane_->document()->begin()) bytes += "\r\n";
    bytes += block.text().toLatin1();
  }
  return bytes;
}

}  // namespace veltra::app
