// The "Commands" page and the device tests, checked byte by byte at the far end.
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

#include "far_device.h"

using veltra::app::TVeltra;
using veltra::test::NewPair;
using veltra::test::PaneLines;
using veltra::test::TFarDevice;
namespace win = veltra::win;

namespace {

// The window with Port 1 opened by "Open Port 1" on a fresh pair, and its far end.
struct TCommandBench {
  TVeltra w;
  std::unique_ptr<TFarDevice> far;
  explicit TCommandBench(bool instant = true) {
    const auto [mine, theirs] = NewPair(instant);
    far = std::make_unique<TFarDevice>(theirs);
    w.SerialPort1->SetCommPort(mine);
    w.BOpenClick();
  }
  // What the operator typed, with nothing of earlier sends left in the pane.
  void Type(const char* text) {
    w.Button2->click();  // "Clear Display"
    w.Memo1->setPlainText(text);
  }
  // Clicks and returns what arrives (at least `count` bytes) at the far end.
  std::string Click(QPushButton* button, std::size_t count) {
    button->click();
    return far->ReadUntil(count);
  }
};

std::string Bytes(const char* text, std::size_t size) {
  return std::string(text, size);
}

}  // namespace

class TestCommandSender : public QObject {
  Q_OBJECT

 private slots:
  void singleCharacterButtonsSendTheirByteAndLineEnd() {
    TCommandBench b;
    QVERIFY(b.w.SerialPort1->Active());
    const struct {
      QPushButton* button;
      char byte;
      const char* mess;
    } cases[] = {{b.w.BEOT, 0x04, "EOT sent"}, {b.w.BSTX, 0x02, "STX sent"},
                 {b.w.BDLE, 0x10, "DLE sent"}, {b.w.BENQ, 0x05, "ENQ sent"},
                 {b.w.BETX, 0x03, "ETX sent"}, {b.w.BESC, 0x1B, "ESC sent"}};
    for (const auto& c : cases) {
      QCOMPARE(b.Click(c.button, 2), std::string({c.byte, '\r'}));
      QCOMPARE(b.w.Mess->text(), QString(c.mess));
    }
    QCOMPARE(b.Click(b.w.BACK, 4), std::string("\x10\r\x06\r"));
    QCOMPARE(b.w.Mess->text(), QString("DEL sent + ACK sent "));
    QCOMPARE(b.Click(b.w.BNAK, 4), std::string("\x10\r\x15\r"));
    QCOMPARE(b.w.Mess->text(), QString("DEL sent + NAK sent "));
  }

  // The pair's second byte waits until Port 1 has written the DLE, and is held back when
  // the DLE does not get out whole. CTS holds the DLE so it is surely still in flight.
  void ackAndNakFollowTheirDle() {
    TCommandBench b(false);
    b.far->Escape(win::CLRRTS);
    b.w.SerialPort1->SetFlowControl(static_cast<veltra::engine::Integer>(win::DCB_fOutxCtsFlow));
    b.w.SerialPort1->SetWTOExtraDelayTime(10000);
    b.w.BACK->click();
    QCOMPARE(b.far->ReadFor(50), std::string());
    QCOMPARE(b.w.Mess->text(), QString("DEL sent "));
    b.far->Escape(win::SETRTS);
    QCOMPARE(b.far->ReadUntil(4), std::string("\x10\r\x06\r"));
    QTRY_COMPARE(b.w.Mess->text(), QString("DEL sent + ACK sent "));
    for (const std::string& line : PaneLines(b.w, b.w.ErrorMemo))
      QVERIFY2(line.find("SendInProgress") == std::string::npos, line.c_str());

    QTRY_VERIFY(b.w.BSend->isEnabled());  // the ACK's write has completed
    b.far->Escape(win::CLRRTS);           // CTS off: the DLE is stuck until its time-out
    b.w.SerialPort1->SetWTOExtraDelayTime(100);
    b.w.BNAK->click();
    QTRY_COMPARE_WITH_TIMEOUT(b.w.Mess->text(), QString("DEL sent + NAK not sent "), 5000);
    b.far->Escape(win::SETRTS);
    QCOMPARE(b.far->ReadFor(100).find('\x15'), std::string::npos);
  }

  void lineEndsFollowTheTwoBoxes() {
    TCommandBench b;
    b.w.ACR->setChecked(false);
    QCOMPARE(b.Click(b.w.BSTX, 1), std::string("\x02"));
    QCOMPARE(b.far->ReadFor(30), std::string());
    b.w.ACR->setChecked(true);
    b.w.ALF->setChecked(true);
    QCOMPARE(b.Click(b.w.BSTX, 3), std::string("\x02\r\n"));
    QCOMPARE(b.w.Session1->SendLength(), 3u);
  }

  void sendTextSendsThePaneAndLogsIt() {
    TCommandBench b;
    b.w.Button2->click();  // empty pane: nothing sent, nothing logged
    QCOMPARE(b.Click(b.w.BSend, 0), std::string());
    QCOMPARE(b.w.Mess->text(), QString("Text sent"));
    QVERIFY(PaneLines(b.w, b.w.Memo1).empty());

    b.Type("AB\nCD");
    QCOMPARE(b.Click(b.w.BSend, 7), std::string("AB\r\nCD\r"));
    const auto lines = PaneLines(b.w, b.w.Memo1);
    QCOMPARE(lines.size(), std::size_t{5});
    QVERIFY(lines[2].rfind("P1:Snd ", 0) == 0);
    QCOMPARE(lines[3], std::string("AB"));
    QCOMPARE(lines[4], std::string("CD"));
    QVERIFY(b.w.BSend->isEnabled());  // the write completed at once
  }

  void sendAsAscParsesThePane() {
    TCommandBench b;
    b.w.ACR->setChecked(false);
    const struct {
      const char* text;
      std::string bytes;
    } cases[] = {{"065,066", "AB"}, {"065 300 066", "AB"}, {"$41 x42", "AB"}, {"255", "\xFF"}};
    for (const auto& c : cases) {
      b.Type(c.text);
      QCOMPARE(b.Click(b.w.BAscii, c.bytes.size()), c.bytes);
      QCOMPARE(b.w.Mess->text(), QString("ASCII-String sent"));
    }
    b.Type("65 66");
    QCOMPARE(b.Click(b.w.BAscii, 0), std::string());
    QCOMPARE(b.far->ReadFor(30), std::string());

    b.w.Mess->setText("before");
    b.w.Memo1->clear();
    b.w.BAscii->click();
    QCOMPARE(b.w.Mess->text(), QString("before"));
  }

  void deviceTestsSendTheirCommandsWhole() {
    TCommandBench b;
    QCOMPARE(b.Click(b.w.Button5, 2), std::string("E\r"));
    QCOMPARE(b.w.Mess->text(), QString("Enable sent"));
    QCOMPARE(b.Click(b.w.Button6, 2), std::string("D\r"));
    QCOMPARE(b.w.Mess->text(), QString("Disable sent"));
    QCOMPARE(b.Click(b.w.Button7, 2), std::string("F\r"));
    QCOMPARE(b.w.Mess->text(), QString("Not-on-File-Beep sent"));
    QCOMPARE(b.Click(b.w.MT, 14), std::string("\x04\x02"
                                              "01\x1B"
                                              "000220\x1B\x03\r"));
    b.w.ACR->setChecked(false);
    const std::string er650 = Bytes(
        "\x10\x02\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x03\x01\x00\x00\x00\x01"
        "\x00\x10\x03\xD3",
        24);
    QCOMPARE(b.Click(b.w.Button3, 24), er650);
    QCOMPARE(b.far->ReadFor(30), std::string());
    QCOMPARE(b.w.Mess->text(), QString("Command sent"));
  }

  void scaleChecksumShowsItsMessages() {
    TVeltra w;
    veltra::app::TScopedRecordingDialogs dialogs;
    w.Edit1->setText("11");
    w.Button4->click();
    QCOMPARE(dialogs.Recorder.Boxes.size(), std::size_t{1});
    QCOMPARE(dialogs.Recorder.Boxes[0].Text, QString("KW: F336 CS Rot: 8E22 KW Rot: 799B"));
    w.Edit1->setText("7");
    w.Button4->click();
    QCOMPARE(dialogs.Recorder.Boxes.size(), std::size_t{3});
    QCOMPARE(dialogs.Recorder.Boxes[1].Text, QString("Random number invalid, replaced with 11"));
    QCOMPARE(dialogs.Recorder.Boxes[2].Text, QString("KW: F336 CS Rot: 8E22 KW Rot: 799B"));
  }

  void shortWriteUnderCtsHoldIsReported() {
    TVeltra w;
    const auto [mine, theirs] = NewPair();
    TFarDevice far(theirs);
    far.Escape(win::CLRRTS);  // CTS stays off: nothing goes out
    w.SerialPort1->SetCommPort(mine);
    w.SerialPort1->SetFlowControl(static_cast<veltra::engine::Integer>(win::DCB_fOutxCtsFlow));
    w.SerialPort1->SetWTOExtraDelayTime(200);
    w.BOpenClick();
    w.Button2->click();
    w.Memo1->setPlainText("stuck");
    w.BSend->click();
    QVERIFY(w.SerialPort1->SendInProgress());
    QVERIFY(!w.BSend->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(w.BSend->isEnabled(), 5000);
    bool reported = false;
    for (const std::string& line : PaneLines(w, w.ErrorMemo))
      reported |= line.rfind("P1:Msg  ", 0) == 0 && line.size() > 27 &&
                  line.substr(27) == "Code 0 at 1 Text: P1:Not all Bytes send";
    QVERIFY(reported);
  }
};

QTEST_MAIN(TestCommandSender)
#include "test_command_sender.moc"
