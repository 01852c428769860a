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

// The far end of a pair, opened directly through the platform layer.
class FarEnd {
 public:
  explicit FarEnd(const std::string& name)
      : handle_(win::CreateFileA(("\\\\.\\" + name).c_str(), win::GENERIC_READ | win::GENERIC_WRITE,
                                 0, nullptr, win::OPEN_EXISTING, win::FILE_FLAG_OVERLAPPED, 0)) {}
  ~FarEnd() { win::CloseHandle(handle_); }
  bool IsOpen() const { return handle_ != win::INVALID_HANDLE_VALUE; }
  win::DWORD Modem() const {
    win::DWORD status = 0;
    win::GetCommModemStatus(handle_, &status);
    return status;
  }
  // Waits until the modem status masked by `bits` equals `want`.
  bool WaitModem(TOwnerCallQueue& owner, win::DWORD bits, win::DWORD want) const {
    return owner.PumpUntil([&] { return (Modem() & bits) == want; }, 2s);
  }

 private:
  win::HANDLE handle_;
};

class OpenPort : public ::testing::Test {
 protected:
  VirtualPair pair;
  TOwnerCallQueue owner;
  std::unique_ptr<TSerialPort> port = std::make_unique<TSerialPort>(owner);
  ReportLog log;
  void SetUp() override {
    log.Attach(*port);
    port->SetCommPort(pair.a);
  }
  win::DCB Dcb() const {
    win::DCB dcb;
    EXPECT_TRUE(win::GetCommState(port->ComHandle(), &dcb));
    return dcb;
  }
};

TEST_F(OpenPort, OpeningRaisesDtrAndRtsAndClosingLowersThem) {
  FarEnd far(pair.b);
  ASSERT_TRUE(far.IsOpen());
  const win::DWORD lines = win::MS_CTS_ON | win::MS_DSR_ON | win::MS_RLSD_ON;
  port->SetActive(true);
  ASSERT_TRUE(port->Active());
  EXPECT_NE(port->ComHandle(), win::INVALID_HANDLE_VALUE);
  EXPECT_TRUE(port->RTSState());
  EXPECT_TRUE(port->DTRState());
  EXPECT_TRUE(far.WaitModem(owner, lines, lines));

  port->SetRTSState(false);
  EXPECT_FALSE(port->RTSState());
  EXPECT_TRUE(far.WaitModem(owner, lines, win::MS_DSR_ON | win::MS_RLSD_ON));

  port->SetActive(false);
  EXPECT_FALSE(port->RTSState());
  EXPECT_FALSE(port->DTRState());
  EXPECT_EQ(port->ComHandle(), win::INVALID_HANDLE_VALUE);
  EXPECT_TRUE(far.WaitModem(owner, lines, 0));
  // Stored states do not survive: the next open raises both lines again.
  port->SetActive(true);
  EXPECT_TRUE(port->RTSState());
  EXPECT_TRUE(far.WaitModem(owner, lines, lines));
  EXPECT_EQ(log.Find("Warning ThreadIsRunning"), nullptr);
}

TEST_F(OpenPort, DriverHoldsTheMappedDcbAndTimeouts) {
  port->SetFlowControl(0x2004);
  port->SetStripNullChars(true);
  port->SetXONChar('A');
  port->SetEventChar('\n');
  port->SetActive(true);
  ASSERT_TRUE(port->Active());
  win::DCB dcb = Dcb();
  EXPECT_EQ(dcb.Flags, 0x2805u);
  EXPECT_EQ(dcb.BaudRate, 9600u);
  EXPECT_EQ(dcb.XonLim, 1351);  // 4096 * 33 / 100, truncated
  EXPECT_EQ(dcb.XoffLim, 1351);
  EXPECT_EQ(dcb.XonChar, 'A');
  EXPECT_EQ(dcb.EvtChar, '\n');
  EXPECT_EQ(dcb.EofChar, 0);

  win::COMMTIMEOUTS timeouts;
  ASSERT_TRUE(win::GetCommTimeouts(port->ComHandle(), &timeouts));
  EXPECT_EQ(timeouts.ReadIntervalTimeout, win::MAXDWORD);
  EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 0u);
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
  EXPECT_EQ(log.Find("Error setting CommState, 87 indicate that Parms are incorrect"), nullptr);
}

TEST_F(OpenPort, RefusedStateIsReportedAsPlace802) {
  port->SetActive(true);
  log.reports.clear();
  port->SetDataBits(4);
  const Report* r = log.Find("Error setting CommState, 87 indicate that Parms are incorrect");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->place, 802u);
  EXPECT_EQ(r->code, win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Dcb().ByteSize, 8);  // the driver kept its previous state
}

TEST_F(OpenPort, RenamingReopensOnlyForANewName) {
  VirtualPair other;
  port->SetActive(true);
  log.reports.clear();
  port->SetCommPort(pair.a);
  EXPECT_TRUE(log.reports.empty());

  port->SetCommPort(other.a);
  EXPECT_EQ(log.Places(), (std::vector<Cardinal>{100, 110}));
  EXPECT_EQ(log.reports[0].msg, "Msg start deactivating Port");
  EXPECT_EQ(log.reports[1].msg, "Msg start reactivating Port");
  EXPECT_TRUE(port->Active());
  // The old end is free again.
  FarEnd old(pair.a);
  EXPECT_TRUE(old.IsOpen());
}

TEST_F(OpenPort, PortOpenElsewhereIsRefusedWithAccessDenied) {
  port->SetActive(true);
  ASSERT_TRUE(port->Active());
  TSerialPort second(owner);
  ReportLog secondLog;
  secondLog.Attach(second);
  second.SetCommPort(pair.a);
  second.SetActive(true);
  EXPECT_FALSE(second.Active());
  EXPECT_EQ(second.ComHandle(), win::INVALID_HANDLE_VALUE);
  const Report* r = secondLog.Find("Error reopening Port");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->place, 112u);
  EXPECT_EQ(r->code, win::ERROR_ACCESS_DENIED);
  EXPECT_TRUE(port->Active());
}

TEST_F(OpenPort, DestructionIsSilentEvenWhenTheCloseFails) {
  port->SetActive(true);
  ASSERT_TRUE(port->Active());
  platform::ControlVirtualEnd(pair.a)->Unplug();
  log.reports.clear();
  port.reset();
  EXPECT_TRUE(log.reports.empty());
}

TEST_F(OpenPort, ClosingAnUnpluggedPortReportsEachFailedStep) {
  port->SetActive(true);
  platform::ControlVirtualEnd(pair.a)->Unplug();
  log.reports.clear();
  port->SetActive(false);
  EXPECT_FALSE(port->Active());
  EXPECT_EQ(port->ComHandle(), win::INVALID_HANDLE_VALUE);
  const Report* r = log.Find("Error disabling CommEvents");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->code, win::ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_NE(log.Find("Error clearing Queues"), nullptr);
  EXPECT_NE(log.Find("Error clearing DTR"), nullptr);
  EXPECT_NE(log.Find("Error clearing RTS"), nullptr);
}

}  // namespace
}  // namespace veltra::engine::test
