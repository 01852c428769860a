// The whole Win32 path over a kernel tty: CreateFileA on a pty slave, then the
// driver's calls, with the pty master as the device at the far end.
#include <asm/termbits.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <string>

#include "tests/platform/test_driver_support.h"
#include "tests/platform/test_posix_pty.h"

namespace veltra::test {
namespace {

TEST(PosixComm, OpenConfigureWriteReadAndWaitForEvents) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  Port port(pty.slave());
  ASSERT_TRUE(port.ok()) << GetLastError();
  SetLine(port.h(), 256000, 8, NOPARITY, TWOSTOPBITS, DCB_fBinary | DCB_fOutxCtsFlow | 0x2000u);
  termios2 t{};
  ASSERT_EQ(ioctl(pty.master(), TCGETS2, &t), 0);
  EXPECT_EQ(t.c_ospeed, 256000u);
  EXPECT_EQ(t.c_cflag & (CSTOPB | CRTSCTS), static_cast<tcflag_t>(CSTOPB | CRTSCTS));
  ImmediateReads(port.h());
  ASSERT_TRUE(SetCommMask(port.h(), EV_RXCHAR | EV_TXEMPTY));

  Overlapped wait;
  DWORD mask = 0;
  const bool waitDone = WaitCommEvent(port.h(), &mask, &wait.ov);
  ASSERT_TRUE(waitDone || GetLastError() == ERROR_IO_PENDING);
  ASSERT_TRUE(pty.Write(std::string("ping\0\377", 6)));
  ASSERT_TRUE(wait.Signalled(3000));
  EXPECT_NE(mask & EV_RXCHAR, 0u);
  EXPECT_EQ(Receive(port.h(), 6), std::string("ping\0\377", 6));

  const bool waitDone2 = WaitCommEvent(port.h(), &mask, &wait.ov);
  ASSERT_TRUE(waitDone2 || GetLastError() == ERROR_IO_PENDING);
  ASSERT_TRUE(Send(port.h(), "pong\r\n"));
  EXPECT_EQ(pty.Read(6), "pong\r\n");
  ASSERT_TRUE(wait.Signalled(3000));
  EXPECT_NE(mask & EV_TXEMPTY, 0u);
  // A pty drops parity and data size, which must not fail the state.
  SetLine(port.h(), 9600, 7, EVENPARITY);
}

TEST(PosixComm, MasterGoneFailsLaterCallsWithDeviceNotConnected) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  Port port(pty.slave());
  ASSERT_TRUE(port.ok());
  ImmediateReads(port.h());
  pty.CloseMaster();
  EXPECT_TRUE(WaitUntil([&] {
    DWORD errors = 0;
    COMSTAT stat;
    return !ClearCommError(port.h(), &errors, &stat) &&
           GetLastError() == ERROR_DEVICE_NOT_CONNECTED;
  }));
  Overlapped o;
  char buffer[8];
  DWORD got = 0;
  EXPECT_FALSE(ReadFile(port.h(), buffer, sizeof buffer, &got, &o.ov));
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
  DCB dcb;
  dcb.BaudRate = 9600;
  EXPECT_FALSE(SetCommState(port.h(), &dcb));
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
}

}  // namespace
}  // namespace veltra::test
