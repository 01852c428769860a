// Shared by the window's Qt tests: the application object the program uses (so
// errors escaping handlers reach the error box) and small helpers.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QTemporaryDir>
#include <QtTest>

#include "app/app_errors.h"
#include "app/veltra.h"

// Like QTEST_MAIN, with the application's own QApplication subclass, and a private
// settings folder: the window reads the ports saved last when it starts.
#define VELTRA_QT_TEST_MAIN(TestObject)                              \
  int main(int argc, char** argv) {                                  \
    veltra::app::TVeltraApplication app(argc, argv);                 \
    QApplication::setApplicationName(QStringLiteral("Veltra"));      \
    QTemporaryDir settings;                                          \
    qputenv("XDG_CONFIG_HOME", settings.path().toLocal8Bit());       \
    TestObject test;                                                 \
    QTEST_SET_MAIN_SOURCE_PATH                                       \
    return QTest::qExec(&test, argc, argv);                          \
  }

namespace veltra::test {

// Clicks like a user, so an exception goes through the application's notify().
inline void Click(QAbstractButton* button) {
  QVERIFY2(button->isEnabled(), qPrintable(button->objectName() + " is disabled"));
  QTest::mouseClick(button, Qt::LeftButton);
}

// Puts a port name into a port list (tests use virtual ports, which are not listed)
// and selects it.
inline void SelectPort(QComboBox* list, const QString& name) {
  if (list->findText(name) < 0) list->addItem(name);
  list->setCurrentIndex(list->findText(name));
}

// Numbers as one line of text, for comparisons whose failures read well.
inline QString Join(std::initializer_list<long long> values) {
  QStringList texts;
  for (long long value : values) texts << QString::number(value);
  return texts.join(' ');
}

inline void SelectText(QComboBox* list, const QString& text) {
  const int index = list->findText(text);
  QVERIFY2(index >= 0, qPrintable(text + " not in " + list->objectName()));
  list->setCurrentIndex(index);
}

}  // namespace veltra::test
