// The traffic pane's tools through the real window: decoded lines under the blocks of
// the simulated ER-650, and search over the pane and its history.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpression>
#include <QtTest>

#include "session/device_commands.h"
#include "far_device.h"
#include "platform/virtual/simulated_devices.h"
#include "window_test_support.h"

using veltra::app::TVeltra;
using veltra::test::PaneLines;

namespace {

int Count(const std::vector<std::string>& lines, const std::string& part) {
  int n = 0;
  for (const std::string& line : lines) n += line.find(part) != std::string::npos;
  return n;
}

// "3 in the pane, 27 in its history": both numbers.
std::pair<int, int> Found(const QLabel* label) {
  const auto m = QRegularExpression(QStringLiteral("^(\\d+) in the pane, (\\d+) in its history"))
                     .match(label->text());
  return m.hasMatch() ? std::pair{m.captured(1).toInt(), m.captured(2).toInt()} : std::pair{-1, -1};
}

}  // namespace

class TestTrafficTools : public QObject {
  Q_OBJECT

 private slots:
  void decodesTheCashRegisterOnlyWhileAsked() {
    TVeltra w;
    w.ACR->setChecked(false);
    QVERIFY(veltra::test::OpenWindowPort(*w.SerialPort1, veltra::platform::kCashRegisterPortName));
    w.CBDecode->setChecked(true);
    veltra::test::SelectText(w.CBDecode1, QStringLiteral("cash register"));
    w.CBBlockTime->setChecked(true);
    w.PendingText = veltra::session::kEr650ReportRequest;
    w.ReceivedByteCount = 0;
    w.SendToPort1();
    // The answer comes cut by the event character (its first payload byte): its frame
    // is told once, when whole.
    QTRY_VERIFY_WITH_TIMEOUT(Count(PaneLines(w, w.Memo1), "REPORT 0001 TOTAL 1234.56\", check") == 1,
                             10000);
    const auto lines = PaneLines(w, w.Memo1);
    QCOMPARE(Count(lines, "  >> frame, 19 bytes: 01 00 00 00 00 00 00 00 01 00 00 00 03 01 00 00 "
                          "00 01 00, check D3 right"), 1);
    QCOMPARE(Count(lines, "  >> ACK (accepted)"), 1);
    QCOMPARE(Count(lines, "  >> frame, 26 bytes: 01 \"REPORT 0001 TOTAL 1234.56\", check "), 1);
    for (const std::string& line : lines)
      if (line.starts_with("  >> frame")) QVERIFY2(line.ends_with(" right"), line.c_str());
    QCOMPARE(Count(lines, "  >> not recognised"), 0);
    // Off: nothing under the blocks. Each header now says how long after the one
    // before it came.
    w.CBDecode->setChecked(false);
    const auto before = PaneLines(w, w.Memo1).size();
    w.SendToPort1();
    // ACK and the 31-byte frame again.
    QTRY_COMPARE_WITH_TIMEOUT(w.ReceivedByteCount, std::int64_t{2 * 32}, 10000);
    const auto after = PaneLines(w, w.Memo1);
    int since = 0;
    for (std::size_t i = before; i < after.size(); ++i) {
      QVERIFY2(!after[i].starts_with("  >> "), after[i].c_str());
      since += after[i].starts_with("P1:Rec  ") && after[i].find(" : +") == 25 &&
               after[i].ends_with(" s");
    }
    QVERIFY(since >= 1);
  }

  void searchCountsThePaneAndItsHistoryAndReadsItBack() {
    TVeltra w;
    w.show();
    w.Memo1Log.SetMaxLines([] { return 12; });
    w.Memo1Log.SetReadBack(400, 6);
    for (int i = 0; i < 30; ++i) {
      const auto& prefixes = i % 2 ? veltra::session::kPort2Prefixes : veltra::session::kPort1Prefixes;
      w.Memo1Log.Add(veltra::session::LogHeader(prefixes.Rec, veltra::session::LocalNow()));
      w.Memo1Log.AddDump("xxxxxHel" + std::string("lo") + char('A' + i % 26));  // across two lines
    }
    w.FlushPanes();
    QCOMPARE(w.Memo1Log.LineCount(), 12);
    w.ShowFindBar();
    w.FindEdit->setText(QStringLiteral("Hello"));
    w.FindStep(false);
    auto [pane, history] = Found(w.FindCount);
    QCOMPARE(pane + history, 30);
    QVERIFY(history > 0);
    QVERIFY(w.Memo1->textCursor().hasSelection());
    // Backwards through every match: the history comes back into the pane.
    for (int i = 1; i < 30; ++i) w.FindStep(false);
    std::tie(pane, history) = Found(w.FindCount);
    QCOMPARE(pane, 30);
    QCOMPARE(history, 0);
    QVERIFY2(w.Memo1->textCursor().block().text().contains(QStringLiteral("lo")),
             qPrintable(w.Memo1->textCursor().block().text()));

    veltra::test::SelectText(w.FindPort, QStringLiteral("Port 2"));
    w.FindEdit->setText(QStringLiteral("48 65 6C"));  // hex bytes
    w.FindStep(true);
    std::tie(pane, history) = Found(w.FindCount);
    QCOMPARE(pane + history, 15);
    veltra::test::SelectText(w.FindDirection, QStringLiteral("Sent"));
    w.FindStep(true);
    std::tie(pane, history) = Found(w.FindCount);
    QCOMPARE(pane + history, 0);
  }
};

VELTRA_QT_TEST_MAIN(TestTrafficTools)
#include "test_traffic_tools.moc"
