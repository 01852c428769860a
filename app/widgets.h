// Small builders for the window's widgets: each is named for the tests and the
// settings, and drawn the way the rest of the window is.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QString>
#include <QStringList>

namespace veltra::app {

// The lamps' pictures and the cells they sit in, in pixels.
constexpr int kLampSize = 16;

template <typename T>
T* Named(T* widget, const char* name) {
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}

QPushButton* Button(const char* name, const QString& caption, bool enabled, QWidget* parent);
// An empty choice until the settings fill it.
QComboBox* DropDown(const char* name, const QStringList& items, QWidget* parent);
QCheckBox* Check(const char* name, const QString& caption, bool checked, QWidget* parent);
// Wide enough for `chars` digits in the face the desktop gives it.
QLineEdit* Edit(const char* name, const QString& text, QWidget* parent, int chars);
QLabel* Heading(const QString& text, QWidget* parent);
// Drawn at the screens' pixel ratio, so the artwork stays sharp on scaled displays.
QPixmap RenderSvg(const QString& path, QSize size);
// Bold red on black, in "LcdD" where it is installed, else the fixed-pitch font.
QLabel* LcdLabel(const QString& name, const QString& caption, int pointSize, int hintChars,
                 QWidget* parent);
// The traffic pane's font: bold "Courier", or the nearest fixed-pitch font.
QFont PaneFont();

}  // namespace veltra::app
