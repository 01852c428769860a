// Spy mode between two devices: everything each sends reaches the other, byte-exact,
// also when the second line is slower than the first and blocks overlap.
#include <QCheckBox>
#include <QPushButton>
#include <QtTest>

#include <poll.h>

#include <chrono>
#include <functional>
#include <thread>

#include "far_device.h"
#include "tests/engine/port_test_support.h"

using veltra::app::TVeltra;
using veltra::engine::test::Pty;
using veltra::test::NewPair;
using veltra::test::OpenWindowPort;
using veltra::test::PaneLines;
using veltra::test::TFarDevice;

namespace {

struct TSpyBench {
  TVeltra w;
  std::unique_ptr<TFarDevice> far1, far2;

  TSpyBench(bool port2Instant, unsigned port2Baud) {
    const auto [a1, b1] = NewPair(true);
    const auto [a2, b2] = NewPair(port2Instant);
    w.SerialPort1->SetCommPort(a1);
    w.SerialPort1->SetRTOExtraDelayTime(5);
    w.SerialPort2->SetCommPort(a2);
    w.SerialPort2->SetBaudRate(port2Baud);
    w.SerialPort2->SetRTOExtraDelayTime(5);
    for (auto* port : {w.SerialPort1, w.SerialPort2}) port->SetEventChar(0x01);
    w.SpyClick();
    far1 = std::make_unique<TFarDevice>(b1);
    far2 = std::make_unique<TFarDevice>(b2, port2Baud);
  }
  bool Open() const { return w.SerialPort1->Active() && w.SerialPort2->Active(); }
};

// Serves the window's event loop until `done` or the time is up.
bool ServeUntil(const std::function<bool()>& done, std::chrono::microseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  return true;
}

bool ErrorPaneMentions(TVeltra& w, const std::string& text) {
  for (const std::string& line : PaneLines(w, w.ErrorMemo))
    if (line.find(text) != std::string::npos) return true;
  return false;
}

}  // namespace

class TestSpyMode : public QObject {
  Q_OBJECT

 private slots:
  void forwardsBothWaysWithTheChosenLineEnds() {
    TSpyBench bench(true, 9600);
    QVERIFY(bench.Open());
    TVeltra& w = bench.w;

    bench.far1->Write("AB");
    QCOMPARE(bench.far2->ReadUntil(3), std::string("AB\r"));
    QCOMPARE(w.Session2->SendLength(), 3u);

    w.ALF->setChecked(true);
    bench.far2->Write("CD");
    QCOMPARE(bench.far1->ReadUntil(4), std::string("CD\r\n"));

    w.ACR->setChecked(false);
    bench.far1->Write(std::string("\x00\xFF", 2));
    QCOMPARE(bench.far2->ReadUntil(3), std::string("\x00\xFF\n", 3));

    w.ALF->setChecked(false);
    bench.far2->Write("E");
    QCOMPARE(bench.far1->ReadUntil(1), std::string("E"));
    QCOMPARE(bench.far1->ReadFor(50), std::string());

    // The log: received header, dump, then the forwarding header and the data line.
    const auto lines = PaneLines(w, w.Memo1);
    QVERIFY(lines.size() >= 4);
    QVERIFY(lines[0].rfind("P1:Rec  ", 0) == 0);
    QCOMPARE(lines[1], std::string(" 41 42                   : AB      "));
    QVERIFY(lines[2].rfind("P2:Snd ", 0) == 0);
    QCOMPARE(lines[2].size(), std::size_t{7 + 17 + 2});
    QCOMPARE(lines[3], std::string("AB"));
    QVERIFY(lines[4].rfind("P2:Rec  ", 0) == 0);
    QVERIFY(lines[6].rfind("P1:Snd ", 0) == 0);
    QCOMPARE(lines[7], std::string("CD"));
  }

  void slowerSecondPortLosesNothingWhenBlocksOverlap() {
    // Port 2 at 2400 baud needs about 170 ms a block; Port 1 delivers bursts at once.
    TSpyBench bench(false, 2400);
    QVERIFY(bench.Open());
    TVeltra& w = bench.w;
    std::string expected;
    std::size_t mostWaiting = 0;
    for (int burst = 0; burst < 10; ++burst) {
      std::string block;
      for (int i = 0; i < 40; ++i) block.push_back(static_cast<char>('a' + (burst + i) % 26));
      const std::size_t before = PaneLines(w, w.Memo1).size();
      bench.far1->Write(block);
      expected += block + "\r";
      // Each burst becomes its own block while Port 2 is still writing earlier ones.
      QTRY_VERIFY_WITH_TIMEOUT(PaneLines(w, w.Memo1).size() > before, 5000);
      mostWaiting = std::max(mostWaiting, w.Session2->Waiting());
    }
    QVERIFY(mostWaiting > 0);
    QCOMPARE(bench.far2->ReadUntil(expected.size(), 15000), expected);
    QVERIFY(!ErrorPaneMentions(w, "SendInProgress"));
    QVERIFY(!ErrorPaneMentions(w, "Not all Bytes send"));
    QCOMPARE(w.Session2->Waiting(), std::size_t{0});
  }

  // Over ttys, a byte at a time with no extra delay: the next one often comes before
  // the worker has noticed that the previous write ended, and must wait, not be refused.
  void singleBytesOverTtysAreAllRelayed() {
    Pty in, out;
    TVeltra w;
    w.ACR->setChecked(false);
    w.SerialPort1->SetCommPort(in.slave);
    w.SerialPort2->SetCommPort(out.slave);
    for (auto* port : {w.SerialPort1, w.SerialPort2}) port->SetRTOExtraDelayTime(0);
    w.SpyClick();
    QVERIFY(w.SerialPort1->Active() && w.SerialPort2->Active());
    std::string relayed;
    for (int i = 0; i < 150; ++i) {
      const char byte = static_cast<char>('a' + i % 26);
      QCOMPARE(::write(in.master, &byte, 1), ssize_t{1});
      pollfd p{out.master, POLLIN, 0};
      QVERIFY2(ServeUntil([&p] { return ::poll(&p, 1, 0) == 1; }, std::chrono::seconds(5)),
               "a byte was lost");
      char got[16];
      const ssize_t n = ::read(out.master, got, sizeof got);
      if (n > 0) relayed.append(got, static_cast<std::size_t>(n));
      // The next byte 0 to 2.7 ms later, to meet the previous write's end at every phase.
      ServeUntil([] { return false; }, std::chrono::microseconds(300 * (i % 10)));
    }
    QCOMPARE(relayed.size(), std::size_t{150});
    QVERIFY(!ErrorPaneMentions(w, "SendInProgress"));
  }

  // The application's own message boxes activate the window again when they close;
  // the relay goes on through them.
  void messageBoxesDoNotEndSpyMode() {
    veltra::app::TScopedRecordingDialogs dialogs;
    TSpyBench bench(true, 9600);
    QVERIFY(bench.Open());
    veltra::app::ShowMessage(&bench.w, "Log-Files where safed");
    QVERIFY(bench.w.SpyMode);
    bench.far1->Write("AB");
    QCOMPARE(bench.far2->ReadUntil(3), std::string("AB\r"));
  }

  void withoutSpyModeNothingIsForwarded() {
    TVeltra w;
    const auto [a1, b1] = NewPair();
    const auto [a2, b2] = NewPair();
    QVERIFY(OpenWindowPort(*w.SerialPort1, a1));
    QVERIFY(OpenWindowPort(*w.SerialPort2, a2));
    TFarDevice far1(b1), far2(b2);
    far1.Write("AB");
    QTRY_VERIFY_WITH_TIMEOUT(PaneLines(w, w.Memo1).size() >= 2, 5000);
    QCOMPARE(far2.ReadFor(100), std::string());
    QCOMPARE(PaneLines(w, w.Memo1).size(), std::size_t{2});
  }
};

QTEST_MAIN(TestSpyMode)
#include "test_spy_mode.moc"
