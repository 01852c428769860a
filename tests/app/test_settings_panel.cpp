// The "Settings" page: filled from the ports, applied by "Start", the event
// character check, and Load/Save Settings through a private settings store.
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include "platform/settings_store.h"
#include "platform/virtual_ports.h"
#include "window_test_support.h"

using veltra::app::TBoxKind;
using veltra::app::TScopedRecordingDialogs;
using veltra::app::TSerialPort;
using veltra::app::TVeltra;
using veltra::test::Click;
using veltra::test::SelectPort;
using veltra::test::SelectText;

namespace {

const QString kInvalidInput =
    QStringLiteral("Input allowed single Char or 0..255. Leave empty to hold previous Value.");

}  // namespace

class TestSettingsPanel : public QObject {
  Q_OBJECT

  QTemporaryDir config_;

 private slots:
  void initTestCase() {
    QVERIFY(config_.isValid());
    qputenv("XDG_CONFIG_HOME", config_.path().toLocal8Bit());
  }

  void fillFromComponent() {
    TVeltra window;
    TSerialPort& port = *window.SerialPort1;
    port.SetBaudRate(115200);  // not listed: "9600"
    port.SetDataBits(7);
    port.SetStopBits(2);
    port.SetParityType(3);
    port.SetFlowControl(0x0380);
    port.SetErrorNoise(3);
    port.SetXONChar('A');
    port.SetEventChar(255);
    window.CBPortChange();
    QCOMPARE(window.CBBaud->currentText(), QString("9600"));
    QCOMPARE(window.CBData->currentText(), QString("7 Bit"));
    QCOMPARE(window.CBStop->currentText(), QString("2 "));
    QCOMPARE(window.CBParity->currentText(), QString("Mark"));
    QCOMPARE(window.CBFlow->currentText(), QString("XOn-XOff"));
    QCOMPARE(window.CBReport->currentText(), QString("Debuginfo"));
    QCOMPARE(window.XOnCharEdit->text(), QString("A"));
    QCOMPARE(window.EventCharEdit->text(), QString("0xFF"));
    port.SetFlowControl(0x0004);  // not a listed combination
    port.SetErrorNoise(5);
    window.CBPortChange();
    QCOMPARE(window.CBFlow->currentText(), QString("None"));
    QCOMPARE(window.CBReport->currentText(), QString("Everything"));
    // The next "Start" writes what the panel shows.
    Click(window.BStart);
    QCOMPARE(port.BaudRate(), 9600u);
    QCOMPARE(port.FlowControl(), 0);
    QCOMPARE(int(port.ErrorNoise()), 4);
  }

  // Each port list shows its own port's values; the shared controls follow the list.
  void portListChangeRefills() {
    TVeltra window;
    window.SerialPort2->SetXONChar('B');
    window.SerialPort2->SetBaudRate(1200);
    window.CBPort1Exit();
    QCOMPARE(window.XOnCharEdit->text(), QString("B"));
    QCOMPARE(window.CBBaud1->currentText(), QString("1200"));
    QCOMPARE(window.CBBaud->currentText(), QString("9600"));
    SelectText(window.CBBaud, "57600");
    const int picked = window.CBPort->count() - 1;
    window.CBPort->setCurrentIndex(picked);
    emit window.CBPort->activated(picked);
    QCOMPARE(window.CBBaud->currentText(), QString("9600"));
    QCOMPARE(window.XOnCharEdit->text(), QString("0x11"));
    QCOMPARE(window.CBPort->currentIndex(), picked);
    QCOMPARE(window.SerialPort1->CommPort(), std::string("COM1"));  // only "Start" sets it
  }

  void startAppliesBothPorts() {
    TVeltra window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    SelectPort(window.CBPort, "VIRT_P1");
    SelectText(window.CBBaud, "57600");
    SelectText(window.CBData, "7 Bit");
    SelectText(window.CBStop, "2 ");
    SelectText(window.CBParity, "Even");
    SelectText(window.CBFlow, "RTS-CTS");
    SelectPort(window.CBPort1, "VIRT_P2");
    SelectText(window.CBBaud1, "1200");
    SelectText(window.CBData1, "5 Bit");
    SelectText(window.CBStop1, "1,5 ");
    SelectText(window.CBParity1, "Space");
    SelectText(window.CBFlow1, "DSR-DTR");
    window.CBXTOAuto->setChecked(false);
    window.WTOCharDelayEdit->setText("2000");
    window.RTOCharDelayEdit->setText("$10");
    window.WTOExtraDelayEdit->setText("300");
    window.RTOExtraDelayEdit->setText("100");
    window.XOnCharEdit->setText("A");
    window.XOffCharEdit->setText("0x14");
    window.XOnLimitEdit->setText("40");
    window.XOffLimitEdit->setText("50");
    window.CBParityErrorReplacement->setChecked(true);
    window.ParityErrorCharEdit->setText("?");
    window.EventCharEdit->setText("13");
    window.CBStripNullChars->setChecked(true);
    SelectText(window.CBReport, "Errors");
    Click(window.BStart);

    const TSerialPort& p1 = *window.SerialPort1;
    const TSerialPort& p2 = *window.SerialPort2;
    QCOMPARE(p1.CommPort(), std::string("VIRT_P1"));
    QCOMPARE(p1.BaudRate(), 57600u);
    QCOMPARE(int(p1.DataBits()), 7);
    QCOMPARE(int(p1.StopBits()), 2);
    QCOMPARE(int(p1.ParityType()), 2);
    QCOMPARE(p1.FlowControl(), 0x2004);
    QCOMPARE(p2.CommPort(), std::string("VIRT_P2"));
    QCOMPARE(p2.BaudRate(), 1200u);
    QCOMPARE(int(p2.DataBits()), 5);
    QCOMPARE(int(p2.StopBits()), 1);
    QCOMPARE(int(p2.ParityType()), 4);
    QCOMPARE(p2.FlowControl(), 0x0028);
    for (const TSerialPort* port : {&p1, &p2}) {
      QVERIFY(!port->XTOAuto());
      QCOMPARE(port->WTOCharDelayTime(), 2000u);
      QCOMPARE(port->RTOCharDelayTime(), 16u);
      QCOMPARE(int(port->WTOExtraDelayTime()), 300);
      QCOMPARE(int(port->RTOExtraDelayTime()), 100);
      QCOMPARE(int(port->XONChar()), 'A');
      QCOMPARE(int(port->XOFFChar()), 0x14);
      QCOMPARE(int(port->XONLimDiv()), 40);
      QCOMPARE(int(port->XOFFLimDiv()), 50);
      QVERIFY(port->ParityErrorReplacement());
      QCOMPARE(int(port->ParityErrorChar()), '?');
      QCOMPARE(int(port->EventChar()), 13);
      QVERIFY(port->StripNullChars());
      QCOMPARE(int(port->ErrorNoise()), 1);
    }
    QVERIFY(!p1.Active());
    QCOMPARE(window.Mess->text(), QString("Idle"));
  }

  // A bad value stops "Start" there: earlier values stay, later ones and the
  // button changes do not happen, and the error box shows the message.
  void startStopsAtBadValue() {
    TScopedRecordingDialogs dialogs;
    TVeltra window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    SelectPort(window.CBPort, "VIRT_P1");
    SelectPort(window.CBPort1, "VIRT_P2");
    window.XOnCharEdit->setText("B");
    window.XOnLimitEdit->setText("4O");
    window.EventCharEdit->setText("Z");
    Click(window.BStart);
    QCOMPARE(dialogs.Recorder.Boxes.size(), std::size_t{1});
    QCOMPARE(dialogs.Recorder.Boxes[0].Kind, TBoxKind::Error);
    QCOMPARE(dialogs.Recorder.Boxes[0].Text, QString("'4O' is not a valid integer value"));
    QCOMPARE(int(window.SerialPort1->XONChar()), 'B');
    QCOMPARE(int(window.SerialPort1->EventChar()), 0);
    QCOMPARE(window.SerialPort2->CommPort(), std::string("COM1"));
    QVERIFY(!window.BOpen->isEnabled());
    QVERIFY(!window.JvHTButton4->isEnabled());
    QVERIFY(window.isVisible());

    window.XOnLimitEdit->setText("40");
    window.ParityErrorCharEdit->setText("300");
    Click(window.BStart);
    QCOMPARE(dialogs.Recorder.Boxes.size(), std::size_t{2});
    QCOMPARE(dialogs.Recorder.Boxes[1].Text,
             QString("300 is not within the valid range of 0..255"));
    // Numbers wider than the receiving property are refused, not cut to their low bits.
    window.ParityErrorCharEdit->setText("0x00");
    window.CBXTOAuto->setChecked(false);
    window.WTOExtraDelayEdit->setText("70000");
    Click(window.BStart);
    QCOMPARE(dialogs.Recorder.Boxes.size(), std::size_t{3});
    QCOMPARE(dialogs.Recorder.Boxes[2].Text,
             QString("70000 is not within the valid range of 0..65535"));
  }

  void defaultTimingIgnoresTimingEdits() {
    TScopedRecordingDialogs dialogs;
    TVeltra window;
    SelectPort(window.CBPort, "VIRT_P1");
    SelectPort(window.CBPort1, "VIRT_P2");
    window.WTOCharDelayEdit->setText("fast");
    window.RTOExtraDelayEdit->setText("");
    window.BStartClick();
    QVERIFY(window.SerialPort2->XTOAuto());
    QCOMPARE(window.SerialPort2->CommPort(), std::string("VIRT_P2"));
    QVERIFY(window.BOpen->isEnabled());
  }

  void startWithoutSelection() {
    TScopedRecordingDialogs dialogs;
    TVeltra window;
    window.CBPort->setCurrentIndex(-1);
    SelectPort(window.CBPort1, "VIRT_P2");
    SelectText(window.CBBaud, "1200");
    window.BStartClick();
    QCOMPARE(window.SerialPort1->BaudRate(), 9600u);  // nothing applied to Port 1
    QCOMPARE(window.SerialPort2->CommPort(), std::string("VIRT_P2"));
    QCOMPARE(dialogs.Recorder.Boxes.size(), std::size_t{1});
    QVERIFY(dialogs.Recorder.Boxes[0].Text.contains("No port selected for Port 1"));
    QVERIFY(window.BOpen->isEnabled());
  }

  void eventCharCheck_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("complains");
    QTest::newRow("bad hex") << "0x1G" << true;
    QTest::newRow("out of range") << "999" << true;
    QTest::newRow("empty") << "" << true;
    QTest::newRow("letter") << "Q" << false;
    QTest::newRow("code") << "0x0D" << false;
    QTest::newRow("decimal") << "255" << false;
  }
  void eventCharCheck() {
    QFETCH(QString, text);
    QFETCH(bool, complains);
    TScopedRecordingDialogs dialogs;
    TVeltra window;
    window.EventCharEdit->setText(text);
    window.EventCharEditExit();
    QCOMPARE(dialogs.Recorder.Boxes.size(), std::size_t(complains ? 1 : 0));
    if (complains) {
      QCOMPARE(dialogs.Recorder.Boxes[0].Caption, QString("Invalid Input"));
      QCOMPARE(dialogs.Recorder.Boxes[0].Text, kInvalidInput);
    }
    QCOMPARE(window.EventCharEdit->text(), text);  // never corrected
    QCOMPARE(int(window.SerialPort1->EventChar()), 0);
  }

  // Leaving the edit for another control runs the check; the real box shows.
  void eventCharCheckRealBox() {
    TVeltra window;
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    window.EventCharEdit->setFocus();
    QTRY_VERIFY(window.EventCharEdit->hasFocus());
    window.EventCharEdit->setText("0x1G");
    QString caption, text;
    QTimer::singleShot(50, &window, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box) return;
      caption = box->windowTitle();
      text = box->text();
      box->accept();
    });
    window.MaxErrorEdit->setFocus();
    QTRY_COMPARE(caption, QString("Invalid Input"));
    QCOMPARE(text, kInvalidInput);
  }

  void saveAndLoad() {
    TVeltra window;
    SelectPort(window.CBPort, veltra::platform::kLoopbackPortName);
    SelectText(window.CBBaud, "57600");
    SelectPort(window.CBPort1, "VIRT_P2");
    SelectText(window.CBParity1, "Odd");
    window.XOnCharEdit->setText("0x11");
    window.XOffCharEdit->setText("0x13");
    window.EventCharEdit->setText("0x00");
    window.ParityErrorCharEdit->setText("#");
    window.BStartClick();
    QVERIFY(window.JvHTButton4->isEnabled());
    window.JvHTButton4Click();
    const std::string file = veltra::platform::SettingsLocation("Software\\Orvane\\Veltra");
    QVERIFY(QString::fromStdString(file).startsWith(config_.path()));
    QVERIFY(QFile::exists(QString::fromStdString(file)));

    // Change everything, then load the saved state back into components and panel.
    SelectText(window.CBBaud, "1200");
    SelectText(window.CBParity1, "None");
    window.XOnCharEdit->setText("x");
    window.XOffCharEdit->setText("y");
    window.EventCharEdit->setText("z");
    window.ParityErrorCharEdit->setText("0x01");
    window.BStartClick();
    QCOMPARE(int(window.SerialPort1->EventChar()), 'z');
    window.JvHTButton3Click();
    QCOMPARE(window.SerialPort1->BaudRate(), 57600u);
    QCOMPARE(int(window.SerialPort1->XONChar()), 17);
    QCOMPARE(int(window.SerialPort1->XOFFChar()), 19);
    QCOMPARE(int(window.SerialPort1->EventChar()), 0);
    QCOMPARE(int(window.SerialPort2->ParityType()), 1);
    QCOMPARE(window.CBBaud->currentText(), QString("57600"));
    QCOMPARE(window.CBParity1->currentText(), QString("Odd"));
    QCOMPARE(window.XOnCharEdit->text(), QString("0x11"));
    QCOMPARE(window.XOffCharEdit->text(), QString("0x13"));
    QCOMPARE(window.EventCharEdit->text(), QString("0x00"));
    QCOMPARE(window.ParityErrorCharEdit->text(), QString("#"));
    QCOMPARE(window.CBPort->currentText(), QString(veltra::platform::kLoopbackPortName));
    QVERIFY(!window.SerialPort1->Active());

    // A stored baud rate that is not a number loads as 9600.
    {
      auto key = veltra::platform::OpenCurrentUserKey("Software\\Orvane\\Veltra");
      QVERIFY(key);
      QVERIFY(key->WriteString("ComTest1", "BaudRate", "abc"));
      QVERIFY(key->Commit());
    }
    window.JvHTButton3Click();
    QCOMPARE(window.SerialPort1->BaudRate(), 9600u);
    QCOMPARE(window.CBBaud->currentText(), QString("9600"));
    // Ports listed before stay listed; the loaded name is selected.
    QVERIFY(window.CBPort1->findText("VIRT_P2") >= 0);
    QCOMPARE(window.CBPort1->currentText(), QString("VIRT_P2"));
  }
};

VELTRA_QT_TEST_MAIN(TestSettingsPanel)
#include "test_settings_panel.moc"
