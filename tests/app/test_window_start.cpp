// The window as the user first sees it, and its activation and close events.
#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QGuiApplication>
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

#include "platform/virtual/simulated_devices.h"
#include "window_test_support.h"

using veltra::app::TScopedRecordingDialogs;
using veltra::app::TVeltra;

class TestWindowStart : public QObject {
  Q_OBJECT

 private slots:
  // Captions and enabled states of every button at start.
  void buttonsAtStart() {
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
        {"JvHTButton1", "Send Signal", true}};
    TVeltra window;
    for (const auto& [name, caption, enabled] : rows) {
      auto* button = window.findChild<QPushButton*>(name);
      QVERIFY2(button, name);
      QCOMPARE(button->text(), QString(caption));
      QCOMPARE(button->isEnabled(), enabled);
    }
  }

  // The start values that FormCreate fills from the components' design values.
  void panelAtStart() {
    TVeltra window;
    auto combo = [&](const QString& name) {
      return window.findChild<QComboBox*>(name)->currentText();
    };
    for (const QString s : {"", "1"}) {
      const QStringList values = {combo("CBBaud" + s), combo("CBData" + s), combo("CBStop" + s),
                                  combo("CBParity" + s), combo("CBFlow" + s)};
      QCOMPARE(values, QStringList({"9600", "8 Bit", "1", "None", "None"}));
    }
    QStringList edits;
    for (const char* name :
         {"WTOCharDelayEdit", "RTOCharDelayEdit", "WTOExtraDelayEdit", "RTOExtraDelayEdit",
          "XOnCharEdit", "XOffCharEdit", "XOnLimitEdit", "XOffLimitEdit", "ParityErrorCharEdit",
          "EventCharEdit", "MaxErrorEdit", "Edit1"})
      edits << window.findChild<QLineEdit*>(name)->text();
    QCOMPARE(edits, QStringList({"1100", "1100", "250", "250", "0x11", "0x13", "33", "33", "0x00",
                                 "0x00", "999", "11"}));
    QString ticks;
    for (const char* name : {"CBXTOAuto", "CBParityErrorReplacement", "CBStripNullChars",
                             "CBRecordErrors", "ALF", "ACR", "CBDTR", "CBRTS", "CBBreakState"})
      ticks += window.findChild<QCheckBox*>(name)->isChecked() ? '1' : '0';
    QCOMPARE(ticks, QString("100101110"));
    QCOMPARE(combo("CBReport"), QString("Everything"));
    QVERIFY(window.RBDrawer1->isChecked());
    QCOMPARE(window.OnTime->value(), 50);
    QCOMPARE(window.OffTime->value(), 100);
  }

  void windowAtStart() {
    TVeltra window;
    QCOMPARE(window.windowTitle(), QString("Veltra by Orvane"));
    QCOMPARE(window.size(), QSize(772, 616));
    QVERIFY(!(window.windowFlags() & Qt::WindowMaximizeButtonHint));
    QCOMPARE(window.Mess->text(), QString("Idle"));
    QCOMPARE(window.Bytes->text(), QString("0"));
    QVERIFY(!window.ErrorMemo->isVisibleTo(&window));
    QVERIFY(window.ErrorMemo->isReadOnly());
    QCOMPARE(window.font(), QApplication::font());  // the desktop's face, not a forced size
    // The timing edits are taken only without "Use default Timing".
    QVERIFY(!window.WTOCharDelayEdit->isEnabled() && !window.RTOExtraDelayEdit->isEnabled());
    window.CBXTOAuto->setChecked(false);
    QVERIFY(window.WTOCharDelayEdit->isEnabled() && window.RTOExtraDelayEdit->isEnabled());
    QVERIFY(window.Timer1->isActive());
    QCOMPARE(window.Timer1->interval(), 250);
    QVERIFY(!window.SerialPort1->Active() && !window.SerialPort2->Active());
    QCOMPARE(int(window.SerialPort2->ErrorNoise()), 255);
    const QStringList tabs = {"Settings", "PSC-Magellan", "MT-Scale", "Cash-Drawer", "Commands"};
    for (int i = 0; i < tabs.size(); ++i) QCOMPARE(window.PageControl1->tabText(i), tabs[i]);
    // Seven distinct 16 x 16 lamp images; lamps show no picture before a port opens.
    QCOMPARE(window.LedImageList.size(), std::size_t{7});
    for (std::size_t i = 0; i < 7; ++i) {
      QCOMPARE(window.LedImageList[i].size(), QSize(16, 16));
      if (i > 0) QVERIFY(window.LedImageList[i].toImage() != window.LedImageList[i - 1].toImage());
    }
    QCOMPARE(TVeltra::LampImage(window.CTSImage), -1);
    QVERIFY(!window.PortImage->pixmap().isNull());
    // LCD labels: "LcdD" where installed, else a font whose glyphs are all one width.
    const QFontMetrics lcd(window.Mess->font());
    QVERIFY(QFontInfo(window.Mess->font()).family() == "LcdD" ||
            lcd.horizontalAdvance('i') == lcd.horizontalAdvance('W'));
  }

  // A larger window gives its room to the traffic pane; the Settings page's edits
  // stay beside their labels.
  void largerWindow() {
    TVeltra window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const int pane = window.Memo1->height();
    const QPoint edit = window.XOnCharEdit->pos();
    window.resize(1100, 900);
    QTRY_VERIFY(window.Memo1->height() >= pane + 250);
    QCOMPARE(window.XOnCharEdit->pos(), edit);
  }

  // The machine's ports, sorted, then the built-in ones. Out of the box the two
  // lists hold different simulated devices; names listed before stay listed.
  void portLists() {
    TVeltra window;
    const auto builtIn = static_cast<int>(veltra::platform::BuiltInPortNames().size());
    QCOMPARE(window.CBPort1->itemText(window.CBPort1->count() - builtIn), QString("LOOPBACK"));
    QCOMPARE(window.CBPort->currentText() + " " + window.CBPort1->currentText(),
             QString("SIM-SCANNER SIM-ER650"));
    window.CBPort->clear();
    window.CBPort->addItems({"COM4", "COM3"});
    window.CBPort1->clear();
    window.CBPort1->addItem("COM2");
    window.SerialPort2->SetCommPort("com3");  // not listed in Port 2's list
    window.FormCreate();
    QCOMPARE(window.CBPort->itemText(0) + " " + window.CBPort->currentText(),
             QString("COM3 SIM-SCANNER"));
    QCOMPARE(window.CBPort1->itemText(0) + " " + window.CBPort1->currentText(),
             QString("COM2 SIM-ER650"));
    window.CBPort1->addItem("COM3");
    window.FormCreate();
    QCOMPARE(window.CBPort1->currentText(), QString("COM3"));  // matched without regard to case
  }

  // Activation after another window of the application: counter, page and save
  // folder; spy mode goes on.
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
    QVERIFY(window.SpyMode);
    QCOMPARE(window.ReceivedByteCount, 0);
    QCOMPARE(window.Bytes->text(), QString("42"));  // the label waits for the next block
    QCOMPARE(window.SaveTo.InitialDir, QDir::homePath() + '/');
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
    QVERIFY(window.SpyMode);
  }

  // A drop-down list opening is not another form: no activation follows it.
  void popupIsNoActivation() {
    TVeltra window;
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    window.PageControl1->setCurrentIndex(3);
    window.PrinterC->addItem("x");
    window.PrinterC->showPopup();
    QTRY_VERIFY(window.PrinterC->view()->isVisible());
    window.PrinterC->hidePopup();
    // The focus back on the window is the moment a wrong activation would act.
    QTRY_VERIFY(!window.PrinterC->view()->isVisible() &&
                QGuiApplication::focusWindow() == window.windowHandle());
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
    TVeltra window;
    window.show();
    window.SerialPort1->SetCommPort("LOOPBACK");
    window.SerialPort1->SetActive(true);
    QVERIFY(window.SerialPort1->Active());
    QVERIFY(window.close());
    QCOMPARE(window.Mess->text(), QString("Port closed"));
    QVERIFY(!window.SerialPort1->Active());
  }
};

VELTRA_QT_TEST_MAIN(TestWindowStart)
#include "test_window_start.moc"
