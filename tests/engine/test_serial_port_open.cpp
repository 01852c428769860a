// TSerialPort opening, closing and driving a virtual port: the lines seen at the
// far end, the DCB and time-outs the driver holds, reopen messages, exclusivity and
// the silence of destruction.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "port_test_support.h"

namespace veltra::engine::test {
namespace {

using namespace std::chrono_literals;

class OpenPort : public ::testing::Test {
 protected:
  Cable pair;
  TOwnerCallQueue owner;
  std::unique_ptr<TSerialPort> port = std::make_unique<TSerialPort>(owner);
  ReportLog log;
  void SetUp() override {
    log.Attach(*port);
    port->SetCommPort(pair.near);
  }
  win::DCB Dcb() const {
    win::DCB dcb;
    EXPECT_TRUE(win::GetCommState(port->ComHandle(), &dcb));
    return dcb;
  }
};

TEST_F(OpenPort, OpeningRaisesDtrAndRtsAndClosingLowersThem) {
  const win::HANDLE far =
      win::CreateFileA(("\\\\.\\" + pair.far).c_str(), win::GENERIC_READ | win::GENERIC_WRITE, 0,
                       nullptr, win::OPEN_EXISTING, win::FILE_FLAG_OVERLAPPED, 0);
  const win::DWORD lines = win::MS_CTS_ON | win::MS_DSR_ON | win::MS_RLSD_ON;
  auto farLinesBecome = [&](win::DWORD want) {
    return owner.PumpUntil(
        [&] {
          win::DWORD status = 0;
          win::GetCommModemStatus(far, &status);
          return (status & lines) == want;
        },
        2s);
  };
  port->SetRTSState(false);  // closed: ignored, opening raises both anyway
  port->SetActive(true);
  ASSERT_TRUE(port->Active());
  EXPECT_TRUE(port->RTSState() && port->DTRState());
  EXPECT_TRUE(farLinesBecome(lines));
  port->SetRTSState(false);
  EXPECT_TRUE(farLinesBecome(win::MS_DSR_ON | win::MS_RLSD_ON));

  port->SetActive(false);
  EXPECT_FALSE(port->RTSState() || port->DTRState());
  EXPECT_EQ(port->ComHandle(), win::INVALID_HANDLE_VALUE);
  EXPECT_TRUE(farLinesBecome(0));
  EXPECT_EQ(log.Find("Warning ThreadIsRunning"), nullptr);
  win::CloseHandle(far);
}

TEST_F(OpenPort, DriverHoldsTheMappedDcbAndTimeouts) {
  port->SetFlowControl(0x2004);
  port->SetStripNullChars(true);
  port->SetXONChar('A');
  port->SetActive(true);
  ASSERT_TRUE(port->Active());
  win::DCB dcb = Dcb();
  EXPECT_EQ(dcb.Flags, 0x2805u);
  EXPECT_EQ(dcb.XonLim, 1351);  // 4096 * 33 / 100, truncated
  EXPECT_EQ(dcb.XonChar, 'A');
  win::COMMTIMEOUTS timeouts;
  ASSERT_TRUE(win::GetCommTimeouts(port->ComHandle(), &timeouts));
  EXPECT_EQ(timeouts.ReadIntervalTimeout, win::MAXDWORD);
  EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 0u);

  // Setters re-apply at once while open; the flags word is rebuilt from scratch.
  port->SetFlowControl(0);
  port->SetStripNullChars(false);
  port->SetParityType(3);
  port->SetParityErrorReplacement(true);
  port->SetXONLimDiv(50);
  port->SetBaudRate(19200);
  dcb = Dcb();
  EXPECT_EQ(dcb.Flags, 0x0403u);
  EXPECT_EQ(dcb.Parity, 3);
  EXPECT_EQ(dcb.XonLim, 2048);
  EXPECT_EQ(dcb.BaudRate, 19200u);

  log.reports.clear();
  port->SetDataBits(4);
  EXPECT_EQ(log.reports.at(0), (Report{802, win::ERROR_INVALID_PARAMETER,
                                       "Error setting CommState, 87 indicate that Parms are "
                                       "incorrect",
                                       0}));
  EXPECT_EQ(Dcb().ByteSize, 8);  // the driver kept its previous state
}

TEST_F(OpenPort, RenamingReopensOnlyForANewName) {
  Cable other;
  port->SetActive(true);
  log.reports.clear();
  port->SetCommPort(pair.near);
  EXPECT_TRUE(log.reports.empty());
  port->SetCommPort(other.near);
  EXPECT_EQ(log.Places(), (std::vector<Cardinal>{100, 110}));
  EXPECT_EQ(log.reports[0].msg, "Msg start deactivating Port");
  EXPECT_TRUE(port->Active());
}

TEST_F(OpenPort, PortOpenElsewhereIsRefusedWithAccessDenied) {
  port->SetActive(true);
  TSerialPort second(owner);
  ReportLog secondLog;
  secondLog.Attach(second);
  second.SetCommPort(pair.near);
  second.SetActive(true);
  EXPECT_FALSE(second.Active());
  EXPECT_EQ(secondLog.reports.back(),
            (Report{112, win::ERROR_ACCESS_DENIED, "Error reopening Port", 0}));
  EXPECT_TRUE(port->Active());
}

TEST_F(OpenPort, UnpluggedPortReportsItsCloseButNotWhileDestroying) {
  port->SetActive(true);
  pair.Near()->Unplug();
  log.reports.clear();
  port->SetActive(false);
  ASSERT_NE(log.Find("Error disabling CommEvents"), nullptr);
  EXPECT_EQ(log.Find("Error disabling CommEvents")->code, win::ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_NE(log.Find("Error clearing RTS"), nullptr);

  port->SetCommPort(pair.far);
  port->SetActive(true);
  pair.Far()->Unplug();
  log.reports.clear();
  port.reset();
  EXPECT_TRUE(log.reports.empty());
}

}  // namespace
}  // namespace veltra::engine::test
