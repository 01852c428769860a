// TSerialPort on a real kernel tty: the line settings the component applies, read
// back from the pty's master side, and exclusive opening.
#include <asm/termbits.h>  // termios2; clashes with <termios.h>, which is not used here
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include "port_test_support.h"

namespace veltra::engine::test {
namespace {

struct LineCase {
  const char* name;
  Cardinal baud;
  Byte stopBits;
  Byte parity;
  Integer flow;
  unsigned cflagSet;    // must be set on the master side
  unsigned cflagClear;  // must be clear
  unsigned iflagSet;
  unsigned iflagClear;
};

void PrintTo(const LineCase& c, std::ostream* os) {
  *os << c.name;
}

class PtyLineSettings : public ::testing::TestWithParam<LineCase> {};

TEST_P(PtyLineSettings, MasterSideShowsWhatWasApplied) {
  const LineCase& c = GetParam();
  Pty pty;
  ASSERT_FALSE(pty.slave.empty());
  TOwnerCallQueue owner;
  TSerialPort port(owner);
  ReportLog log;
  log.Attach(port);
  port.SetCommPort(pty.slave);
  port.SetBaudRate(c.baud);
  port.SetStopBits(c.stopBits);
  port.SetParityType(c.parity);
  port.SetFlowControl(c.flow);
  port.SetXONChar('Q');
  port.SetXOFFChar('S');
  port.SetActive(true);
  ASSERT_TRUE(port.Active());
  EXPECT_EQ(log.Find("Error setting CommState, 87 indicate that Parms are incorrect"), nullptr);

  termios2 tio{};
  ASSERT_EQ(::ioctl(pty.master, TCGETS2, &tio), 0);
  EXPECT_EQ(tio.c_ospeed, c.baud);
  EXPECT_EQ(tio.c_cflag & c.cflagSet, c.cflagSet);
  EXPECT_EQ(tio.c_cflag & c.cflagClear, 0u);
  EXPECT_EQ(tio.c_iflag & c.iflagSet, c.iflagSet);
  EXPECT_EQ(tio.c_iflag & c.iflagClear, 0u);
  if (c.flow == 0x0380) {
    EXPECT_EQ(tio.c_cc[VSTART], 'Q');
    EXPECT_EQ(tio.c_cc[VSTOP], 'S');
  }
}

// A pty keeps speeds, stop bits, hardware and software flow control and the parity
// kind bits (it drops PARENB and the data size, so those are not checked).
INSTANTIATE_TEST_SUITE_P(
    Cases, PtyLineSettings,
    ::testing::Values(LineCase{"Odd115000", 115000, 0, 1, 0, PARODD, CSTOPB | CRTSCTS | CMSPAR, 0,
                               IXON | IXOFF},
                      LineCase{"TwoStop256000", 256000, 2, 0, 0, CSTOPB, PARODD | CRTSCTS, 0, 0},
                      LineCase{"RtsCts", 57600, 0, 0, 0x2004, CRTSCTS, CSTOPB, 0, IXON | IXOFF},
                      LineCase{"Mark", 9600, 0, 3, 0, CMSPAR | PARODD, CRTSCTS, 0, 0},
                      LineCase{"Space", 9600, 0, 4, 0, CMSPAR, PARODD, 0, 0},
                      LineCase{"XonXoff", 31250, 0, 0, 0x0380, 0, CRTSCTS, IXON | IXOFF, IXANY}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PtyOpen, SecondOpenOfTheSameTtyIsRefusedWithAccessDenied) {
  Pty pty;
  ASSERT_FALSE(pty.slave.empty());
  TOwnerCallQueue owner;
  TSerialPort first(owner), second(owner);
  ReportLog log;
  log.Attach(second);
  first.SetCommPort(pty.slave);
  second.SetCommPort(pty.slave);
  first.SetActive(true);
  ASSERT_TRUE(first.Active());
  second.SetActive(true);
  EXPECT_FALSE(second.Active());
  const Report* r = log.Find("Error reopening Port");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->place, 112u);
  EXPECT_EQ(r->code, win::ERROR_ACCESS_DENIED);

  // Once the first lets go, the tty can be had.
  first.SetActive(false);
  second.SetActive(true);
  EXPECT_TRUE(second.Active());
}

}  // namespace
}  // namespace veltra::engine::test
