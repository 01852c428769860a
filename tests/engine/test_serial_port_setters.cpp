// TSerialPort on a closed port: setters, the char delay table, the noise filter and
// the reports of a failed open.
#include <gtest/gtest.h>

#include "port_test_support.h"

namespace veltra::engine::test {
namespace {

class ClosedPort : public ::testing::Test {
 protected:
  TOwnerCallQueue owner;
  TSerialPort port{owner};
  ReportLog log;
  void SetUp() override { log.Attach(port); }
};

TEST_F(ClosedPort, LimitsAbove100AreClampedAndWarned) {
  port.SetXONLimDiv(150);
  EXPECT_EQ(port.XONLimDiv(), 100);
  ASSERT_EQ(log.reports.size(), 1u);
  EXPECT_EQ(log.reports[0].place, 100u);
  EXPECT_EQ(log.reports[0].code, 150u);
  EXPECT_EQ(log.reports[0].noise, 1);
  EXPECT_EQ(log.reports[0].msg, "Warning XOnLimDef set to 100");

  port.SetXOFFLimDiv(255);
  EXPECT_EQ(port.XOFFLimDiv(), 100);
  EXPECT_EQ(log.reports.back().msg, "Warning XOffLimDef set to 100");
  EXPECT_EQ(log.reports.back().code, 255u);

  log.reports.clear();
  port.SetXONLimDiv(100);
  port.SetXOFFLimDiv(0);
  EXPECT_TRUE(log.reports.empty());
  EXPECT_EQ(port.XOFFLimDiv(), 0);
}

struct DelayRow {
  Cardinal baud;
  Cardinal delay;
};

class CharDelayTable : public ::testing::TestWithParam<DelayRow> {};

TEST_P(CharDelayTable, BaudRateSetsBothDelaysWhenAuto) {
  TOwnerCallQueue owner;
  TSerialPort port(owner);
  port.SetBaudRate(GetParam().baud);
  EXPECT_EQ(CharDelayForBaudRate(GetParam().baud), GetParam().delay);
  EXPECT_EQ(port.RTOCharDelayTime(), GetParam().delay);
  EXPECT_EQ(port.WTOCharDelayTime(), GetParam().delay);
}

// Rates between rows take the lower row; below the table 1100 stays.
INSTANTIATE_TEST_SUITE_P(Rates, CharDelayTable,
                         ::testing::Values(DelayRow{115000, 190}, DelayRow{115200, 95},
                                           DelayRow{50, 1100}, DelayRow{109, 1100},
                                           DelayRow{110, 100000}, DelayRow{31250, 570},
                                           DelayRow{256000, 43}, DelayRow{4000000, 43}));

TEST_F(ClosedPort, XTOAutoOffKeepsDelaysAndOnRecomputes) {
  port.SetXTOAuto(false);
  port.SetBaudRate(115200);
  EXPECT_EQ(port.RTOCharDelayTime(), 1100u);
  port.SetRTOCharDelayTime(7);
  port.SetXTOAuto(false);
  EXPECT_EQ(port.RTOCharDelayTime(), 7u);
  port.SetXTOAuto(true);
  EXPECT_EQ(port.RTOCharDelayTime(), 95u);
  EXPECT_EQ(port.WTOCharDelayTime(), 95u);
  // Ticked again after a manual change: the component works the timing out again.
  port.SetWTOCharDelayTime(5);
  port.SetXTOAuto(true);
  EXPECT_EQ(port.WTOCharDelayTime(), 95u);
}

TEST_F(ClosedPort, LineWritesAreIgnoredWhileClosed) {
  port.SetRTSState(false);
  port.SetDTRState(false);
  port.SetBREAKState(true);
  EXPECT_TRUE(port.RTSState());
  EXPECT_TRUE(port.DTRState());
  EXPECT_FALSE(port.BREAKState());
  EXPECT_TRUE(log.reports.empty());
}

TEST_F(ClosedPort, QueueSizesAreStoredDespiteTheFailedSetup) {
  port.SetRxQueueSize(1024);
  EXPECT_EQ(port.RxQueueSize(), 1024);
  ASSERT_NE(log.Find("Error can not set Quesize"), nullptr);
  EXPECT_EQ(log.reports.back().place, 101u);
  EXPECT_EQ(log.reports.back().code, win::ERROR_INVALID_HANDLE);
  port.SetTxQueueSize(2048);
  EXPECT_EQ(port.TxQueueSize(), 2048);
  EXPECT_EQ(log.reports.back().place, 102u);
}

TEST_F(ClosedPort, MissingPortReportsTheSystemErrorAndStaysClosed) {
  port.SetCommPort("ttyVeltraNoSuchDevice");
  EXPECT_TRUE(log.reports.empty());  // renaming a closed port opens nothing
  port.SetActive(true);
  EXPECT_FALSE(port.Active());
  EXPECT_EQ(port.ComHandle(), win::INVALID_HANDLE_VALUE);
  ASSERT_EQ(log.Places(), (std::vector<Cardinal>{110, 112}));
  EXPECT_EQ(log.reports[1].msg, "Error reopening Port");
  EXPECT_EQ(log.reports[1].code, win::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(log.reports[1].noise, 0);
}

TEST_F(ClosedPort, ErrorNoiseFiltersByLevel) {
  port.SetCommPort("ttyVeltraNoSuchDevice");
  port.SetErrorNoise(0);
  port.SetActive(true);
  port.SetXONLimDiv(200);
  EXPECT_EQ(log.Places(), (std::vector<Cardinal>{112}));

  log.reports.clear();
  port.SetErrorNoise(1);
  port.SetActive(true);
  port.SetXONLimDiv(200);
  EXPECT_EQ(log.Places(), (std::vector<Cardinal>{112, 100}));
}

TEST(SerialPortLifecycle, NewComponentHasTheInitialValues) {
  TOwnerCallQueue owner;
  TSerialPort port(owner);
  EXPECT_EQ(port.CommPort(), "COM2");
  EXPECT_EQ(port.BaudRate(), 9600u);
  EXPECT_EQ(port.ErrorNoise(), 255);
  EXPECT_EQ(port.XONChar(), 17);
  EXPECT_EQ(port.XOFFChar(), 19);
  EXPECT_EQ(port.ClusterSize(), 3072);
  EXPECT_FALSE(port.Active());
  EXPECT_EQ(port.ComHandle(), win::INVALID_HANDLE_VALUE);
  EXPECT_EQ(port.PlatformID(), 2);
  EXPECT_FALSE(port.ThreadBusy());
}

TEST(SerialPortLifecycle, LongNamesAreCutTo255) {
  TOwnerCallQueue owner;
  TSerialPort port(owner);
  port.SetCommPort(std::string(300, 'x'));
  EXPECT_EQ(port.CommPort().size(), 255u);
}

}  // namespace
}  // namespace veltra::engine::test
