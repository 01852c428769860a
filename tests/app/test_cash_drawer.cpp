// "Send Signal" in the real window against a private CUPS daemon: the exact bytes
// and title of the job, the drawer and time choices, the printer list, and what the
// user sees when there is no printer or the printer refuses the job.
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QtTest>

#include <chrono>
#include <memory>

#include "app/veltra.h"
#include "printer/raw_printer.h"
#include "printer/spooler/spooler.h"
#include "tests/printer/cups_fixture.h"

using veltra::app::TScopedRecordingDialogs;
using veltra::app::TVeltra;
using veltra::testing::PrivateCups;
using namespace std::chrono_literals;

namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (int v : values) bytes.push_back(static_cast<char>(v));
  return bytes;
}

const std::string kSelectAndInit = Bytes({27, 61, 1, 27, 64});

// The system spooler, with the writes handed to it counted.
class CountingSpooler final : public veltra::win::SpoolerBackend {
 public:
  using BOOL = veltra::win::BOOL;
  using DWORD = veltra::win::DWORD;
  using HANDLE = veltra::win::HANDLE;
  SpoolerBackend& real = veltra::win::SystemSpooler();
  int writes = 0;

  BOOL OpenPrinter(const char* name, HANDLE* printer, void* defaults) override {
    return real.OpenPrinter(name, printer, defaults);
  }
  DWORD StartDocPrinter(HANDLE p, DWORD level, const veltra::win::DOC_INFO_1A* info) override {
    return real.StartDocPrinter(p, level, info);
  }
  BOOL StartPagePrinter(HANDLE p) override { return real.StartPagePrinter(p); }
  BOOL WritePrinter(HANDLE p, const void* buffer, DWORD count, DWORD* written) override {
    ++writes;
    return real.WritePrinter(p, buffer, count, written);
  }
  BOOL EndPagePrinter(HANDLE p) override { return real.EndPagePrinter(p); }
  BOOL EndDocPrinter(HANDLE p) override { return real.EndDocPrinter(p); }
  BOOL AbortPrinter(HANDLE p) override { return real.AbortPrinter(p); }
  BOOL ClosePrinter(HANDLE p) override { return real.ClosePrinter(p); }
  DWORD GetProfileString(const char* s, const char* k, const char* f, char* out,
                         DWORD size) override {
    return real.GetProfileString(s, k, f, out, size);
  }
  std::vector<std::string> EnumPrinterNames() override { return real.EnumPrinterNames(); }
};

}  // namespace

class TestCashDrawer : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<PrivateCups> cups;
  std::unique_ptr<TScopedRecordingDialogs> dialogs;
  std::unique_ptr<TVeltra> window;

  // A daemon with these queues, then the window, shown (its activation fills the list).
  void Start(std::initializer_list<const char*> queues) {
    cups = std::make_unique<PrivateCups>();
    QVERIFY2(cups->Ready(), cups->Failure().c_str());
    for (const char* queue : queues) QVERIFY(cups->AddRawQueue(queue));
    dialogs = std::make_unique<TScopedRecordingDialogs>();
    window = std::make_unique<TVeltra>();
    window->show();
    for (int i = 0; i < window->PageControl1->count(); ++i) {
      if (window->PageControl1->widget(i)->isAncestorOf(window->JvHTButton1)) {
        window->PageControl1->setCurrentIndex(i);
      }
    }
    QVERIFY(window->JvHTButton1->isVisible());
  }
  void Click() { QTest::mouseClick(window->JvHTButton1, Qt::LeftButton); }
  std::vector<veltra::testing::CapturedJob> JobsOf(const char* queue) {
    if (!cups->WaitUntilIdle(10s)) qWarning("%s", cups->ErrorLog().c_str());
    return cups->Captured(queue);
  }

 private slots:
  void cleanup() {
    window.reset();
    dialogs.reset();
    cups.reset();
  }

  void sendsTheKickAsOneRawJob() {
    Start({"bon", "kasse"});
    QCOMPARE(window->PrinterC->count(), 2);
    QCOMPARE(window->PrinterC->currentText(), QStringLiteral("bon"));
    CountingSpooler counting;
    veltra::win::SetSpoolerBackend(&counting);
    Click();
    veltra::win::SetSpoolerBackend(nullptr);
    QCOMPARE(counting.writes, 2);
    QCOMPARE(window->Mess->text(), QStringLiteral("Cash-Drawer-Signal sent"));
    QCOMPARE(window->DDruck->PrintState(), 0);
    const auto jobs = JobsOf("bon");
    QCOMPARE(jobs.size(), std::size_t{1});
    QCOMPARE(jobs[0].data, kSelectAndInit + Bytes({27, 112, 0, 25, 50}));
    QCOMPARE(jobs[0].title, std::string("CashDrawerSignal"));
    QVERIFY(JobsOf("kasse").empty());
    QVERIFY(dialogs->Recorder.Boxes.empty());

    QVERIFY(cups->AddRawQueue("a-first"));  // the list follows the spooler at activation
    window->FormActivate();
    QCOMPARE(window->PrinterC->count(), 3);
    QCOMPARE(window->PrinterC->currentText(), QStringLiteral("a-first"));
  }

  void drawerAndTimesChangeOnlyThePulseBytes() {
    Start({"bon", "kasse"});
    window->PrinterC->setCurrentIndex(1);
    window->RBDrawer2->setChecked(true);
    Click();
    window->OnTime->setValue(25);
    window->OffTime->setValue(27);
    Click();
    window->RBDrawer1->setChecked(true);
    window->OnTime->setValue(510);  // the largest time whose half still fits a byte
    window->OffTime->setValue(0);
    Click();
    const auto jobs = JobsOf("kasse");
    QCOMPARE(jobs.size(), std::size_t{3});
    QCOMPARE(jobs[0].data, kSelectAndInit + Bytes({27, 112, 1, 25, 50}));
    QCOMPARE(jobs[1].data, kSelectAndInit + Bytes({27, 112, 1, 12, 14}));
    QCOMPARE(jobs[2].data, kSelectAndInit + Bytes({27, 112, 0, 255, 0}));
    QVERIFY(JobsOf("bon").empty());
  }

  void noPrinterAsksForOne() {
    Start({});
    QCOMPARE(window->PrinterC->count(), 0);
    Click();
    QCOMPARE(dialogs->Recorder.Boxes.size(), std::size_t{1});
    QCOMPARE(dialogs->Recorder.Boxes[0].Text, QStringLiteral("Please define first the Printer"));
    QCOMPARE(window->Mess->text(), QStringLiteral("Idle"));
    QVERIFY(cups->Jobs().empty());
  }

  void noReachableSpoolerMeansNoPrinters() {
    veltra::testing::CupsClientEnvironment nowhere("/tmp/veltra-no-such-dir/cups.sock", "/tmp");
    dialogs = std::make_unique<TScopedRecordingDialogs>();
    window = std::make_unique<TVeltra>();
    window->show();
    QCOMPARE(window->PrinterC->count(), 0);
    Click();
    QCOMPARE(dialogs->Recorder.Boxes.size(), std::size_t{1});
  }

  // The user is told, nothing half-done stays open, and the next printer works.
  void refusedJobIsReportedAndLeavesNothingOpen() {
    Start({"bon", "kasse"});
    QVERIFY(cups->RejectJobs("bon"));
    Click();
    QCOMPARE(window->Mess->text(), QStringLiteral("Cash-Drawer-Signal not sent"));
    QCOMPARE(window->DDruck->PrintState(), 0);
    window->PrinterC->setCurrentIndex(1);
    Click();
    QCOMPARE(window->Mess->text(), QStringLiteral("Cash-Drawer-Signal sent"));
    QCOMPARE(JobsOf("kasse").size(), std::size_t{1});
    QVERIFY(JobsOf("bon").empty());
  }
};

QTEST_MAIN(TestCashDrawer)
#include "test_cash_drawer.moc"
