// Small builders for the window's widgets.
#include "app/widgets.h"

#include <QApplication>
#include <QFontDatabase>
#include <QPainter>
#include <QSvgRenderer>

#include "app/lcd_label.h"

namespace veltra::app {

namespace {

// Bold red on black, in "LcdD" where it is installed, else the fixed-pitch font.
QFont LcdFont(int pointSize) {
  QFont font = QFontDatabase::families().contains(QStringLiteral("LcdD"))
                   ? QFont(QStringLiteral("LcdD"))
                   : QFontDatabase::systemFont(QFontDatabase::FixedFont);
  font.setPointSize(pointSize);
  font.setBold(true);
  return font;
}

}  // namespace

QPixmap RenderSvg(const QString& path, QSize size) {
  const qreal ratio = qApp->devicePixelRatio();
  QSvgRenderer renderer(path);
  QPixmap pixmap(size * ratio);
  pixmap.setDevicePixelRatio(ratio);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(size)));
  return pixmap;
}

QLabel* LcdLabel(const QString& name, const QString& caption, int pointSize, int hintChars,
                 QWidget* parent) {
  auto* label = new TLcdLabel(caption, hintChars, parent);
  label->setObjectName(name);
  label->setFont(LcdFont(pointSize));
  return label;
}

QFont PaneFont() {
  QFont font(QStringLiteral("Courier"));
  font.setStyleHint(QFont::TypeWriter);
  font.setFixedPitch(true);
  font.setBold(true);
  font.setPointSize(9);
  return font;
}

QPushButton* Button(const char* name, const QString& caption, bool enabled, QWidget* parent) {
  auto* button = Named(new QPushButton(caption, parent), name);
  button->setEnabled(enabled);
  return button;
}

QComboBox* DropDown(const char* name, const QStringList& items, QWidget* parent) {
  auto* list = Named(new QComboBox(parent), name);
  list->addItems(items);
  list->setCurrentIndex(-1);
  return list;
}

QCheckBox* Check(const char* name, const QString& caption, bool checked, QWidget* parent) {
  auto* box = Named(new QCheckBox(caption, parent), name);
  box->setChecked(checked);
  return box;
}

QLineEdit* Edit(const char* name, const QString& text, QWidget* parent, int chars) {
  auto* edit = Named(new QLineEdit(text, parent), name);
  edit->setFixedWidth(edit->fontMetrics().horizontalAdvance(QLatin1Char('0')) * chars + 12);
  return edit;
}

QLabel* Heading(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  QFont font = label->font();
  font.setBold(true);
  label->setFont(font);
  return label;
}

}  // namespace veltra::app
