// The tty lower half on real kernel ptys: what the kernel holds after Configure
// (read from the master side, independently of the layer's own read-back),
// exclusive opening, bytes both ways, pausing and purging.
#include <asm/termbits.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <time.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "platform/driver/uart.h"
#include "platform/tty/uart_posix_seam.h"
#include "tests/platform/test_posix_pty.h"
#include "tests/platform/test_posix_sink.h"

namespace veltra::test {
namespace {

using namespace veltra::win;
using platform::OpenPosixUart;
using std::chrono::milliseconds;

termios2 MasterView(const Pty& pty) {
  termios2 t{};
  EXPECT_EQ(ioctl(pty.master(), TCGETS2, &t), 0);
  return t;
}

// --- what the kernel keeps -------------------------------------------------------

struct LineCase {
  DWORD baud;
  BYTE parity;
  BYTE stopBits;
  DWORD flags;
  tcflag_t cflagSet;    // must be set
  tcflag_t cflagClear;  // must be clear
};

class PtyLineSettings : public ::testing::TestWithParam<LineCase> {};

TEST_P(PtyLineSettings, ReadBackFromTheMasterSide) {
  const LineCase& c = GetParam();
  Pty pty;
  ASSERT_TRUE(pty.ok());
  OpenPort port(pty);
  ASSERT_NE(port.uart, nullptr);
  ASSERT_EQ(port.uart->Configure(LineDcb(c.baud, 8, c.parity, c.stopBits, c.flags)), 0u);
  const termios2 t = MasterView(pty);
  EXPECT_EQ(t.c_ospeed, c.baud);
  EXPECT_EQ(t.c_ispeed, c.baud);
  EXPECT_EQ(t.c_cflag & CBAUD, static_cast<tcflag_t>(BOTHER));
  EXPECT_EQ(t.c_cflag & c.cflagSet, c.cflagSet);
  EXPECT_EQ(t.c_cflag & c.cflagClear, 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u) << "raw mode";
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_iflag & (PARMRK | INPCK), 0u) << "a pty has no line errors to mark";
  EXPECT_EQ(t.c_iflag & (ICRNL | IXANY | ISTRIP | BRKINT | IGNBRK), 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    OddRatesParityStopBitsHandshake, PtyLineSettings,
    ::testing::Values(LineCase{115000, NOPARITY, ONESTOPBIT, DCB_fBinary, 0, CSTOPB | CRTSCTS},
                      LineCase{256000, NOPARITY, TWOSTOPBITS, DCB_fBinary, CSTOPB, CRTSCTS},
                      LineCase{31250, ODDPARITY, ONESTOPBIT, DCB_fBinary, PARODD, CMSPAR},
                      LineCase{9600, MARKPARITY, ONESTOPBIT, DCB_fBinary, CMSPAR | PARODD, 0},
                      LineCase{9600, SPACEPARITY, ONESTOPBIT, DCB_fBinary, CMSPAR, PARODD},
                      LineCase{57600, EVENPARITY, ONESTOPBIT, DCB_fBinary, 0, PARODD | CMSPAR},
                      LineCase{19200, NOPARITY, ONESTOPBIT, DCB_fBinary | DCB_fOutxCtsFlow, CRTSCTS,
                               CSTOPB},
                      LineCase{19200, NOPARITY, ONESTOPBIT, DCB_fBinary | 0x2000u, CRTSCTS, 0}));

TEST(PosixUartLine, XonXoffWithTheChosenCharacters) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  OpenPort port(pty);
  ASSERT_NE(port.uart, nullptr);
  DCB dcb = LineDcb(9600, 8, NOPARITY, ONESTOPBIT, DCB_fBinary | DCB_fOutX | DCB_fInX);
  dcb.XonChar = 0x01;
  dcb.XoffChar = 0x02;
  ASSERT_EQ(port.uart->Configure(dcb), 0u);
  termios2 t = MasterView(pty);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), static_cast<tcflag_t>(IXON | IXOFF));
  EXPECT_EQ(t.c_cc[VSTART], 0x01);
  EXPECT_EQ(t.c_cc[VSTOP], 0x02);
  dcb.Flags = DCB_fBinary;
  ASSERT_EQ(port.uart->Configure(dcb), 0u);
  EXPECT_EQ(MasterView(pty).c_iflag & (IXON | IXOFF), 0u);
}

TEST(PosixUartLine, ImpossibleSettingsAreRefusedAndTheOldOnesStay) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  OpenPort port(pty);
  ASSERT_NE(port.uart, nullptr);
  ASSERT_EQ(port.uart->Configure(LineDcb(38400, 5, ODDPARITY, ONE5STOPBITS)), 0u);
  EXPECT_NE(MasterView(pty).c_cflag & CSTOPB, 0u) << "1.5 stop bits with 5 data bits";
  EXPECT_EQ(port.uart->Configure(LineDcb(9600, 4)), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(port.uart->Configure(LineDcb(9600, 8, NOPARITY, ONE5STOPBITS)),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(port.uart->Configure(LineDcb(0)), ERROR_INVALID_PARAMETER);
  DCB sameXonXoff = LineDcb(9600, 8, NOPARITY, ONESTOPBIT, DCB_fBinary | DCB_fOutX);
  sameXonXoff.XonChar = sameXonXoff.XoffChar = 0x13;
  EXPECT_EQ(port.uart->Configure(sameXonXoff), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(MasterView(pty).c_ospeed, 38400u);
}

// --- opening ----------------------------------------------------------------------

TEST(PosixUartOpen, ExclusiveMissingAndNotATty) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  DWORD error = 0;
  auto first = OpenPosixUart(pty.slave(), &error);
  ASSERT_NE(first, nullptr) << error;
  EXPECT_EQ(OpenPosixUart(pty.slave(), &error), nullptr);
  EXPECT_EQ(error, ERROR_ACCESS_DENIED);
  first->Stop();
  first.reset();
  auto again = OpenPosixUart(pty.slave(), &error);
  EXPECT_NE(again, nullptr) << "closing gives the port back, got " << error;
  if (again) again->Stop();

  EXPECT_EQ(OpenPosixUart("ttyVeltraNoSuchPort", &error), nullptr);
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(OpenPosixUart("/dev/pts/99999", &error), nullptr);
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(OpenPosixUart("", &error), nullptr);
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(OpenPosixUart("/dev/null", &error), nullptr);
  EXPECT_EQ(error, ERROR_INVALID_FUNCTION);
  EXPECT_EQ(OpenPosixUart("/tmp", &error), nullptr);
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
}

// --- data both ways ---------------------------------------------------------------

TEST(PosixUartData, BytesFlowBothWaysIncludingFfAndNul) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  OpenPort port(pty);
  ASSERT_NE(port.uart, nullptr);
  ASSERT_EQ(port.uart->Configure(LineDcb(115200)), 0u);
  port.uart->Start(port.sink);

  std::string inbound;
  for (int i = 0; i < 20000; ++i) inbound.push_back(static_cast<char>(i * 7));
  inbound += std::string("\377\377\0\377\r\n", 6);
  ASSERT_TRUE(pty.Write(inbound));
  ASSERT_TRUE(port.sink.WaitFor([&] { return port.sink.received.size() >= inbound.size(); }));
  {
    std::lock_guard lock(port.sink.mutex);
    EXPECT_EQ(port.sink.received, inbound);
    EXPECT_EQ(port.sink.errors, 0u);
  }

  std::string outbound;
  for (int i = 0; i < 70000; ++i) outbound.push_back(static_cast<char>(i * 13 + 1));
  port.sink.Offer(outbound);
  port.uart->TransmitReady();
  EXPECT_EQ(pty.Read(outbound.size(), milliseconds(5000)), outbound);
  EXPECT_TRUE(port.sink.WaitFor([&] { return port.sink.empties > 0; }))
      << "the transmitter reports empty once everything has gone";
  EXPECT_EQ(port.uart->OutputPending(), 0u);
}

TEST(PosixUartData, PausedReceiveLeavesBytesToTheKernelUntilResumed) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  OpenPort port(pty);
  ASSERT_NE(port.uart, nullptr);
  port.uart->Start(port.sink);
  port.uart->PauseReceive(true);
  ASSERT_TRUE(pty.Write("held"));
  EXPECT_FALSE(port.sink.WaitFor([&] { return !port.sink.received.empty(); }, milliseconds(100)));
  port.uart->PauseReceive(false);
  EXPECT_TRUE(port.sink.WaitFor([&] { return port.sink.received == "held"; }));
}

// Bytes waiting in the slave's input queue, seen through a second descriptor
// opened before the port was (the layer's TIOCEXCL keeps later ones out).
bool WaitInKernel(int observer, int count) {
  int queued = 0;
  return WaitUntil([&] { return ioctl(observer, FIONREAD, &queued) == 0 && queued >= count; });
}

TEST(PosixUartData, PurgedInputIsGone) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  const int observer = open(pty.slave().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(observer, 0);
  OpenPort port(pty);
  ASSERT_NE(port.uart, nullptr);
  port.uart->Start(port.sink);
  port.uart->PauseReceive(true);
  ASSERT_TRUE(pty.Write("stale"));
  EXPECT_TRUE(WaitInKernel(observer, 5));
  port.uart->PurgeReceive();
  port.uart->PauseReceive(false);
  ASSERT_TRUE(pty.Write("fresh"));
  EXPECT_TRUE(port.sink.WaitFor([&] { return port.sink.received == "fresh"; }))
      << port.sink.received;
  close(observer);
}

// EscapeCommFunction SETXOFF: output stops as if XOFF had come, until SETXON.
TEST(PosixUartData, TransmitHeldAsIfXoffCame) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  OpenPort port(pty);
  ASSERT_NE(port.uart, nullptr);
  port.uart->Start(port.sink);
  ASSERT_EQ(port.uart->SetTransmitHeld(true), 0u);
  EXPECT_EQ(port.uart->HoldFlags(), COMSTAT_fXoffHold);
  port.sink.Offer("after xon");
  port.uart->TransmitReady();
  EXPECT_EQ(pty.Read(9, milliseconds(100)), "");
  ASSERT_EQ(port.uart->SetTransmitHeld(false), 0u);
  EXPECT_EQ(pty.Read(9), "after xon");
  EXPECT_EQ(port.uart->HoldFlags(), 0u);
}

// --- what a pty cannot do ---------------------------------------------------------

TEST(PosixUartPty, ModemCallsReportTheirErrorAndNothingBreaks) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  OpenPort port(pty);
  ASSERT_NE(port.uart, nullptr);
  port.uart->Start(port.sink);
  DWORD modem = 0xDEAD;
  EXPECT_EQ(port.uart->GetModemStatus(&modem), ERROR_INVALID_FUNCTION);
  EXPECT_EQ(port.uart->SetRts(true), ERROR_INVALID_FUNCTION);
  EXPECT_EQ(port.uart->SetDtr(false), ERROR_INVALID_FUNCTION);
  EXPECT_EQ(port.uart->HoldFlags(), 0u);
  port.uart->SetBreak(true);
  port.uart->SetBreak(false);
  ASSERT_TRUE(pty.Write("still fine"));
  EXPECT_TRUE(port.sink.WaitFor([&] { return port.sink.received == "still fine"; }));
}

// An idle port must not spin: its I/O thread sleeps in epoll.
TEST(PosixUartPty, IdlePortCostsNoCpu) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  OpenPort port(pty);
  ASSERT_NE(port.uart, nullptr);
  port.uart->Start(port.sink);
  timespec before{}, after{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &before);
  const auto start = std::chrono::steady_clock::now();
  // Time must pass to show that nothing runs meanwhile: there is no event to wait for.
  std::this_thread::sleep_for(milliseconds(400));
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &after);
  const double cpu = (after.tv_sec - before.tv_sec) + (after.tv_nsec - before.tv_nsec) / 1e9;
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  // 0.5 % is the goal; 5 % leaves room for a loaded machine yet catches any busy loop.
  EXPECT_LT(cpu / wall, 0.05);
}


// --- a device lost in the I/O thread ------------------------------------------------

// A write that finds the device gone, or a wait that can no longer be made, is
// reported at once; the I/O thread must not wait for an event that cannot come.
TEST(PosixUartFaults, FailedWriteOrWaitReportsTheDeviceGone) {
  struct Clear {
    ~Clear() { platform::InjectTtyIoFaultsForTests({}); }
  } clear;
  for (const platform::TtyIoFaults faults : {platform::TtyIoFaults{EIO, 0},  //
                                             platform::TtyIoFaults{0, EBADF}}) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    OpenPort port(pty);
    ASSERT_NE(port.uart, nullptr);
    port.uart->Start(port.sink);
    platform::InjectTtyIoFaultsForTests(faults);
    port.sink.Offer("x");
    port.uart->TransmitReady();
    EXPECT_TRUE(port.sink.WaitFor([&] { return port.sink.vanished == 1; }))
        << "write errno " << faults.writeErrno << ", epoll errno " << faults.epollErrno;
    platform::InjectTtyIoFaultsForTests({});
  }
}

}  // namespace
}  // namespace veltra::test
