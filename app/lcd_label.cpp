#include "app/lcd_label.h"

#include <QPainter>

#include <algorithm>
#include <utility>

namespace veltra::app {

namespace {

constexpr int kBorder = 1;
constexpr int kPadX = 4, kPadY = 1;

const QColor kText(0xff, 0x2a, 0x1a);
const QColor kFrame(0x55, 0x55, 0x55);

}  // namespace

TLcdLabel::TLcdLabel(const QString& text, int hintChars, QWidget* parent)
    : QLabel(text, parent), hintChars_(hintChars) {
  setAlignment(Qt::AlignCenter);
  setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

QSize TLcdLabel::sizeHint() const {
  const QFontMetrics metrics(font());
  return {metrics.horizontalAdvance(QLatin1Char('0')) * hintChars_ + 2 * (kBorder + kPadX),
          metrics.height() + 2 * (kBorder + kPadY)};
}

QSize TLcdLabel::minimumSizeHint() const {
  const QSize hint = sizeHint();
  return {QFontMetrics(font()).horizontalAdvance(QLatin1Char('0')) * 4, hint.height()};
}

QRect TLcdLabel::TextRect() const {
  return rect().adjusted(kBorder + kPadX, kBorder + kPadY, -(kBorder + kPadX), -(kBorder + kPadY));
}

QFont TLcdLabel::FittedFont() const {
  QFont face = font();
  const int room = TextRect().width();
  const int wanted = QFontMetrics(face).horizontalAdvance(text());
  if (wanted <= room || wanted <= 0) return face;
  // Text width grows about in step with the size; one correction covers rounding.
  const int smallest = std::min(kReadablePixelSize, QFontInfo(face).pixelSize());
  qreal size = std::max<qreal>(smallest, QFontInfo(face).pixelSize() * qreal(room) / wanted);
  face.setPixelSize(static_cast<int>(size));
  while (face.pixelSize() > smallest && QFontMetrics(face).horizontalAdvance(text()) > room)
    face.setPixelSize(face.pixelSize() - 1);
  return face;
}

namespace {

// The longest word with a '/' in it: a device path or a network address.
std::pair<qsizetype, qsizetype> LongestPath(const QString& text) {
  qsizetype best = -1, bestLength = 0;
  for (qsizetype at = 0; at < text.size();) {
    qsizetype end = text.indexOf(QLatin1Char(' '), at);
    if (end < 0) end = text.size();
    if (end - at > bestLength && text.mid(at, end - at).contains(QLatin1Char('/'))) {
      best = at;
      bestLength = end - at;
    }
    at = end + 1;
  }
  return {best, bestLength};
}

}  // namespace

QString TLcdLabel::DrawnText() const {
  const QFontMetrics metrics(FittedFont());
  const int room = TextRect().width();
  const QString whole = text();
  if (metrics.horizontalAdvance(whole) <= room) return whole;
  // The path gives way first: its start says what kind of device, its end which one.
  const auto [at, length] = LongestPath(whole);
  if (at >= 0) {
    const QString before = whole.left(at), after = whole.mid(at + length);
    const int left = room - metrics.horizontalAdvance(before) - metrics.horizontalAdvance(after);
    if (left >= metrics.horizontalAdvance(QStringLiteral("/…/"))) {
      const QString path = metrics.elidedText(whole.mid(at, length), Qt::ElideMiddle, left);
      return before + path + after;
    }
  }
  return metrics.elidedText(whole, Qt::ElideMiddle, room);
}

void TLcdLabel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), Qt::black);
  painter.setPen(kFrame);
  painter.drawRect(rect().adjusted(0, 0, -1, -1));
  painter.setFont(FittedFont());
  painter.setPen(kText);
  painter.drawText(TextRect(), static_cast<int>(alignment()), DrawnText());
}

}  // namespace veltra::app
