// drawer against a private CUPS daemon: the job's bytes and title, the drawer and
// times, the default printer, and no printer at all.
#include <gtest/gtest.h>

#include "cli_test_support.h"
#include "tests/printer/cups_fixture.h"

namespace veltra::cli::test {
namespace {

using veltra::testing::PrivateCups;

std::string Kick(int drawer, int on, int off) {
  return std::string{27,
                     61,
                     1,
                     27,
                     64,
                     27,
                     112,
                     static_cast<char>(drawer),
                     static_cast<char>(on),
                     static_cast<char>(off)};
}

TEST(CliDrawer, KicksTheDrawerAsOneRawJob) {
  PrivateCups cups;
  ASSERT_TRUE(cups.Ready()) << cups.Failure();
  ASSERT_TRUE(cups.AddRawQueue("bon") && cups.AddRawQueue("kasse") && cups.SetDefault("kasse"));
  const TResult sent = RunCli({"drawer", "--printer", "bon"});
  EXPECT_EQ(sent.code, 0) << sent.err;
  EXPECT_EQ(sent.out, "Cash-Drawer-Signal sent to 'bon'\n");
  EXPECT_EQ(RunCli({"drawer", "--drawer", "2", "--on", "25", "--off", "27"}).code, 0);
  ASSERT_TRUE(cups.WaitUntilIdle(10s)) << cups.ErrorLog();
  const auto bon = cups.Captured("bon");
  ASSERT_EQ(bon.size(), 1u);
  EXPECT_EQ(bon[0].data, Kick(0, 25, 50));
  EXPECT_EQ(bon[0].title, "CashDrawerSignal");
  const auto kasse = cups.Captured("kasse");  // the default printer
  ASSERT_EQ(kasse.size(), 1u);
  EXPECT_EQ(kasse[0].data, Kick(1, 12, 14));
  const TResult refused = RunCli({"drawer", "--printer", "nosuchqueue"});
  EXPECT_EQ(refused.code, 1);
  EXPECT_NE(refused.err.find("Cash-Drawer-Signal not sent to 'nosuchqueue'"), std::string::npos);
}

TEST(CliDrawer, NoPrinterAsksForOne) {
  PrivateCups cups;
  ASSERT_TRUE(cups.Ready()) << cups.Failure();
  const TResult r = RunCli({"drawer"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("Please define first the Printer"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace veltra::cli::test
