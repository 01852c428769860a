// The spooler calls and TRAWPrinter against a private CUPS daemon: the bytes that
// reach the device, job titles, the printer list, the default printer, aborts and
// an unreachable server.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include "platform/core/comm_api.h"
#include "printer/raw_printer.h"
#include "tests/printer/cups_fixture.h"

namespace veltra::printer {
namespace {

using testing::PrivateCups;
using namespace std::chrono_literals;

class CupsSpoolerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(cups.Ready()) << cups.Failure();
    ASSERT_TRUE(cups.AddRawQueue("drawer")) << cups.ErrorLog();
  }
  // Waits for the spooler to finish, then the one job that reached `queue`.
  testing::CapturedJob OnlyJob(const std::string& queue) {
    EXPECT_TRUE(cups.WaitUntilIdle(10s)) << cups.ErrorLog();
    const auto jobs = cups.Captured(queue);
    EXPECT_EQ(jobs.size(), 1u) << cups.ErrorLog();
    return jobs.empty() ? testing::CapturedJob{} : jobs.front();
  }

  PrivateCups cups;
};

TEST_F(CupsSpoolerTest, DaemonIsReachableOnlyThroughItsSocket) {
  EXPECT_FALSE(testing::ListensOnTcp(cups.Pid()));
  EXPECT_EQ(std::string(std::getenv("CUPS_SERVER")), cups.SocketPath());
}

TEST_F(CupsSpoolerTest, EveryByteReachesTheDeviceUnchangedAsOneJob) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  TRAWPrinter printer;
  printer.SetDocumentTitle("CashDrawerSignal");
  printer.SetPrinterName("drawer");
  ASSERT_TRUE(printer.OpenDocument());
  EXPECT_TRUE(printer.WriteString(all));
  EXPECT_TRUE(printer.WriteString(std::string("\r\n\0\x1b", 4)));
  EXPECT_TRUE(printer.CloseDocument());
  const auto job = OnlyJob("drawer");
  EXPECT_EQ(job.data, all + std::string("\r\n\0\x1b", 4));
  EXPECT_EQ(job.title, "CashDrawerSignal");
}

TEST_F(CupsSpoolerTest, AbortedDocumentPrintsNothing) {
  {
    TRAWPrinter printer;
    printer.SetPrinterName("drawer");
    ASSERT_TRUE(printer.OpenDocument());
    printer.WriteString("half a receipt");
    EXPECT_TRUE(printer.AbortDocument());
    EXPECT_EQ(printer.PrintState(), 0);
    // The destructor's abort: a document left open never prints either.
    ASSERT_TRUE(printer.OpenDocument());
    printer.WriteString("left open");
  }
  ASSERT_TRUE(cups.WaitUntilIdle(10s));
  EXPECT_TRUE(cups.Captured("drawer").empty());
  const auto jobs = cups.Jobs();
  ASSERT_EQ(jobs.size(), 2u);
  for (const auto& job : jobs) EXPECT_EQ(job.state, 7) << job.id;
}

TEST_F(CupsSpoolerTest, PrinterListAndDefaultEntry) {
  ASSERT_TRUE(cups.AddRawQueue("bon"));
  EXPECT_EQ(win::EnumPrinterNames(), (std::vector<std::string>{"bon", "drawer"}));

  char entry[256];
  EXPECT_EQ(win::GetProfileStringA("windows", "device", "none", entry, sizeof entry), 4u);
  EXPECT_STREQ(entry, "none");  // no default destination yet
  ASSERT_TRUE(cups.SetDefault("drawer"));
  win::GetProfileStringA("windows", "device", "", entry, sizeof entry);
  EXPECT_EQ(std::string(entry), "drawer,CUPS," + cups.SocketPath());
  EXPECT_EQ(win::GetProfileStringA("windows", "device", "", entry, 4), 3u);
  EXPECT_STREQ(entry, "dra");
  EXPECT_EQ(win::GetProfileStringA("windows", "other", "x", entry, sizeof entry), 1u);
}

TEST_F(CupsSpoolerTest, EmptyPrinterNamePrintsOnTheDefaultDestination) {
  ASSERT_TRUE(cups.AddRawQueue("bon"));
  ASSERT_TRUE(cups.SetDefault("bon"));
  TRAWPrinter printer;
  ASSERT_TRUE(printer.OpenDocument());
  EXPECT_EQ(printer.PrinterName(), "bon");
  printer.WriteString("default");
  printer.CloseDocument();
  EXPECT_EQ(OnlyJob("bon").data, "default");
}

TEST_F(CupsSpoolerTest, UnknownPrinterAndMisuseAreRefused) {
  TRAWPrinter printer;
  printer.SetPrinterName("no-such-queue");
  EXPECT_FALSE(printer.OpenDocument());
  EXPECT_EQ(printer.PrintState(), 0);

  win::HANDLE handle = 0;
  ASSERT_TRUE(win::OpenPrinterA("drawer", &handle, nullptr));
  win::DWORD written = 1;
  EXPECT_FALSE(win::WritePrinter(handle, "x", 1, &written));  // no document
  EXPECT_EQ(written, 0u);
  win::DOC_INFO_1A text{"t", nullptr, "TEXT"};
  EXPECT_EQ(win::StartDocPrinterA(handle, 1, &text), 0u);
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_DATATYPE);
  win::DOC_INFO_1A raw{"t", nullptr, "RAW"};
  ASSERT_NE(win::StartDocPrinterA(handle, 1, &raw), 0u);
  EXPECT_FALSE(win::EndPagePrinter(handle));  // no page started
  EXPECT_TRUE(win::AbortPrinter(handle));
  EXPECT_FALSE(win::AbortPrinter(handle));  // nothing left to abort
  EXPECT_FALSE(win::EndDocPrinter(handle));
  EXPECT_TRUE(win::ClosePrinter(handle));
  EXPECT_FALSE(win::ClosePrinter(handle));  // stale handle
  EXPECT_FALSE(win::StartPagePrinter(handle));
}

// A server that takes the connection and never answers: the list comes back empty
// after the short query time-out instead of freezing its caller.
TEST(CupsUnreachable, SilentServerCostsOnlyAShortWait) {
  char dir[] = "/tmp/veltra-silent-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/cups.sock";
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 4), 0);  // never accepted: the backlog lets clients in
  {
    testing::CupsClientEnvironment env(path, dir);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(win::EnumPrinterNames().empty());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
  }
  close(listener);
  unlink(path.c_str());
  rmdir(dir);
}

}  // namespace
}  // namespace veltra::printer
