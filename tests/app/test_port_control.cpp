// The control buttons: their transitions, Mess texts and the ports they switch.
// Ports are virtual: the built-in loopback and in-process pairs.
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>

#include "platform/virtual/simulated_devices.h"
#include "platform/virtual/virtual_ports.h"
#include "window_test_support.h"

using veltra::app::TVeltra;
using veltra::test::Click;
using veltra::test::SelectPort;

namespace {

std::vector<QPushButton*> CommandGroup(const TVeltra& w) {
  return {w.BSend, w.BAscii, w.BACK,    w.BNAK,    w.BESC,    w.BENQ, w.BETX,   w.BDLE,
          w.BSTX,  w.BEOT,   w.Button5, w.Button6, w.Button7, w.MT,   w.Button3};
}

// The enabled state of "Open Port 1", "Close Ports", "Spy-Mode on two Ports",
// "Save Settings" and the command group, as a short text for readable failures.
QString ButtonStates(const TVeltra& w) {
  auto on = [](const QPushButton* b) { return b->isEnabled() ? QStringLiteral("on") : "off"; };
  bool allOn = true, allOff = true;
  for (const QPushButton* b : CommandGroup(w)) {
    allOn = allOn && b->isEnabled();
    allOff = allOff && !b->isEnabled();
  }
  const QString group = allOn ? "on" : allOff ? "off" : "mixed";
  return QStringList{on(w.BOpen), on(w.BInit), on(w.Spy), on(w.JvHTButton4), group}.join(' ');
}

// Picks the two ports and presses "Start".
void StartOn(TVeltra& w, const char* port1, const char* port2) {
  SelectPort(w.CBPort, port1);
  SelectPort(w.CBPort1, port2);
  Click(w.BStart);
}

}  // namespace

class TestPortControl : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QVERIFY(veltra::platform::CreateVirtualPair("PC_A", "PC_B", {.instant = true}));
  }
  void cleanupTestCase() { veltra::platform::RemoveVirtualPair("PC_A"); }

  // Start, Open, Start again, Open again, Close: the state table row by row.
  void openPort1Course() {
    TVeltra w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QCOMPARE(ButtonStates(w), QString("off off off off off"));
    SelectPort(w.CBPort, veltra::platform::kLoopbackPortName);
    SelectPort(w.CBPort1, "PC_B");
    Click(w.BStart);
    QCOMPARE(ButtonStates(w), QString("on off on on off"));
    QCOMPARE(w.Mess->text(), QString("Idle"));
    QVERIFY(!w.SerialPort1->Active());

    w.SpyMode = true;
    Click(w.BOpen);
    QCOMPARE(w.Mess->text(), QString("Port opened"));
    QVERIFY(w.SerialPort1->Active());
    QVERIFY(!w.SerialPort2->Active());
    QVERIFY(!w.SpyMode);
    QCOMPARE(ButtonStates(w), QString("off on on on on"));
    QCOMPARE(w.ProgressTxDQueue->maximum(), int(w.SerialPort1->TxQueueSize()));
    QCOMPARE(w.ProgressRxDQueue->maximum(), int(w.SerialPort1->RxQueueSize()));
    QCOMPARE(w.ProgressTxDQueue->value(), 0);
    QVERIFY(!w.FRxActivity && !w.FRxAfterglow);

    // "Start" on an open port: Close Ports off again, the port stays open.
    Click(w.BStart);
    QCOMPARE(ButtonStates(w), QString("on off on on on"));
    QVERIFY(w.SerialPort1->Active());
    Click(w.BOpen);
    QCOMPARE(w.Mess->text(), QString("Port opened"));
    QCOMPARE(ButtonStates(w), QString("off on on on on"));

    Click(w.BInit);
    QCOMPARE(w.Mess->text(), QString("Ports closed"));
    QCOMPARE(ButtonStates(w), QString("on off on on off"));
    QVERIFY(!w.SerialPort1->Active());
    QVERIFY(!w.SerialPort2->Active());
    // "Send Signal" and "MT-Scale Checksum" are outside the group.
    QVERIFY(w.JvHTButton1->isEnabled());
    QVERIFY(w.Button4->isEnabled());
  }

  // A port that cannot be opened: the message says so, the buttons change anyway.
  void openMissingPort() {
    TVeltra w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    StartOn(w, "NO_SUCH_PORT", "PC_B");
    Click(w.BOpen);
    QCOMPARE(w.Mess->text(), QString("Port open failed: No such device: /dev/NO_SUCH_PORT"));
    QVERIFY(!w.SerialPort1->Active());
    QCOMPARE(ButtonStates(w), QString("off on on on on"));
    QCOMPARE(w.ProgressTxDQueue->maximum(), 100);  // ranges only set on success
  }

  // Out of the box the lists hold two different simulated devices: spy mode runs at
  // the first click and relays the scanner's labels; the device tests get answers.
  void firstClicksWorkWithoutHardware() {
    veltra::platform::SetScanInterval(std::chrono::milliseconds(0));
    TVeltra w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    Click(w.BStart);
    Click(w.Spy);
    QCOMPARE(w.Mess->text(), QString("Port2 opened"));
    QVERIFY(veltra::platform::ScanBarcode("4006381333931"));
    auto paneHas = [&](const char* text) {
      w.FlushPanes();
      return w.Memo1->toPlainText().contains(text);
    };
    // A gap on a loaded machine may cut the label into two receive blocks, each
    // relayed under its own header: the data lines after them joined give it whole.
    auto relayedToPort2 = [&] {
      w.FlushPanes();
      QString data;
      bool afterHeader = false;
      for (const QString& line : w.Memo1->toPlainText().split('\n')) {
        const bool header = line.startsWith("P1:") || line.startsWith("P2:");
        if (afterHeader && !header) data += line;
        if (header) afterHeader = line.startsWith("P2:Snd ");
      }
      return data;
    };
    QTRY_VERIFY_WITH_TIMEOUT(relayedToPort2().contains("4006381333931"), 5000);
    Click(w.BInit);
    Click(w.BOpen);
    Click(w.Button5);  // " 'Enable'": the scanner acknowledges
    QTRY_VERIFY_WITH_TIMEOUT(paneHas(" 06                      : ."), 5000);
  }

  void spyModeOverVirtualPair() {
    TVeltra w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    StartOn(w, "PC_A", "PC_B");
    Click(w.Spy);
    QCOMPARE(w.Mess->text(), QString("Port2 opened"));
    QVERIFY(w.SpyMode);
    QVERIFY(w.SerialPort1->Active());
    QVERIFY(w.SerialPort2->Active());
    // Spy mode leaves the command group and the bars as they were.
    QCOMPARE(ButtonStates(w), QString("off on off on off"));
    QCOMPARE(w.ProgressTxDQueue->maximum(), 100);

    // "Start" during spy mode, then "Open Port 1": forwarding stops, Port 2 stays open.
    Click(w.BStart);
    QCOMPARE(ButtonStates(w), QString("on off on on off"));
    Click(w.BOpen);
    QVERIFY(!w.SpyMode);
    QVERIFY(w.SerialPort2->Active());
    Click(w.BInit);
    QCOMPARE(ButtonStates(w), QString("on off on on off"));
    QVERIFY(!w.SerialPort2->Active());

    // Port 2 absent: the label ends with Port 2's result.
    SelectPort(w.CBPort1, "NO_SUCH_PORT");
    Click(w.BStart);
    Click(w.Spy);
    QCOMPARE(w.Mess->text(), QString("Port2 open failed: No such device: /dev/NO_SUCH_PORT"));
    QVERIFY(w.SerialPort1->Active());
    QCOMPARE(ButtonStates(w), QString("off on off on off"));
  }

  // A device pulled in spy mode: one port closed, lamps dark, buttons as after
  // closing; plugged in again: reopened, buttons back, relaying on.
  void deviceRemovedAndBack() {
    TVeltra w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    StartOn(w, "PC_A", veltra::platform::kLoopbackPortName);
    Click(w.Spy);
    QVERIFY(w.SerialPort1->Active() && w.SerialPort2->Active());
    veltra::platform::ControlVirtualEnd("PC_A")->Unplug();
    QTRY_COMPARE(w.Mess->text(), QString("Port1 device removed"));
    QVERIFY(!w.SerialPort1->Active());
    QCOMPARE(ButtonStates(w), QString("on on on on off"));  // Port 2 is still open
    QCOMPARE(TVeltra::LampImage(w.DTRImage), TVeltra::LampImage(w.CTSImage));
    veltra::platform::ControlVirtualEnd("PC_A")->Replug();
    QTRY_COMPARE_WITH_TIMEOUT(w.Mess->text(), QString("Port1 reopened"), 5000);
    QVERIFY(w.SerialPort1->Active() && w.SpyMode);
    QCOMPARE(ButtonStates(w), QString("off on off on off"));
  }

  void endClosesPort1AndWindow() {
    TVeltra w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    StartOn(w, "PC_A", "PC_B");
    Click(w.Spy);
    QVERIFY(w.SerialPort2->Active());
    Click(w.BEnd);
    QCOMPARE(w.Mess->text(), QString("Port closed"));
    QVERIFY(!w.SerialPort1->Active());
    QVERIFY(w.SerialPort2->Active());  // left to the component's destruction
    QVERIFY(!w.isVisible());
  }
};

VELTRA_QT_TEST_MAIN(TestPortControl)
#include "test_port_control.moc"
