#include "app/pane_log.h"

#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <algorithm>
#include <climits>
#include <cstring>

#include "app/logic/hex_dump.h"
#include "app/logic/log_lines.h"
#include "app/logic/log_record.h"

namespace veltra::app {

namespace {

// The pane's lines: a last empty line, where the caret waits, is not one.
int Lines(const QTextDocument* doc) {
  return doc->blockCount() - (doc->lastBlock().length() == 1 ? 1 : 0);
}

}  // namespace

TPaneLog::TPaneLog(QPlainTextEdit*& pane, std::function<std::size_t()> maxLines)
    : pane_(pane), maxLines_(std::move(maxLines)) {
  timer_.setSingleShot(true);
  QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] { FlushSlice(); });
}

std::size_t TPaneLog::MaxLines() const {
  // The document counts in int.
  return std::clamp<std::size_t>(maxLines_(), 1, INT_MAX / 2);
}

void TPaneLog::Add(std::string_view entry) {
  const std::size_t from = pending_.size();
  Added(from, logic::AppendEntryLines(entry, pending_));
}

void TPaneLog::AddDump(std::string_view block) {
  const std::size_t from = pending_.size();
  logic::AppendDumpLines(block, pending_);
  Added(from, (pending_.size() - from) / (logic::kDumpLineLength + 1));
}

void TPaneLog::Added(std::size_t from, std::size_t lines) {
  if (record_ != nullptr) record_->Append(std::string_view(pending_).substr(from));
  pendingLines_ += lines;
  // The window was held up: drop the surplus now, so the waiting text stays bounded.
  if (pendingLines_ > 2 * MaxLines()) SkipSurplus();
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
  SkipSurplus();
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

void TPaneLog::SkipSurplus() {
  const std::size_t limit = MaxLines();
  if (pendingLines_ <= limit) return;
  for (std::size_t n = pendingLines_ - limit; n > 0; --n) {
    const auto* at = static_cast<const char*>(
        std::memchr(pending_.data() + start_, '\n', pending_.size() - start_));
    start_ = static_cast<std::size_t>(at - pending_.data()) + 1;
  }
  linesSkipped_ += pendingLines_ - limit;
  pendingLines_ = limit;
  // All the pane holds is older than what is skipped, and would go with the next
  // insert: it starts afresh now rather than show a gap in the middle.
  if (pane_ != nullptr) pane_->clear();
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
  QObject::connect(vertical, &QScrollBar::valueChanged, &timer_,
                   [this, vertical](int value) { follow_ = value >= vertical->maximum(); });
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
  QTextDocument* doc = pane_->document();
  const int lines = Lines(doc);
  const int excess = std::min(lines, lines + incoming - static_cast<int>(MaxLines()));
  if (excess <= 0) return 0;
  // One jump inside an edit block, where a cursor lays out no block. A block-by-block
  // move lays out every block it passes, which makes Qt's own limit (maximumBlockCount)
  // several times slower than inserting. And once the widest line has gone, laying out
  // a block the layout still takes for the widest makes it measure every block, with a
  // text layout kept for each: a second's stall and about 330 bytes a line.
  QTextCursor cursor(doc);
  cursor.beginEditBlock();
  const QTextBlock first = doc->findBlockByNumber(excess);
  cursor.setPosition(first.isValid() ? first.position() : doc->characterCount() - 1,
                     QTextCursor::KeepAnchor);
  cursor.removeSelectedText();
  cursor.endEditBlock();
  return excess;
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

}  // namespace veltra::app
