// The LCD-style labels of the bottom strip (Mess, Bytes): red bold text on black. A
// status line is read at a glance, so it always shows its whole text: a text wider
// than the label is drawn in a smaller face instead of being cut.
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

  // The face the current text is drawn in at the current width.
  QFont FittedFont() const;
  // Where the text goes: inside the border and padding.
  QRect TextRect() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  int hintChars_;
};

}  // namespace veltra::app
