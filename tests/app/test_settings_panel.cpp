// The "Settings" page: filled from the ports, applied by "Start", the event
// character check, and Load/Save Settings through a private settings store.
#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include "platform/settings/settings_store.h"
#include "platform/virtual/virtual_ports.h"
#include "tests/platform/fake_sysfs.h"
#include "window_test_support.h"

using veltra::app::Byte;
using veltra::app::TBoxKind;
using veltra::app::TScopedRecordingDialogs;
using veltra::app::TSerialPort;
using veltra::app::TVeltra;
using veltra::test::Click;
using veltra::test::Join;
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

  // The lists follow adapters coming and going; what each list shows stays, a chosen
  // device that went is marked missing, and "Start" gives CommPort its stable name.
  void portListsFollowDevices() {
    veltra::test::FakeMachine machine;
    const std::string byId = "usb-Silicon_Labs_CP2102_0001-if00-port0";
    machine.root.UsbAdapter("ttyUSB0", "0001", byId);
    TVeltra window;
    auto description = [&](QComboBox* list, const QString& name) {
      const int row = list->findText(name);
      return row < 0 ? QString("(not listed)") : list->model()->index(row, 1).data().toString();
    };
    QCOMPARE(description(window.CBPort, "ttyUSB0"),
             QString("CP2102 USB to UART Bridge Controller, Silicon Labs (10c4:ea60) serial 0001, "
                     "cp210x"));
    QVERIFY(window.CBPort->itemData(window.CBPort->findText("ttyUSB0"), Qt::ToolTipRole)
                .toString()
                .endsWith(QString::fromStdString("\n/dev/serial/by-id/" + byId)));
    SelectText(window.CBPort, "ttyUSB0");
    window.CBPort1->setEditText("/dev/pts/77");  // typed, not listed

    machine.root.UsbAdapter("ttyUSB1", "0002", "usb-second");
    QTRY_VERIFY_WITH_TIMEOUT(window.CBPort1->findText("ttyUSB1") >= 0, 5000);
    machine.root.Unplug("ttyUSB0");
    QTRY_COMPARE_WITH_TIMEOUT(description(window.CBPort, "ttyUSB0"),
                              QString("missing: not present now"), 5000);
    QCOMPARE(window.CBPort->currentText() + " " + window.CBPort1->currentText(),
             QString("ttyUSB0 /dev/pts/77"));
    QCOMPARE(window.CBPort1->findText("ttyUSB0"), -1);  // gone, and not chosen there
    SelectText(window.CBPort, "ttyUSB1");
    window.BStartClick();
    QCOMPARE(window.SerialPort1->CommPort() + " " + window.SerialPort2->CommPort(),
             std::string("/dev/serial/by-id/usb-second /dev/pts/77"));
  }

  // A port saved earlier is offered first at the next start, and shown as missing
  // rather than replaced when its device is not there.
  void savedPortShownAsMissing() {
    {
      TVeltra window;
      window.SerialPort1->SetCommPort("ttyUSB7");
      window.JvHTButton4Click();
    }
    TVeltra window;
    QCOMPARE(window.CBPort->currentText(), QString("ttyUSB7"));
    QCOMPARE(window.CBPort->model()->index(window.CBPort->currentIndex(), 1).data().toString(),
             QString("missing: not present now"));
    QFile::remove(QString::fromStdString(
        veltra::platform::SettingsLocation("Software\\Orvane\\Veltra")));  // for the next tests
  }

  // The panel shows the component's values; values it cannot show fall back, and
  // the next "Start" writes what it shows.
  void fillFromComponent() {
    TVeltra window;
    TSerialPort& port = *window.SerialPort1;
    auto shown = [&] {
      return QStringList{window.CBBaud->currentText(), window.CBData->currentText(),
                         window.CBStop->currentText(), window.CBParity->currentText(),
                         window.CBFlow->currentText(), window.CBReport->currentText(),
                         window.XOnCharEdit->text(),   window.EventCharEdit->text()};
    };
    port.SetBaudRate(115200);  // not listed
    port.SetDataBits(7);
    port.SetStopBits(2);
    port.SetParityType(3);
    port.SetFlowControl(0x0380);
    port.SetErrorNoise(3);
    port.SetXONChar('A');
    port.SetEventChar(255);
    window.CBPortChange();
    QCOMPARE(shown(),
             QStringList({"9600", "7 Bit", "2 ", "Mark", "XOn-XOff", "Debuginfo", "A", "0xFF"}));
    port.SetFlowControl(0x0004);  // not a listed combination
    for (int noise : {5, 255}) {
      port.SetErrorNoise(Byte(noise));
      window.CBPortChange();
      QCOMPARE(shown().mid(4, 2), QStringList({"None", "Everything"}));
    }
    Click(window.BStart);
    QCOMPARE(Join({port.BaudRate(), port.FlowControl(), port.ErrorNoise()}), QString("9600 0 4"));
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

  // "Start" reaches both components through their setters: each port its own lists,
  // both the shared controls.
  void startAppliesBothPorts() {
    TVeltra window;
    SelectPort(window.CBPort, "VIRT_P1");
    for (auto [list, text] : {std::pair{window.CBBaud, "57600"},
                              {window.CBData, "7 Bit"},
                              {window.CBStop, "2 "},
                              {window.CBParity, "Even"},
                              {window.CBFlow, "RTS-CTS"},
                              {window.CBBaud1, "1200"},
                              {window.CBData1, "5 Bit"},
                              {window.CBStop1, "1,5 "},
                              {window.CBParity1, "Space"},
                              {window.CBFlow1, "DSR-DTR"},
                              {window.CBReport, "Errors"}})
      SelectText(list, text);
    SelectPort(window.CBPort1, "VIRT_P2");
    window.CBXTOAuto->setChecked(false);
    window.CBParityErrorReplacement->setChecked(true);
    window.CBStripNullChars->setChecked(true);
    for (auto [edit, text] : {std::pair{window.WTOCharDelayEdit, "2000"},
                              {window.RTOCharDelayEdit, "$10"},
                              {window.WTOExtraDelayEdit, "300"},
                              {window.RTOExtraDelayEdit, "100"},
                              {window.XOnCharEdit, "A"},
                              {window.XOffCharEdit, "0x14"},
                              {window.XOnLimitEdit, "40"},
                              {window.XOffLimitEdit, "50"},
                              {window.ParityErrorCharEdit, "?"},
                              {window.EventCharEdit, "13"}})
      edit->setText(text);
    window.BStartClick();

    for (const TSerialPort* p : {window.SerialPort1, window.SerialPort2})
      QCOMPARE(Join({p->XTOAuto(), p->WTOCharDelayTime(), p->RTOCharDelayTime(),
                     p->WTOExtraDelayTime(), p->RTOExtraDelayTime(), p->XONChar(), p->XOFFChar(),
                     p->XONLimDiv(), p->XOFFLimDiv(), p->ParityErrorReplacement(),
                     p->ParityErrorChar(), p->EventChar(), p->StripNullChars(), p->ErrorNoise()}),
               QString("0 2000 16 300 100 65 20 40 50 1 63 13 1 1"));
    const TSerialPort& p1 = *window.SerialPort1;
    const TSerialPort& p2 = *window.SerialPort2;
    QCOMPARE(p1.CommPort() + " " + p2.CommPort(), std::string("VIRT_P1 VIRT_P2"));
    QCOMPARE(Join({p1.BaudRate(), p1.DataBits(), p1.StopBits(), p1.ParityType(), p1.FlowControl()}),
             QString("57600 7 2 2 8196"));
    QCOMPARE(Join({p2.BaudRate(), p2.DataBits(), p2.StopBits(), p2.ParityType(), p2.FlowControl()}),
             QString("1200 5 1 4 40"));
    QVERIFY(!window.SerialPort1->Active());
    // Neither name is a port here: applied all the same, and the status line says so.
    QCOMPARE(window.Mess->text(), QString("Port 1: No such device: /dev/VIRT_P1"));
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
    QCOMPARE(dialogs.Recorder.Boxes[0].Text,
             QString("XOn Limit (%): '4O' is not a valid integer value"));
    QCOMPARE(Join({window.SerialPort1->XONChar(), window.SerialPort1->EventChar()}),
             QString("66 0"));
    QCOMPARE(window.SerialPort2->CommPort(), std::string("COM1"));
    QVERIFY(!window.BOpen->isEnabled() && !window.JvHTButton4->isEnabled());
    QVERIFY(window.XOnLimitEdit->hasFocus());

    // A code out of range, and a number wider than its property (not cut to its low bits).
    window.XOnLimitEdit->setText("40");
    window.ParityErrorCharEdit->setText("300");
    Click(window.BStart);
    window.ParityErrorCharEdit->setText("0x00");
    window.CBXTOAuto->setChecked(false);
    window.WTOExtraDelayEdit->setText("70000");
    Click(window.BStart);
    QCOMPARE(dialogs.Recorder.Boxes.size(), std::size_t{3});
    QCOMPARE(dialogs.Recorder.Boxes[1].Text,
             QString("Parity Error Replacement Char: 300 is not within the valid range of 0..255"));
    QCOMPARE(dialogs.Recorder.Boxes[2].Text,
             QString("Sending Extra (ms): 70000 is not within the valid range of 0..65535"));
  }

  // Letters in the timing edits do not matter with "Use default Timing" ticked; a port
  // list without selection applies nothing to that port and says so.
  void startWithDefaultTimingAndNoSelection() {
    TScopedRecordingDialogs dialogs;
    TVeltra window;
    window.CBPort->setCurrentIndex(-1);
    SelectPort(window.CBPort1, "VIRT_P2");
    SelectText(window.CBBaud, "1200");
    window.WTOCharDelayEdit->setText("fast");
    window.BStartClick();
    QCOMPARE(window.SerialPort1->BaudRate(), 9600u);
    QCOMPARE(window.SerialPort2->CommPort(), std::string("VIRT_P2"));
    QCOMPARE(dialogs.Recorder.Boxes.size(), std::size_t{1});
    QVERIFY(dialogs.Recorder.Boxes[0].Text.contains("No port selected for Port 1"));
    QVERIFY(window.BOpen->isEnabled());
  }

  // Leaving "Eventchar": a box for bad or empty text; the text is never corrected.
  void eventCharCheck() {
    TScopedRecordingDialogs dialogs;
    TVeltra window;
    const std::pair<const char*, bool> cases[] = {{"0x1G", true}, {"999", true},   {"", true},
                                                  {"Q", false},   {"0x0D", false}, {"255", false}};
    for (const auto& [text, complains] : cases) {
      dialogs.Recorder.Boxes.clear();
      window.EventCharEdit->setText(text);
      window.EventCharEditExit();
      QCOMPARE(dialogs.Recorder.Boxes.size(), std::size_t(complains ? 1 : 0));
      if (complains) {
        QCOMPARE(dialogs.Recorder.Boxes[0].Caption, QString("Invalid Input"));
        QCOMPARE(dialogs.Recorder.Boxes[0].Text, kInvalidInput);
      }
      QCOMPARE(window.EventCharEdit->text(), QString(text));
    }
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

  // Saved, changed, loaded back: components and panel as saved, #0, #17 and #19 too.
  void saveAndLoad() {
    TVeltra window;
    SelectPort(window.CBPort, veltra::platform::kLoopbackPortName);
    SelectText(window.CBBaud, "57600");
    SelectPort(window.CBPort1, "VIRT_P2");
    SelectText(window.CBParity1, "Odd");
    window.ParityErrorCharEdit->setText("#");
    window.BStartClick();
    window.JvHTButton4Click();
    const auto file =
        QString::fromStdString(veltra::platform::SettingsLocation("Software\\Orvane\\Veltra"));
    QVERIFY(file.startsWith(config_.path()) && QFile::exists(file));

    SelectText(window.CBBaud, "1200");
    SelectText(window.CBParity1, "None");
    for (QLineEdit* edit : {window.XOnCharEdit, window.XOffCharEdit, window.EventCharEdit,
                            window.ParityErrorCharEdit})
      edit->setText("z");
    window.BStartClick();
    window.JvHTButton3Click();
    const TSerialPort& p1 = *window.SerialPort1;
    QCOMPARE(Join({p1.BaudRate(), p1.XONChar(), p1.XOFFChar(), p1.EventChar(), p1.ParityErrorChar(),
                   window.SerialPort2->ParityType()}),
             QString("57600 17 19 0 35 1"));
    QStringList panel = {window.CBPort->currentText(), window.CBBaud->currentText(),
                         window.CBPort1->currentText(), window.CBParity1->currentText()};
    for (QLineEdit* edit : {window.XOnCharEdit, window.XOffCharEdit, window.EventCharEdit,
                            window.ParityErrorCharEdit})
      panel << edit->text();
    QCOMPARE(panel,
             QStringList({"LOOPBACK", "57600", "VIRT_P2", "Odd", "0x11", "0x13", "0x00", "#"}));
    QVERIFY(!p1.Active());

    // A stored baud rate that is not a number loads as 9600.
    {
      auto key = veltra::platform::OpenCurrentUserKey("Software\\Orvane\\Veltra");
      QVERIFY(key && key->WriteString("ComTest1", "BaudRate", "abc") && key->Commit());
    }
    window.JvHTButton3Click();
    QCOMPARE(p1.BaudRate(), 9600u);
    QCOMPARE(window.CBBaud->currentText(), QString("9600"));
  }
};

VELTRA_QT_TEST_MAIN(TestSettingsPanel)
#include "test_settings_panel.moc"
