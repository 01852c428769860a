// The window as the user first sees it, and its activation and close events.
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTimer>

#include "engine/comm_port_list.h"
#include "platform/virtual_ports.h"
#include "window_test_support.h"

using veltra::app::TScopedRecordingDialogs;
using veltra::app::TVeltra;

class TestWindowStart : public QObject {
  Q_OBJECT

 private slots:
  void buttonsAtStart_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<bool>("enabled");
    const std::tuple<const char*, const char*, bool> rows[] = {
        {"BStart", "Start", true},
        {"BOpen", "Open Port 1", false},
        {"BInit", "Close Ports", false},
        {"Spy", "Spy-Mode on two Ports", false},
        {"BEnd", "End", true},
        {"JvHTButton3", "Load Settings", true},
        {"JvHTButton4", "Save Settings", false},
        {"Button1", "Reset Counter", true},
        {"Button2", "Clear Display", true},
        {"JvHTButton2", "Log", true},
        {"JvHTButton5", "Save Logs", true},
        {"BSend", "Send Text", false},
        {"BAscii", "Send as ASC", false},
        {"BACK", "Send ACK", false},
        {"BNAK", "Send NAK", false},
        {"BESC", "Send ESC", false},
        {"BENQ", "Send ENQ", false},
        {"BETX", "Send ETX", false},
        {"BDLE", "Send DLE", false},
        {"BSTX", "Send STX", false},
        {"BEOT", "Send EOT", false},
        {"Button5", " 'Enable'", false},
        {"Button6", " 'Disable'", false},
        {"Button7", "'Not-On-File-Beep'", false},
        {"MT", "Test MT-Scale", false},
        {"Button4", "MT-Scale Checksum", true},
        {"Button3", "ER-650 Report Test", false},
        {"JvHTButton1", "Send Signal", true},
    };
    for (const auto& [name, caption, enabled] : rows)
      QTest::newRow(name) << QString(name) << QString(caption) << enabled;
  }
  void buttonsAtStart() {
    QFETCH(QString, name);
    QFETCH(QString, caption);
    QFETCH(bool, enabled);
    TVeltra window;
    auto* button = window.findChild<QPushButton*>(name);
    QVERIFY(button);
    QCOMPARE(button->text(), caption);
    QCOMPARE(button->isEnabled(), enabled);
  }

  void panelAtStart() {
    TVeltra window;
    auto combo = [&](const char* name) {
      return window.findChild<QComboBox*>(name)->currentText();
    };
    auto edit = [&](const char* name) { return window.findChild<QLineEdit*>(name)->text(); };
    auto ticked = [&](const char* name) { return window.findChild<QCheckBox*>(name)->isChecked(); };
    for (const char* suffix : {"", "1"}) {
      const QString s = QString::fromLatin1(suffix);
      QCOMPARE(combo(qPrintable("CBBaud" + s)), QString("9600"));
      QCOMPARE(combo(qPrintable("CBData" + s)), QString("8 Bit"));
      QCOMPARE(combo(qPrintable("CBStop" + s)), QString("1"));
      QCOMPARE(combo(qPrintable("CBParity" + s)), QString("None"));
      QCOMPARE(combo(qPrintable("CBFlow" + s)), QString("None"));
    }
    QCOMPARE(edit("WTOCharDelayEdit"), QString("1100"));
    QCOMPARE(edit("RTOCharDelayEdit"), QString("1100"));
    QCOMPARE(edit("WTOExtraDelayEdit"), QString("250"));
    QCOMPARE(edit("RTOExtraDelayEdit"), QString("250"));
    QVERIFY(ticked("CBXTOAuto"));
    QCOMPARE(edit("XOnCharEdit"), QString("0x11"));
    QCOMPARE(edit("XOffCharEdit"), QString("0x13"));
    QCOMPARE(edit("XOnLimitEdit"), QString("33"));
    QCOMPARE(edit("XOffLimitEdit"), QString("33"));
    QVERIFY(!ticked("CBParityErrorReplacement"));
    QCOMPARE(edit("ParityErrorCharEdit"), QString("0x00"));
    QCOMPARE(edit("EventCharEdit"), QString("0x00"));
    QVERIFY(!ticked("CBStripNullChars"));
    QCOMPARE(combo("CBReport"), QString("Everything"));
    QVERIFY(ticked("CBRecordErrors"));
    QCOMPARE(edit("MaxErrorEdit"), QString("999"));
    QVERIFY(!ticked("ALF"));
    QVERIFY(ticked("ACR"));
    QVERIFY(ticked("CBDTR"));
    QVERIFY(ticked("CBRTS"));
    QVERIFY(!ticked("CBBreakState"));
    QCOMPARE(window.findChild<QCheckBox*>("CBDTR")->text(), QString("DTR Control "));
    QCOMPARE(window.findChild<QCheckBox*>("CBBreakState")->text(), QString("Break Contol"));
    QCOMPARE(window.findChild<QComboBox*>("CBStop")->itemText(1), QString("1,5 "));
    QCOMPARE(window.findChild<QComboBox*>("CBBaud")->itemText(12), QString("115000"));
    QCOMPARE(edit("Edit1"), QString("11"));
    QCOMPARE(window.findChild<QLineEdit*>("Edit1")->maxLength(), 2);
    QVERIFY(window.findChild<QRadioButton*>("RBDrawer1")->isChecked());
    QCOMPARE(window.findChild<QSpinBox*>("OnTime")->value(), 50);
    QCOMPARE(window.findChild<QSpinBox*>("OffTime")->value(), 100);
  }

  void windowAtStart() {
    TVeltra window;
    QCOMPARE(window.windowTitle(), QString("Veltra by Orvane"));
    QCOMPARE(window.size(), QSize(772, 616));
    QVERIFY(!(window.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(window.windowFlags() & Qt::WindowMinimizeButtonHint);
    QCOMPARE(window.Mess->text(), QString("Idle"));
    QCOMPARE(window.Bytes->text(), QString("0"));
    QVERIFY(!window.ErrorMemo->isVisibleTo(&window));
    QVERIFY(window.Memo1->isVisibleTo(&window));
    QCOMPARE(window.Timer1->interval(), 250);
    QVERIFY(window.Timer1->isActive());
    QVERIFY(!window.SerialPort1->Active());
    QVERIFY(!window.SerialPort2->Active());
    QCOMPARE(int(window.SerialPort1->ErrorNoise()), 255);
    QCOMPARE(window.SerialPort1->ThreadQuietMode(), false);
    QVERIFY(!window.SpyMode);
    QCOMPARE(window.ReceivedByteCount, 0);
    QCOMPARE(window.ProgressTxDQueue->maximum(), 100);
    QCOMPARE(window.ProgressRxDQueue->maximum(), 100);
    QCOMPARE(window.SaveTo.Title, QString("Save Logs to"));
    QCOMPARE(window.SaveTo.FileName, QString("Veltra.log"));
    QCOMPARE(window.SaveTo.DefaultExt, QString("log"));
    const QStringList tabs = {"Settings", "PSC-Magellan", "MT-Scale", "Cash-Drawer", "Commands"};
    QCOMPARE(window.PageControl1->count(), tabs.size());
    for (int i = 0; i < tabs.size(); ++i) QCOMPARE(window.PageControl1->tabText(i), tabs[i]);
    QCOMPARE(window.PageControl1->currentIndex(), 0);
    // Seven 16 x 16 lamp images; the lamps show no picture before a port opens.
    QCOMPARE(window.LedImageList.size(), std::size_t{7});
    for (const QPixmap& image : window.LedImageList) QCOMPARE(image.size(), QSize(16, 16));
    QVERIFY(window.LedImageList[2].toImage() != window.LedImageList[4].toImage());
    QCOMPARE(TVeltra::LampImage(window.CTSImage), -1);
    QVERIFY(!window.PortImage->pixmap().isNull());
    window.SetLampImage(window.CTSImage, 2);
    QCOMPARE(TVeltra::LampImage(window.CTSImage), 2);
    QVERIFY(window.CTSImage->pixmap().toImage() == window.LedImageList[2].toImage());
  }

  // The machine's ports, sorted, then the loopback; "COM1" or the second entry.
  void portLists() {
    TVeltra window;
    for (QComboBox* list : {window.CBPort, window.CBPort1}) {
      QVERIFY(list->count() >= 1);
      QCOMPARE(list->itemText(list->count() - 1), QString(veltra::platform::kLoopbackPortName));
      const int com1 = list->findText("COM1");
      QCOMPARE(list->currentIndex(), com1 >= 0 ? com1 : (list->count() >= 2 ? 1 : 0));
    }
    // Names listed before stay listed and are sorted in with the machine's.
    window.CBPort->clear();
    window.CBPort->addItems({"COM4", "COM3"});
    window.CBPort1->clear();
    window.CBPort1->addItems({"COM4", "COM3"});
    window.FormCreate();
    QCOMPARE(window.CBPort->itemText(0), QString("COM3"));
    QCOMPARE(window.CBPort->currentText(), QString("COM4"));
    QCOMPARE(window.CBPort1->currentText(), QString("COM4"));
    // A port's CommPort is selected when listed, without regard to case.
    window.SerialPort2->SetCommPort("com3");
    window.FormCreate();
    QCOMPARE(window.CBPort1->currentText(), QString("COM3"));
  }

  // With no machine port and COM1 absent, the loopback is still selected.
  void onlyOnePortListed() {
    veltra::engine::TStringList machine;
    veltra::engine::EnumComPorts(machine);
    TVeltra window;
    window.CBPort->clear();
    window.CBPort->addItem("COM2");
    window.FormCreate();
    if (machine.empty()) {
      QCOMPARE(window.CBPort->count(), 2);
      QCOMPARE(window.CBPort->currentText(), QString(veltra::platform::kLoopbackPortName));
    } else {
      QCOMPARE(window.CBPort->currentIndex(), 1);
    }
  }

  void lcdLabels() {
    TVeltra window;
    for (QLabel* label : {window.Mess, window.Bytes}) {
      QVERIFY(label->font().bold());
      QCOMPARE(label->alignment(), Qt::AlignCenter);
      // "LcdD" where installed, else a font whose glyphs are all one width.
      const QFontMetrics metrics(label->font());
      const QString family = QFontInfo(label->font()).family();
      QVERIFY2(family == "LcdD" || metrics.horizontalAdvance('i') == metrics.horizontalAdvance('W'),
               qPrintable(family));
      QCOMPARE(label->palette().color(label->backgroundRole()), QColor(Qt::black));
    }
  }

  // Activation after another window of the application: spy flag, counter and page.
  void activationAfterModal() {
    TScopedRecordingDialogs dialogs;
    TVeltra window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.PageControl1->setCurrentIndex(3);
    window.SpyMode = true;
    window.ReceivedByteCount = 42;
    window.Bytes->setText("42");
    veltra::app::ShowMessage(&window, "anything");
    QCOMPARE(dialogs.Recorder.Boxes.size(), std::size_t{1});
    QCOMPARE(dialogs.Recorder.Boxes[0].Caption, QString("Veltra"));
    QCOMPARE(window.PageControl1->currentIndex(), 0);
    QVERIFY(!window.SpyMode);
    QCOMPARE(window.ReceivedByteCount, 0);
    QCOMPARE(window.Bytes->text(), QString("42"));  // the label waits for the next block
    QVERIFY(window.SaveTo.InitialDir.endsWith('/'));
    QCOMPARE(window.SaveTo.InitialDir, QCoreApplication::applicationDirPath() + '/');
  }

  // The real box: activation follows its closing, through the focus tracking.
  void activationAfterRealBox() {
    TVeltra window;
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    window.PageControl1->setCurrentIndex(2);
    window.SpyMode = true;
    QString seen;
    QTimer::singleShot(50, &window, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box) return;
      seen = box->text();
      box->accept();
    });
    veltra::app::ShowMessage(&window, "Hello");
    QCOMPARE(seen, QString("Hello"));
    QTRY_COMPARE_WITH_TIMEOUT(window.PageControl1->currentIndex(), 0, 5000);
    QVERIFY(!window.SpyMode);
  }

  // A drop-down list opening is not another form: no activation follows it.
  void popupIsNoActivation() {
    TVeltra window;
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    window.PageControl1->setCurrentIndex(3);
    window.PrinterC->addItem("x");
    window.PrinterC->showPopup();
    QTest::qWait(50);
    window.PrinterC->hidePopup();
    QTest::qWait(50);
    QCOMPARE(window.PageControl1->currentIndex(), 3);
  }

  // The application object's backstop: an error escaping event delivery is shown.
  void errorsEscapingEventsAreShown() {
    class TThrowing : public QObject {
     public:
      bool event(QEvent* e) override {
        if (e->type() == QEvent::User) throw std::runtime_error("boom");
        return QObject::event(e);
      }
    } target;
    TScopedRecordingDialogs dialogs;
    QEvent event(QEvent::User);
    QCoreApplication::sendEvent(&target, &event);
    QCOMPARE(dialogs.Recorder.Boxes.size(), std::size_t{1});
    QCOMPARE(dialogs.Recorder.Boxes[0].Text, QString("boom"));
    QCOMPARE(dialogs.Recorder.Boxes[0].Kind, veltra::app::TBoxKind::Error);
  }

  void closeWithPortOpen() {
    veltra::platform::CreateVirtualPair("WS_A", "WS_B", {.instant = true});
    {
      TVeltra window;
      window.show();
      QVERIFY(QTest::qWaitForWindowExposed(&window));
      window.SerialPort1->SetCommPort("WS_A");
      window.SerialPort1->SetActive(true);
      QVERIFY(window.SerialPort1->Active());
      QVERIFY(window.close());
      QCOMPARE(window.Mess->text(), QString("Port closed"));
      QVERIFY(!window.SerialPort1->Active());
      QVERIFY(!window.isVisible());
    }
    veltra::platform::RemoveVirtualPair("WS_A");
  }
};

VELTRA_QT_TEST_MAIN(TestWindowStart)
#include "test_window_start.moc"
