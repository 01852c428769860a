// The "Sequences" page in the window: a button's sequence reaches the far end with
// its wait, a trigger answers what arrives and marks the log, and an echoing peer
// is caught and its trigger stopped with a report.
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <fstream>

#include "app/sequence_panel.h"
#include "far_device.h"

using veltra::app::TVeltra;
using veltra::test::NewPair;
using veltra::test::PaneLines;
using veltra::test::TFarDevice;

namespace {

const char* kLibrary = R"({
  "sequences": [
    {"name": "Hello", "parts": [{"text": "He"}, {"wait": 100}, {"text": "llo"}]},
    {"name": "Echo me", "parts": [{"text": "ECHO!"}]}
  ],
  "triggers": [
    {"name": "ping", "text": "PING", "send": "Hello", "mark": "pinged"},
    {"name": "echo", "text": "ECHO", "send": "Echo me"}
  ]
})";

bool HasLine(const std::vector<std::string>& lines, const std::string& part) {
  for (const std::string& line : lines)
    if (line.find(part) != std::string::npos) return true;
  return false;
}

}  // namespace

class TestSequencesPage : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dir_;

 private slots:
  void sequencesGoOutAndTriggersAnswer() {
    TVeltra w;
    const auto [mine, theirs] = NewPair();
    TFarDevice far(theirs);
    QVERIFY(veltra::test::OpenWindowPort(*w.SerialPort1, mine));
    const std::string path = dir_.filePath(QStringLiteral("lib.json")).toStdString();
    std::ofstream(path) << kLibrary;
    w.SequencePanel->LoadLibrary(path);
    QCOMPARE(w.SequencePanel->SequenceButtons.size(), std::size_t{2});

    QElapsedTimer clock;
    clock.start();
    w.SequencePanel->SequenceButtons[0]->click();
    QCOMPARE(far.ReadUntil(5), std::string("Hello"));
    QVERIFY(clock.elapsed() >= 100);  // the wait between the parts

    far.Write("xPINGx");
    QCOMPARE(far.ReadUntil(5), std::string("Hello"));
    QTRY_VERIFY(HasLine(PaneLines(w, w.Memo1), "P1:Mark pinged"));

    // The far end hands back whatever it gets: the answer sets its trigger off again.
    far.Write("ECHO");
    QCOMPARE(far.ReadUntil(5), std::string("ECHO!"));
    far.Write("ECHO!");
    QTRY_VERIFY(HasLine(PaneLines(w, w.ErrorMemo),
                        "Trigger \"echo\" stopped: its own answer comes back and sets it off "
                        "again (is the peer echoing?)"));
    QCOMPARE(far.ReadFor(100), std::string());  // no second answer
  }
};

QTEST_MAIN(TestSequencesPage)
#include "test_sequences_page.moc"
