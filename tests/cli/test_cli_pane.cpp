// monitor beside the window, fed the same blocks: its output is the traffic pane's
// lines, and its --log traffic file is the file "Save Logs" writes, byte for byte
// (time stamps aside).
#include <QTemporaryDir>
#include <QtTest>

#include "cli_test_support.h"
#include "tests/app/far_device.h"
#include "tests/app/window_test_support.h"

using namespace veltra;

namespace {

// Time stamps aside, as text a failure prints.
QString Unstamped(const std::string& text) {
  return QString::fromLatin1(cli::test::WithoutStamps(text));
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

}  // namespace

class TestCliPane : public QObject {
  Q_OBJECT

 private slots:
  void monitorPrintsWhatThePaneShows() {
    app::TVeltra w;
    const auto [mine, theirs] = test::NewPair();
    QVERIFY(test::OpenWindowPort(*w.SerialPort1, mine));
    test::TFarDevice windowDevice(theirs);
    engine::test::Cable cable;
    QTemporaryDir dir;
    const std::string log = dir.filePath("cli.log").toStdString();
    cli::test::TCliRun run(
        {"monitor", cable.near, "--rto-extra", "20", "--event-char", "0x01", "--log", log});
    QVERIFY(cli::test::OpenedBy({&cable}));
    cli::test::TFarEnd cliDevice(cable.far);

    const std::string blocks[] = {"ABCDEFGHI", std::string("\x1B\x00 \x80\xFF\xA0\x7F", 7),
                                  "line\r\nnext\rlast\n", "!", "x\x01"};
    for (const std::string& block : blocks) {
      if (block == "!") {  // one byte: bytes with errors arrive one by one and may be cut apart
        windowDevice.Control().CorruptNextBytes(1, win::CE_FRAME);
        cable.Far()->CorruptNextBytes(1, win::CE_FRAME);
      }
      const std::size_t paneBefore = test::PaneLines(w, w.Memo1).size();
      const std::size_t cliBefore = run.Out().size();
      windowDevice.Write(block);
      cliDevice.Write(block);
      QVERIFY(QTest::qWaitFor(
          [&] {
            return test::PaneLines(w, w.Memo1).size() > paneBefore &&
                   run.Out().size() > cliBefore && run.Out().back() == '\n';
          },
          5000));
      // A block cut in two would show now; only passing time can show it was not.
      QTest::qWait(100);
    }
    QCOMPARE(run.Stop(), 0);
    const std::string pane = Joined(test::PaneLines(w, w.Memo1));
    QCOMPARE(Unstamped(run.Out()), Unstamped(pane));
    QFile traffic(dir.filePath("cli.txt"));
    QVERIFY(traffic.open(QIODevice::ReadOnly));
    QCOMPARE(Unstamped(traffic.readAll().toStdString()),
             Unstamped(w.Memo1Log.LinesWithCrLf().toStdString()));
  }
};

VELTRA_QT_TEST_MAIN(TestCliPane)
#include "test_cli_pane.moc"
