// The status line and the artwork on a plain screen and on scaled ones: CMake runs
// this as it is, with QT_SCALE_FACTOR=1.75 and with QT_FONT_DPI=168 (large fonts).
#include <QtTest>

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
    for (const char* text : {"Cash-Drawer-Signal not sent", "DEL sent + NAK not sent ",
                             "Not-on-File-Beep sent", "Port1 open failed", "ASCII-String sent"}) {
      w.Mess->setText(text);
      const QFont face = mess->FittedFont();
      QVERIFY2(QFontMetrics(face).horizontalAdvance(text) <= mess->TextRect().width(), text);
      if (!largeFonts) QCOMPARE(QFontInfo(face).pixelSize(), QFontInfo(w.Mess->font()).pixelSize());
    }
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
