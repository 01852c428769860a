// Takes the screenshots in docs/ from the real window: the start state, spy mode
// between the simulated scanner and cash register, and the status line holding its
// longest message, and Port 1's list open on a fake machine with two USB adapters
// (docs/port_list.png: a build machine has none to show), and decoded lines in spy
// mode (docs/decode.png). Not a test;
// scripts/screenshot.sh runs it on a private X server.
// Usage: take_screenshots DOCS_DIR
#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBlock>
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

// Spy mode between the simulated cash register (Port 1) and scanner (Port 2), each
// decoded, after the ER-650 report test: docs/decode.png.
bool SaveDecoded(const QDir& docs) {
  veltra::app::TVeltra w;
  w.resize(w.width(), 1000);  // the pane tall enough for the request, the report and a label
  w.show();
  if (!QTest::qWaitForWindowExposed(&w)) return false;
  veltra::test::SelectPort(w.CBPort, QString::fromLatin1(veltra::platform::kCashRegisterPortName));
  veltra::test::SelectPort(w.CBPort1, QString::fromLatin1(veltra::platform::kScannerPortName));
  veltra::test::SelectText(w.CBDecode1, QStringLiteral("cash register"));
  veltra::test::SelectText(w.CBDecode2, QStringLiteral("scanner"));
  w.CBDecode->setChecked(true);
  w.CBBlockTime->setChecked(true);
  w.BStart->click();
  w.Spy->click();
  w.Button3Click();  // "ER-650 Report Test"
  const auto shows = [&](const char* text) {
    return w.Memo1->toPlainText().contains(QString::fromLatin1(text));
  };
  (void)QTest::qWaitFor([&] { return shows("TOTAL 1234.56\", check") && shows(">> EAN-13"); },
                        10000);
  // The report test's request at the top of the view, which then stays there.
  w.FlushPanes();
  const QTextBlock request = w.Memo1->document()->find(QStringLiteral("P1:Snd")).block();
  w.Memo1->verticalScrollBar()->setValue(request.blockNumber());
  const bool saved = Save(w, docs, "decode.png");
  w.BInit->click();
  return saved;
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

  w.resize(w.width(), 860);  // a pane of traffic, not a strip
  w.BStart->click();
  w.Spy->click();
  (void)QTest::qWaitFor([&] { return w.Memo1->blockCount() > 30; }, 20000);
  saved = Save(w, docs, "screenshot.png") && saved;

  w.BInit->click();
  w.Mess->setText(QStringLiteral("Cash-Drawer-Signal not sent"));  // the longest message
  saved = Save(w, docs, "status_line.png") && saved;
  saved = SavePortList(docs) && saved;
  saved = SaveDecoded(docs) && saved;
  return saved ? 0 : 1;
}
