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
  port.SetXOFFLimDiv(255);
  EXPECT_EQ(port.XONLimDiv(), 100);
  EXPECT_EQ(port.XOFFLimDiv(), 100);
  ASSERT_EQ(log.reports.size(), 2u);
  EXPECT_EQ(log.reports[0], (Report{100, 150, "Warning XOnLimDef set to 100", 1}));
  EXPECT_EQ(log.reports[1], (Report{100, 255, "Warning XOffLimDef set to 100", 1}));
  port.SetXONLimDiv(100);
  port.SetXOFFLimDiv(0);
  EXPECT_EQ(log.reports.size(), 2u);
}

struct DelayRow {
  Cardinal baud, delay;
};
class CharDelayTable : public ::testing::TestWithParam<DelayRow> {};

TEST_P(CharDelayTable, BaudRateSetsBothDelaysWhenAuto) {
  TOwnerCallQueue owner;
  TSerialPort port(owner);
  port.SetBaudRate(GetParam().baud);
  EXPECT_EQ(port.RTOCharDelayTime(), GetParam().delay);
  EXPECT_EQ(port.WTOCharDelayTime(), GetParam().delay);
}

// Rates between rows take the lower row; below the table 1100 stays.
INSTANTIATE_TEST_SUITE_P(Rates, CharDelayTable,
                         ::testing::Values(DelayRow{115000, 190}, DelayRow{115200, 95},
                                           DelayRow{50, 1100}, DelayRow{110, 100000},
                                           DelayRow{31250, 570}, DelayRow{4000000, 43}));

TEST_F(ClosedPort, XTOAutoOffKeepsDelaysAndOnRecomputes) {
  port.SetXTOAuto(false);
  port.SetBaudRate(115200);
  EXPECT_EQ(port.RTOCharDelayTime(), 1100u);
  port.SetXTOAuto(true);
  EXPECT_EQ(port.RTOCharDelayTime(), 95u);
  // Ticked again after a manual change: the component works the timing out again.
  port.SetWTOCharDelayTime(5);
  port.SetXTOAuto(true);
  EXPECT_EQ(port.WTOCharDelayTime(), 95u);
}

TEST_F(ClosedPort, LineWritesAreIgnoredButQueueSizesStored) {
  port.SetRTSState(false);
  port.SetDTRState(false);
  port.SetBREAKState(true);
  EXPECT_TRUE(port.RTSState() && port.DTRState() && !port.BREAKState());
  EXPECT_TRUE(log.reports.empty());

  port.SetRxQueueSize(1024);
  port.SetTxQueueSize(2048);
  EXPECT_EQ(port.RxQueueSize(), 1024);
  EXPECT_EQ(port.TxQueueSize(), 2048);
  EXPECT_EQ(log.reports.at(0),
            (Report{101, win::ERROR_INVALID_HANDLE, "Error can not set Quesize", 0}));
  EXPECT_EQ(log.reports.at(1).place, 102u);
}

// A bare name is a tty under /dev on POSIX and a device name on Windows.
#ifdef _WIN32
constexpr const char* kMissingPortText = "No such device: ttyVeltraNoSuchDevice.";
#else
constexpr const char* kMissingPortText = "No such device: /dev/ttyVeltraNoSuchDevice.";
#endif

TEST_F(ClosedPort, MissingPortReportsTheSystemErrorAndStaysClosed) {
  port.SetCommPort("ttyVeltraNoSuchDevice");
  port.SetActive(true);
  EXPECT_FALSE(port.Active());
  EXPECT_EQ(port.ComHandle(), win::INVALID_HANDLE_VALUE);
  ASSERT_EQ(log.Places(), (std::vector<Cardinal>{110, 112, 113}));
  EXPECT_EQ(log.reports[1], (Report{112, win::ERROR_FILE_NOT_FOUND, "Error reopening Port", 0}));
  EXPECT_EQ(log.reports[2], (Report{113, win::ERROR_FILE_NOT_FOUND,
                                    kMissingPortText, 0}));
  EXPECT_EQ(port.LastOpenFailure(), log.reports[2].msg);
}

TEST_F(ClosedPort, ErrorNoiseFiltersByLevel) {
  port.SetCommPort("ttyVeltraNoSuchDevice");
  for (Byte noise : {0, 1}) {
    log.reports.clear();
    port.SetErrorNoise(noise);
    port.SetActive(true);
    port.SetXONLimDiv(200);
    const std::vector<Cardinal> expected =
        noise == 0 ? std::vector<Cardinal>{112, 113} : std::vector<Cardinal>{112, 113, 100};
    EXPECT_EQ(log.Places(), expected);
  }
}

}  // namespace
}  // namespace veltra::engine::test
