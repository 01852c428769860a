#include "app/lcd_label.h"

#include <QPainter>

#include <algorithm>

namespace veltra::app {

namespace {

constexpr int kBorder = 1;
constexpr int kPadX = 4, kPadY = 1;
// Below this the text would be unreadable; it is still drawn whole.
constexpr qreal kSmallestPixelSize = 6;

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
  qreal size = std::max(kSmallestPixelSize, QFontInfo(face).pixelSize() * qreal(room) / wanted);
  face.setPixelSize(static_cast<int>(size));
  while (face.pixelSize() > kSmallestPixelSize &&
         QFontMetrics(face).horizontalAdvance(text()) > room)
    face.setPixelSize(face.pixelSize() - 1);
  return face;
}

void TLcdLabel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), Qt::black);
  painter.setPen(kFrame);
  painter.drawRect(rect().adjusted(0, 0, -1, -1));
  painter.setFont(FittedFont());
  painter.setPen(kText);
  painter.drawText(TextRect(), static_cast<int>(alignment()), text());
}

}  // namespace veltra::app
