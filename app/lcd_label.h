// The LCD-style labels of the bottom strip (Mess, Bytes): red bold text on black. A
// status line is read at a glance: a text wider than the label is drawn in a smaller
// face, down to a readable size; beyond that the middle of its longest path (or of
// the text) gives way to "…", so its start and end stay in view. text() stays whole.
#pragma once

#include <QLabel>

namespace veltra::app {

class TLcdLabel : public QLabel {
  Q_OBJECT

 public:
  // `hintChars`: how many characters the label asks the layout for.
  TLcdLabel(const QString& text, int hintChars, QWidget* parent);

  // Does not follow the text, so the strip does not move as messages change.
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

  // No face is drawn smaller than this.
  static constexpr int kReadablePixelSize = 11;

  // The face the current text is drawn in at the current width.
  QFont FittedFont() const;
  // The text as drawn: whole, or shortened to fit in FittedFont.
  QString DrawnText() const;
  // Where the text goes: inside the border and padding.
  QRect TextRect() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  int hintChars_;
};

}  // namespace veltra::app
