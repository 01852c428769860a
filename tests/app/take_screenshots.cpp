// Takes the screenshots in docs/ from the real window: the start state, spy mode
// between the simulated scanner and cash register, and the status line holding its
// longest message, and Port 1's list open on a fake machine with two USB adapters
// (docs/port_list.png: a build machine has none to show). Not a test;
// scripts/screenshot.sh runs it on a private X server.
// Usage: take_screenshots DOCS_DIR
#include <QAbstractItemView>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

#include <QScreen>

#include "platform/virtual/simulated_devices.h"
#include "tests/platform/fake_sysfs.h"
#include "window_test_support.h"

namespace {

bool Save(QWidget& window, const QDir& docs, const char* name) {
  QTest::qWait(300);  // the panes take their batches, the lamps settle
  return window.grab().save(docs.filePath(name));
}

// The open list is a window of its own: taken from the screen with the window's top.
bool SavePortList(const QDir& docs) {
  veltra::test::FakeMachine machine;
  machine.root.Tty("ttyS1", true, "4");
  for (const char* serial : {"0001", "A50285BI"})
    machine.root.UsbAdapter(serial[0] == '0' ? "ttyUSB0" : "ttyUSB1", serial,
                            std::string("usb-Silicon_Labs_CP2102_USB_to_UART_Bridge_Controller_") +
                                serial + "-if00-port0");
  veltra::app::TVeltra w;
  w.show();
  if (!QTest::qWaitForWindowExposed(&w)) return false;
  w.CBPort->showPopup();
  QTest::qWait(500);
  const QRect popup = w.CBPort->view()->window()->geometry();
  const QRect top(w.geometry().topLeft(), QSize(w.width(), popup.bottom() - w.y() + 40));
  const QRect area = top.united(popup);
  return w.screen()->grabWindow(0, area.x(), area.y(), area.width(), area.height())
      .save(docs.filePath("port_list.png"));
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
  saved = SavePortList(docs) && saved;
  return saved ? 0 : 1;
}
