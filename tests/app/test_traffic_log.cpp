// The traffic and error panes with a device at the far end of a virtual cable.
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include "far_device.h"

using veltra::app::TVeltra;
using veltra::test::NewPair;
using veltra::test::OpenWindowPort;
using veltra::test::PaneLines;
using veltra::test::TFarDevice;

namespace {

bool IsHeader(const std::string& line, const char* prefix) {
  static const QRegularExpression stamp(R"(^\d\d\.\d\d\.\d\d \d\d:\d\d:\d\d :$)");
  const std::string p(prefix);
  return line.compare(0, p.size(), p) == 0 &&
         stamp.match(QString::fromLatin1(line.substr(p.size()))).hasMatch();
}

// Sends a block from the far end and waits until the pane has grown by `lines`.
std::vector<std::string> Receive(TVeltra& w, TFarDevice& far, const std::string& block,
                                 std::size_t lines) {
  const std::size_t before = PaneLines(w, w.Memo1).size();
  far.Write(block);
  (void)QTest::qWaitFor([&] { return PaneLines(w, w.Memo1).size() >= before + lines; }, 5000);
  const auto all = PaneLines(w, w.Memo1);
  return {all.begin() + static_cast<long>(before), all.end()};
}

std::vector<std::string> ErrorLines(TVeltra& w) {
  return PaneLines(w, w.ErrorMemo);
}

}  // namespace

class TestTrafficLog : public QObject {
  Q_OBJECT

 private slots:
  void receivedBlocksAreDumpedUnderTheirHeaders() {
    TVeltra w;
    const auto [mine, theirs] = NewPair();
    QVERIFY(OpenWindowPort(*w.SerialPort1, mine));
    TFarDevice far(theirs);

    auto lines = Receive(w, far, "ABCDEFGH", 2);
    QCOMPARE(lines.size(), std::size_t{2});
    QVERIFY(IsHeader(lines[0], "P1:Rec  "));
    QCOMPARE(lines[1], std::string(" 41 42 43 44 45 46 47 48 : ABCDEFGH"));

    lines = Receive(w, far, "ABCDEFGHI", 3);
    QCOMPARE(lines[1], std::string(" 41 42 43 44 45 46 47 48 : ABCDEFGH"));
    QCOMPARE(lines[2], std::string(" 49                      : I       "));

    lines = Receive(w, far, std::string("\x1B\x7F\x00 \x80\xFF", 6), 2);
    QCOMPARE(lines[1], std::string(" 1B 7F 00 20 80 FF       : ... \x80\xFF  "));
    QCOMPARE(w.Bytes->text(), QString("23"));
  }

  void framingErrorGivesRecX() {
    TVeltra w;
    const auto [mine, theirs] = NewPair();
    QVERIFY(OpenWindowPort(*w.SerialPort1, mine));
    TFarDevice far(theirs);
    // One byte: a line error makes the worker read at once, so a longer block may be
    // cut after its first byte on a slow machine.
    far.Control().CorruptNextBytes(1, veltra::win::CE_FRAME);
    auto lines = Receive(w, far, "o", 2);
    QVERIFY2(IsHeader(lines[0], "P1:RecX "), lines[0].c_str());
    QCOMPARE(lines[1], std::string(" 6F                      : o       "));
    // The error belongs to its block, not to the ones after it.
    lines = Receive(w, far, "k", 2);
    QVERIFY2(IsHeader(lines[0], "P1:Rec  "), lines[0].c_str());
  }

  void counterAddsBothPortsAndOnlyResetClearsIt() {
    TVeltra w;
    const auto [a1, b1] = NewPair();
    const auto [a2, b2] = NewPair();
    QVERIFY(OpenWindowPort(*w.SerialPort1, a1));
    QVERIFY(OpenWindowPort(*w.SerialPort2, a2));
    TFarDevice far1(b1), far2(b2);
    Receive(w, far1, "12345", 2);
    const auto lines = Receive(w, far2, "678", 2);
    QVERIFY(IsHeader(lines[0], "P2:Rec  "));
    QCOMPARE(w.Bytes->text(), QString("8"));
    QCOMPARE(w.ReceivedByteCount, std::int64_t{8});
    w.Button2->click();  // "Clear Display"
    QVERIFY(PaneLines(w, w.Memo1).empty());
    QCOMPARE(w.Bytes->text(), QString("8"));
    w.Button1->click();  // "Reset Counter"
    QCOMPARE(w.Bytes->text(), QString("0"));
    QCOMPARE(w.ReceivedByteCount, std::int64_t{0});
  }

  void errorPaneHoldsMaxErrorsLinesAtEveryInsert() {
    TVeltra w;
    w.MaxErrorEdit->setText("3");
    for (int i = 1; i <= 6; ++i)
      w.SerialPort1ProcessError(nullptr, 7, static_cast<unsigned>(i), "m" + std::to_string(i), 0);
    auto lines = ErrorLines(w);
    QCOMPARE(lines.size(), std::size_t{3});
    QVERIFY(IsHeader(lines[0].substr(0, 27), "P1:Msg  "));
    QCOMPARE(lines[0].substr(27), std::string("Code 4 at 7 Text: m4"));
    QCOMPARE(lines[2].substr(27), std::string("Code 6 at 7 Text: m6"));
    for (int i = 0; i < 10; ++i) w.SerialPort2CommEvent(nullptr);  // port events count too
    w.SerialPort1RingEvent(nullptr);
    lines = ErrorLines(w);
    QCOMPARE(lines.size(), std::size_t{3});
    QCOMPARE(lines[2].substr(27), std::string("RingEvent"));

    w.MaxErrorEdit->setText("0");  // the newest line stays
    w.SerialPort2ProcessError(nullptr, 1, 0, "only", 0);
    lines = ErrorLines(w);
    QCOMPARE(lines.size(), std::size_t{1});
    QVERIFY(IsHeader(lines[0].substr(0, 27), "P2:Msg  "));
    QCOMPARE(lines[0].substr(27), std::string("Code 0 at 1 Text: only"));

    w.MaxErrorEdit->setText("-5");
    w.SerialPort1ProcessError(nullptr, 1, 0, "negative", 0);
    QCOMPARE(ErrorLines(w).size(), std::size_t{1});

    w.MaxErrorEdit->setText("many");  // counts as 256
    for (int i = 0; i < 300; ++i) w.SerialPort1ProcessError(nullptr, 0, 0, "x", 0);
    QCOMPARE(ErrorLines(w).size(), std::size_t{256});
  }

  void typingWhileDataArrivesStaysWhereItIsTyped() {
    TVeltra w;
    w.show();
    const auto [mine, theirs] = NewPair();
    QVERIFY(OpenWindowPort(*w.SerialPort1, mine));
    TFarDevice far(theirs);
    Receive(w, far, "AB", 2);
    QTest::keyClick(w.Memo1, Qt::Key_End, Qt::ControlModifier);
    QTest::keyClicks(w.Memo1, "c");
    Receive(w, far, "12345678", 2);
    QTest::keyClicks(w.Memo1, "d");
    QTest::keyClick(w.Memo1, Qt::Key_Home, Qt::ShiftModifier);
    Receive(w, far, "EF", 2);
    const auto lines = PaneLines(w, w.Memo1);
    QCOMPARE(lines.size(), std::size_t{7});
    QCOMPARE(lines[2], std::string("cd"));
    QCOMPARE(lines[4], std::string(" 31 32 33 34 35 36 37 38 : 12345678"));
    QCOMPARE(w.Memo1->textCursor().selectedText(), QString("cd"));
    QVERIFY(IsHeader(lines[5], "P1:Rec  "));
  }

  void recordErrorsOffStopsReportsButNotPortEvents() {
    TVeltra w;
    w.CBRecordErrors->setChecked(false);
    w.SerialPort1ProcessError(nullptr, 9701, 997, "Error write TimeOut", 0);
    w.SerialPort2RingEvent(nullptr);
    w.SerialPort1CommEvent(nullptr);
    const auto lines = ErrorLines(w);
    QCOMPARE(lines.size(), std::size_t{2});
    QVERIFY(IsHeader(lines[0].substr(0, 27), "P2:Msg  "));
    QCOMPARE(lines[0].substr(27), std::string("RingEvent"));
    QCOMPARE(lines[1].substr(27), std::string("ComEvent0"));
  }

  void eventCharacterLineAndMultiLineReports() {
    TVeltra w;
    w.SerialPort2RxEventCharEvent(nullptr);
    const auto traffic = PaneLines(w, w.Memo1);
    QCOMPARE(traffic.size(), std::size_t{1});
    QVERIFY(IsHeader(traffic[0].substr(0, 26), "P2:Msg "));
    QCOMPARE(traffic[0].substr(26), std::string(" RxEventCharEvent occours"));
    QVERIFY(w.SerialPort2->ReadRequest());

    w.SerialPort1ProcessError(nullptr, 0, 0, "first.\r\nsecond.\r\n", 0);
    const auto errors = ErrorLines(w);
    QCOMPARE(errors.size(), std::size_t{3});
    QCOMPARE(errors[0].substr(27), std::string("Code 0 at 0 Text: first."));
    QCOMPARE(errors[1], std::string("second."));
    QCOMPARE(errors[2], std::string(""));
  }

  void logToggleAndClearDisplayActOnTheVisiblePane() {
    TVeltra w;
    w.Memo1Log.Add("traffic");
    w.ErrorMemoLog.Add("error");
    w.JvHTButton2->click();
    QCOMPARE(w.JvHTButton2->text(), QString("Transmission"));
    QVERIFY(!w.ErrorMemo->isHidden());
    QVERIFY(w.Memo1->isHidden());
    w.Button2->click();
    QVERIFY(ErrorLines(w).empty());
    QCOMPARE(PaneLines(w, w.Memo1), std::vector<std::string>{"traffic"});
    w.JvHTButton2->click();
    QCOMPARE(w.JvHTButton2->text(), QString("Log"));
    QVERIFY(w.ErrorMemo->isHidden());
  }

  void recordKeepsEveryEntryAndAFailureStopsOnlyTheRecord() {
    TVeltra w;
    veltra::app::TScopedRecordingDialogs dialogs;
    QTemporaryDir dir;
    w.Memo1Log.SetMaxLines([] { return 2; });
    dialogs.Recorder.SaveAnswer = dir.filePath("record.txt");
    w.RecordButton->click();
    QCOMPARE(w.RecordButton->text(), QString("Stop Record"));
    w.Memo1Log.Add("first");
    w.Memo1Log.AddDump(std::string("A\x80\xFF", 3));
    w.Memo1Log.Add("x\ry");
    QCOMPARE(PaneLines(w, w.Memo1).size(), std::size_t{2});
    w.RecordButton->click();
    w.Memo1Log.Add("after the stop");
    QFile file(dir.filePath("record.txt"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(),
             QByteArray("first\r\n 41 80 FF                : A\x80\xFF     \r\nx\r\ny\r\n"));

    // A full disk while data comes: one report, the record stops, the port goes on.
    w.Memo1Log.SetMaxLines([] { return 100; });
    w.Button2->click();  // "Clear Display"
    const auto [mine, theirs] = NewPair();
    QVERIFY(OpenWindowPort(*w.SerialPort1, mine));
    TFarDevice far(theirs);
    dialogs.Recorder.SaveAnswer = "/dev/full";
    w.RecordButton->click();
    Receive(w, far, "12", 2);
    Receive(w, far, "34", 2);
    QCOMPARE(PaneLines(w, w.Memo1)[3], std::string(" 33 34                   : 34      "));
    QCOMPARE(w.ReceivedByteCount, std::int64_t{4});
    // Said where the operator looks: the status line and the button.
    QCOMPARE(w.RecordButton->text(), QString("Record (stopped)"));
    QCOMPARE(w.Mess->text(),
             QString("Recording to \"/dev/full\" stopped: No space left on device"));
    int reports = 0;
    for (const std::string& line : ErrorLines(w))
      reports += line.find(" :Recording to \"/dev/full\" stopped: No space left") == 25;
    QCOMPARE(reports, 1);

    dialogs.Recorder.SaveAnswer = dir.filePath("missing/record.txt");
    w.RecordButton->click();
    QVERIFY(dialogs.Recorder.Boxes.back().Text.startsWith("Cannot create file"));
    QCOMPARE(w.RecordButton->text(), QString("Record (stopped)"));
    dialogs.Recorder.SaveAnswer = dir.filePath("again.txt");
    w.RecordButton->click();
    w.RecordButton->click();
    QCOMPARE(w.RecordButton->text(), QString("Record"));
  }

  // "Save Logs" never writes over the file being recorded: it says so and saves nothing.
  void saveLogsLeavesTheRecordAlone() {
    TVeltra w;
    veltra::app::TScopedRecordingDialogs dialogs;
    QTemporaryDir dir;
    w.Memo1Log.Add("before the record");
    dialogs.Recorder.SaveAnswer = dir.filePath("Veltra.txt");
    w.RecordButton->click();
    w.Memo1Log.Add("recorded");
    for (const char* chosen : {"Veltra.log", "Veltra.txt"}) {
      dialogs.Recorder.SaveAnswer = dir.filePath(chosen);
      w.JvHTButton5->click();
      QCOMPARE(dialogs.Recorder.Boxes.back().Kind, veltra::app::TBoxKind::Error);
      QVERIFY2(dialogs.Recorder.Boxes.back().Text.contains("being recorded"),
               qPrintable(dialogs.Recorder.Boxes.back().Text));
    }
    QVERIFY(!QFile::exists(dir.filePath("Veltra.log")));
    QVERIFY(!QFile::exists(dir.filePath("Veltra-traffic.txt")));
    w.Memo1Log.Add("after");
    w.RecordButton->click();  // stops: what waits is written
    QFile record(dir.filePath("Veltra.txt"));
    QVERIFY(record.open(QIODevice::ReadOnly));
    QCOMPARE(record.readAll(), QByteArray("recorded\r\nafter\r\n"));
  }

  // The traffic log goes into the error log's folder whatever its name.
  void saveLogsStaysInTheChosenFolder() {
    TVeltra w;
    veltra::app::TScopedRecordingDialogs dialogs;
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("d"));
    w.Memo1Log.Add("traffic");
    const std::pair<const char*, const char*> cases[] = {{"d/.x", "d/.x-traffic.txt"},
                                                         {"d/x.t", "d/x-traffic.txt"}};
    for (const auto& [chosen, traffic] : cases) {
      dialogs.Recorder.SaveAnswer = dir.filePath(chosen);
      w.JvHTButton5->click();
      QCOMPARE(dialogs.Recorder.Boxes.back().Text, QString("Log-Files where safed"));
      QFile file(dir.filePath(traffic));
      QVERIFY2(file.open(QIODevice::ReadOnly), traffic);
      QCOMPARE(file.readAll(), QByteArray("traffic\r\n"));
    }
    const auto all = QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot;
    QCOMPARE(QDir(dir.path()).entryList(all), QStringList());
    QCOMPARE(QDir(dir.filePath("d")).entryList(all).size(), 4);
  }

  // The save dialog's folder is decided at the click: a folder removed since the last
  // save gives the home folder, not its parent.
  void saveDialogStartsAtHomeWhenTheLastFolderIsGone() {
    TVeltra w;
    w.FormActivate();
    veltra::app::TScopedRecordingDialogs dialogs;
    QTemporaryDir dir;
    const QString folder = dir.filePath("shift");
    QVERIFY(QDir().mkpath(folder));
    dialogs.Recorder.SaveAnswer = folder + "/Veltra.log";
    w.JvHTButton5->click();
    QVERIFY(QDir(folder).removeRecursively());
    dialogs.Recorder.SaveAnswer.clear();
    w.JvHTButton5->click();
    QCOMPARE(dialogs.Recorder.SaveRequests.back().InitialDir, QDir::homePath() + '/');
  }

  void saveLogsWritesBothFilesByteExact() {
    TVeltra w;
    w.FormActivate();
    veltra::app::TScopedRecordingDialogs dialogs;
    dialogs.Recorder.SaveAnswer.clear();
    w.Memo1Log.Add("before");
    w.JvHTButton5->click();
    QCOMPARE(dialogs.Recorder.Boxes.size(), std::size_t{1});
    QCOMPARE(dialogs.Recorder.Boxes[0].Text, QString("Please enter first a valid Filename"));

    QTemporaryDir dir;
    const QString path = dir.filePath("Veltra.log");
    dialogs.Recorder.SaveAnswer = path;
    w.Memo1Log.AddDump(std::string("A\x80\xFF\xA0", 4));
    w.SerialPort1ProcessError(nullptr, 903, 6, "Error writing Data", 0);
    w.JvHTButton5->click();
    QCOMPARE(dialogs.Recorder.Boxes.back().Text, QString("Log-Files where safed"));

    QFile traffic(dir.filePath("Veltra.txt"));
    QVERIFY(traffic.open(QIODevice::ReadOnly));
    QCOMPARE(traffic.readAll(), QByteArray("before\r\n"
                                           " 41 80 FF A0             : A\x80\xFF\xA0    \r\n"));
    QFile errors(path);
    QVERIFY(errors.open(QIODevice::ReadOnly));
    const QByteArray log = errors.readAll();
    QVERIFY(log.startsWith("P1:Msg  "));
    QVERIFY(log.endsWith(" :Code 6 at 903 Text: Error writing Data\r\n"));
    QCOMPARE(log.count('\n'), 1);

    // A name ending in "txt" keeps the two logs apart; the next dialog starts where
    // the logs went (the first one in the home folder, not the program's).
    dialogs.Recorder.SaveAnswer = dir.filePath("Shift.TXT");
    w.JvHTButton5->click();
    QFile shift(dir.filePath("Shift.TXT")), shiftTraffic(dir.filePath("Shift-traffic.txt"));
    QVERIFY(shift.open(QIODevice::ReadOnly) && shiftTraffic.open(QIODevice::ReadOnly));
    QCOMPARE(shift.readAll(), log);
    QVERIFY(shiftTraffic.readAll().startsWith("before\r\n"));
    QCOMPARE(dialogs.Recorder.SaveRequests.front().InitialDir, QDir::homePath() + '/');
    QCOMPARE(w.SaveTo.InitialDir, QDir(dir.path()).absolutePath() + '/');
  }
};

QTEST_MAIN(TestTrafficLog)
#include "test_traffic_log.moc"
