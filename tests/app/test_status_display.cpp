// Lamps, hold states and queue bars driven by a real line at the far end.
#include <QCheckBox>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>
#include <QtTest>

#include "far_device.h"
#include "session/hold_states.h"

using veltra::app::TVeltra;
using veltra::session::kLampBrightGreen;
using veltra::session::kLampBrightRed;
using veltra::session::kLampDarkGreen;
using veltra::session::kLampEmpty;
using veltra::test::NewPair;
using veltra::test::PaneLines;
using veltra::test::TFarDevice;
namespace win = veltra::win;

class TestStatusDisplay : public QObject {
  Q_OBJECT

 private slots:
  void lampsShowNoPictureUntilOpenedThenNeutralOrLineState() {
    TVeltra w;
    QCOMPARE(TVeltra::LampImage(w.CTSImage), -1);
    w.ResetLamps();
    QCOMPARE(TVeltra::LampImage(w.CTSImage), kLampEmpty);
    QCOMPARE(TVeltra::LampImage(w.TxDImage), kLampDarkGreen);
    QCOMPARE(TVeltra::LampImage(w.XOnSendImage), kLampBrightGreen);
  }

  void refreshShowsPort1LinesAndTheOutputBoxes() {
    TVeltra w;
    const auto [mine, theirs] = NewPair();
    TFarDevice far(theirs);
    far.Escape(win::SETRTS);  // CTS on at our end
    far.Escape(win::SETDTR);  // DSR on; DCD forced off below
    veltra::platform::ControlVirtualEnd(mine)->ForceDcd(false);
    w.SerialPort1->SetCommPort(mine);
    w.BOpenClick();
    QVERIFY(w.SerialPort1->Active());
    QTRY_VERIFY(w.SerialPort1->CTSState() && w.SerialPort1->DSRState() &&
                !w.SerialPort1->RLSDState());
    w.RefreshLamps();
    QCOMPARE(TVeltra::LampImage(w.CTSImage), kLampBrightRed);
    QCOMPARE(TVeltra::LampImage(w.DSRImage), kLampBrightRed);
    QCOMPARE(TVeltra::LampImage(w.DCDImage), kLampBrightGreen);
    QCOMPARE(TVeltra::LampImage(w.RIImage), kLampBrightGreen);
    QCOMPARE(TVeltra::LampImage(w.RxDImage), kLampDarkGreen);
    QCOMPARE(TVeltra::LampImage(w.TxDImage), kLampDarkGreen);
    QCOMPARE(TVeltra::LampImage(w.DTRImage), kLampBrightRed);

    w.CBDTR->setChecked(false);
    w.SerialPort1->SetBREAKState(true);
    w.RefreshLamps();
    QCOMPARE(TVeltra::LampImage(w.DTRImage), kLampBrightGreen);
    QCOMPARE(TVeltra::LampImage(w.TxDImage), kLampBrightRed);
    QVERIFY(w.CBBreakState->isChecked());
  }

  void holdsGiveOneCombinedReportRedLampsAndTheQueueBar() {
    TVeltra w;
    const auto [mine, theirs] = NewPair();
    TFarDevice far(theirs);
    far.Escape(win::CLRRTS);  // CTS off: transmission waits
    w.SerialPort1->SetCommPort(mine);
    w.SerialPort1->SetFlowControl(
        static_cast<veltra::engine::Integer>(win::DCB_fOutxCtsFlow | win::DCB_fOutX));
    w.SerialPort1->SetWTOExtraDelayTime(5000);  // the held write must not time out here
    w.BOpenClick();
    QVERIFY(w.SerialPort1->Active());
    QCOMPARE(w.ProgressTxDQueue->maximum(), 4096);
    far.Write("\x13");  // XOFF
    QTRY_VERIFY(HasFlag(w.SerialPort1->CommStateFlags(), veltra::engine::TComStateFlag::fXoffHold));
    w.SerialPort1->SendString("held back");

    const std::string cts =
        "Code 0 at 0 Text: Transmission is waiting for the CTS (clear-to-send) signal to be sent.";
    const std::string xoff = "Transmission is waiting because the XOFF character was received.";
    // One entry holds both sentences, CTS first, each on its own line.
    auto combinedEntry = [&]() -> std::ptrdiff_t {
      const auto lines = PaneLines(w, w.ErrorMemo);
      for (std::size_t i = 0; i + 2 < lines.size(); ++i)
        if (lines[i].rfind("P1:Msg  ", 0) == 0 && lines[i].size() > 27 &&
            lines[i].substr(27) == cts && lines[i + 1] == xoff)
          return static_cast<std::ptrdiff_t>(i);
      return -1;
    };
    QTRY_VERIFY_WITH_TIMEOUT(combinedEntry() >= 0, 5000);
    const auto lines = PaneLines(w, w.ErrorMemo);
    const auto at = static_cast<std::size_t>(combinedEntry());
    QCOMPARE(lines[at + 2], std::string());
    QCOMPARE(TVeltra::LampImage(w.CTSHoldImage), kLampBrightRed);
    QCOMPARE(TVeltra::LampImage(w.XOffHoldImage), kLampBrightRed);
    QCOMPARE(TVeltra::LampImage(w.DSRHoldImage), kLampBrightGreen);
    QCOMPARE(TVeltra::LampImage(w.RLSHoldImage), kLampBrightGreen);
    QTRY_COMPARE(w.ProgressTxDQueue->value(), 9);
  }

  void queueCountBeyondTheRangeShowsAFullBar() {
    TVeltra w;
    const auto [mine, theirs] = NewPair();
    TFarDevice far(theirs);
    far.Escape(win::CLRRTS);
    w.SerialPort1->SetCommPort(mine);
    w.SerialPort1->SetFlowControl(static_cast<veltra::engine::Integer>(win::DCB_fOutxCtsFlow));
    w.SerialPort1->SetWTOExtraDelayTime(5000);
    w.SerialPort1->SetActive(true);  // spy-style open: the bars keep 0..100
    w.SerialPort1->SendString(std::string(300, 'x'));
    QTRY_COMPARE(w.ProgressTxDQueue->value(), 100);
  }

  void rxdAfterglowGoesDarkOnTheSecondTickAfterTheLastCharacter() {
    TVeltra w;
    w.Timer1->stop();  // ticks are driven by hand
    w.ResetLamps();
    w.SerialPort1RxCharEvent(nullptr);
    QCOMPARE(TVeltra::LampImage(w.RxDImage), kLampBrightGreen);
    w.Timer1Timer();
    QCOMPARE(TVeltra::LampImage(w.RxDImage), kLampBrightGreen);
    w.SerialPort1RxCharEvent(nullptr);  // a character between the ticks
    w.Timer1Timer();
    QCOMPARE(TVeltra::LampImage(w.RxDImage), kLampBrightGreen);
    w.Timer1Timer();
    QCOMPARE(TVeltra::LampImage(w.RxDImage), kLampDarkGreen);
    QVERIFY(!w.FRxActivity && !w.FRxAfterglow);
    w.Timer1Timer();  // no characters: nothing changes
    QCOMPARE(TVeltra::LampImage(w.RxDImage), kLampDarkGreen);
  }

  void rxdAfterglowWithTheRunningTimer() {
    TVeltra w;
    w.ResetLamps();
    w.SerialPort1RxCharEvent(nullptr);
    QTRY_COMPARE_WITH_TIMEOUT(TVeltra::LampImage(w.RxDImage), int{kLampDarkGreen}, 2000);
  }

  void txdLampLitBySendingAndIdleWhenTheQueueEmpties() {
    TVeltra w;
    const auto [mine, theirs] = NewPair();
    TFarDevice far(theirs);
    w.SerialPort1->SetCommPort(mine);
    w.BOpenClick();
    w.PendingText = "x";
    w.SendToPort1();
    QCOMPARE(TVeltra::LampImage(w.TxDImage), kLampBrightGreen);
    w.SerialPort1TxQueueEmptyEvent(nullptr);
    QCOMPARE(TVeltra::LampImage(w.TxDImage), kLampDarkGreen);
  }
};

QTEST_MAIN(TestStatusDisplay)
#include "test_status_display.moc"
