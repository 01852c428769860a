// Takes the screenshots in docs/ from the real window: the start state, spy mode
// between the simulated scanner and cash register, and the status line holding its
// longest message. Not a test; scripts/screenshot.sh runs it on a private X server.
// Usage: take_screenshots DOCS_DIR
#include <QDir>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

#include "platform/simulated_devices.h"
#include "window_test_support.h"

namespace {

bool Save(QWidget& window, const QDir& docs, const char* name) {
  QTest::qWait(300);  // the panes take their batches, the lamps settle
  return window.grab().save(docs.filePath(name));
}

}  // namespace

int main(int argc, char** argv) {
  veltra::app::TVeltraApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Veltra"));
  QApplication::setStyle(QStringLiteral("Fusion"));
  const QDir docs(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs"));
  veltra::platform::SetScanInterval(std::chrono::milliseconds(700));
  veltra::app::TVeltra w;
  w.show();
  if (!QTest::qWaitForWindowExposed(&w)) return 1;
  bool saved = Save(w, docs, "start.png");

  w.BStart->click();
  w.Spy->click();
  (void)QTest::qWaitFor([&] { return w.Memo1->blockCount() > 12; }, 10000);
  saved = Save(w, docs, "screenshot.png") && saved;

  w.BInit->click();
  w.Mess->setText(QStringLiteral("Cash-Drawer-Signal not sent"));  // the longest message
  saved = Save(w, docs, "status_line.png") && saved;
  return saved ? 0 : 1;
}
