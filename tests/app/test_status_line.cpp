// The status line and the artwork on a plain screen and on scaled ones: CMake runs
// this as it is, with QT_SCALE_FACTOR=1.75 and with QT_FONT_DPI=168 (large fonts).
#include <QtTest>

#include <QPlainTextEdit>
#include <QPushButton>

#include "app/lcd_label.h"
#include "window_test_support.h"

using veltra::app::TLcdLabel;
using veltra::app::TVeltra;

class TestStatusLine : public QObject {
  Q_OBJECT

 private slots:
  // At the window's first size the longest messages fit whole; only larger fonts
  // than the window was laid out for make the line draw them smaller.
  void longestMessagesShowWhole() {
    TVeltra w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    auto* mess = qobject_cast<TLcdLabel*>(w.Mess);
    QVERIFY(mess);
    const bool largeFonts = !qEnvironmentVariableIsEmpty("QT_FONT_DPI");
    for (const char* text : {"Cash-Drawer-Signal not sent", "DEL not sent + NAK not sent ",
                             "Not-on-File-Beep sent", "Port1 open failed", "ASCII-String sent"}) {
      w.Mess->setText(text);
      const QFont face = mess->FittedFont();
      QVERIFY2(QFontMetrics(face).horizontalAdvance(text) <= mess->TextRect().width(), text);
      if (!largeFonts) QCOMPARE(QFontInfo(face).pixelSize(), QFontInfo(w.Mess->font()).pixelSize());
    }
  }

  // A long device alias: the line keeps a readable face and shows the start and the end
  // of the path; the error pane has the whole text to read and copy.
  void longPathsStayReadable() {
    const QString alias = QStringLiteral(
        "/dev/serial/by-id/usb-Silicon_Labs_CP2102N_USB_to_UART_Bridge_Controller_"
        "7c2a9e4b8f1dea11b4c3e2d1a0f9e8d7-if00-port0");
    TVeltra w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    auto* mess = qobject_cast<TLcdLabel*>(w.Mess);
    veltra::test::SelectPort(w.CBPort, alias);
    veltra::test::SelectPort(w.CBPort1, "LOOPBACK");
    auto readable = [&](const QString& lead) {
      QCOMPARE(w.Mess->text(), lead + alias);
      const QFont face = mess->FittedFont();
      QVERIFY2(QFontInfo(face).pixelSize() >= TLcdLabel::kReadablePixelSize,
               qPrintable(QString::number(QFontInfo(face).pixelSize())));
      const QString drawn = mess->DrawnText();
      QVERIFY2(QFontMetrics(face).horizontalAdvance(drawn) <= mess->TextRect().width(),
               qPrintable(drawn));
      QVERIFY2(drawn.startsWith(lead + "/dev/serial/") && drawn.endsWith("-if00-port0"),
               qPrintable(drawn));
    };
    veltra::test::Click(w.BStart);
    readable("Port 1: No such device: ");
    if (QTest::currentTestFailed()) return;
    veltra::test::Click(w.BOpen);
    readable("Port open failed: No such device: ");
    if (QTest::currentTestFailed()) return;
    // The reasons of "Start" and of the open, whole.
    w.FlushPanes();
    const QString pane = w.ErrorMemo->toPlainText();
    QVERIFY2(pane.contains(" :Code 0 at 2 Text: No such device: " + alias + ".\n"),
             qPrintable(pane));
    QCOMPARE(pane.count("Text: No such device: " + alias + ".\n"), 2);
  }

  void artworkFollowsThePixelRatio() {
    TVeltra w;
    const qreal ratio = qApp->devicePixelRatio();
    QCOMPARE(w.LedImageList[2].devicePixelRatio(), ratio);
    QCOMPARE(w.LedImageList[2].deviceIndependentSize(), QSizeF(16, 16));
    QCOMPARE(w.PortImage->pixmap().devicePixelRatio(), ratio);
  }
};

VELTRA_QT_TEST_MAIN(TestStatusLine)
#include "test_status_line.moc"
