// The DCB's mapping onto a tty's line settings, without a tty: what each field
// becomes, what no tty can do, and when a read-back counts as taken.
#include <gtest/gtest.h>

#include "platform/tty/dcb_termios.h"

namespace veltra::test {
namespace {

using namespace win;
using platform::KernelTookSettings;
using platform::LineSettingsFromDcb;
namespace tty = platform::tty;

DCB Line(DWORD baud, BYTE size, BYTE parity, BYTE stopBits, DWORD flags = DCB_fBinary) {
  DCB dcb;
  dcb.BaudRate = baud;
  dcb.ByteSize = size;
  dcb.Parity = parity;
  dcb.StopBits = stopBits;
  dcb.Flags = flags;
  return dcb;
}

TEST(DcbTermios, FieldsBecomeTheirLineSettings) {
  tty::LineSettings s;
  ASSERT_TRUE(LineSettingsFromDcb(Line(250000, 7, MARKPARITY, TWOSTOPBITS), &s));
  EXPECT_EQ(s.baud, 250000u);
  EXPECT_EQ(s.dataBits, 7);
  EXPECT_EQ(s.parity, tty::Parity::kMark);
  EXPECT_TRUE(s.twoStopBits);
  EXPECT_FALSE(s.rtsCts);
  EXPECT_FALSE(s.xonXoffOut || s.xonXoffIn);

  // 1.5 stop bits exist only for 5-bit characters, where CSTOPB means 1.5.
  ASSERT_TRUE(LineSettingsFromDcb(Line(9600, 5, NOPARITY, ONE5STOPBITS), &s));
  EXPECT_TRUE(s.twoStopBits);

  // Either CTS output flow or the RTS handshake makes the kernel's CRTSCTS.
  ASSERT_TRUE(LineSettingsFromDcb(Line(9600, 8, NOPARITY, ONESTOPBIT, DCB_fOutxCtsFlow), &s));
  EXPECT_TRUE(s.rtsCts);
  ASSERT_TRUE(
      LineSettingsFromDcb(Line(9600, 8, NOPARITY, ONESTOPBIT, RTS_CONTROL_HANDSHAKE << 12), &s));
  EXPECT_TRUE(s.rtsCts);

  DCB xon = Line(9600, 8, EVENPARITY, ONESTOPBIT, DCB_fOutX | DCB_fInX);
  xon.XonChar = 'Q';
  xon.XoffChar = 'S';
  ASSERT_TRUE(LineSettingsFromDcb(xon, &s));
  EXPECT_EQ(s.parity, tty::Parity::kEven);
  EXPECT_TRUE(s.xonXoffOut && s.xonXoffIn);
  EXPECT_EQ(s.xonChar, 'Q');
  EXPECT_EQ(s.xoffChar, 'S');
}

TEST(DcbTermios, WhatNoTtyCanDoIsRefused) {
  tty::LineSettings s;
  EXPECT_FALSE(LineSettingsFromDcb(Line(0, 8, NOPARITY, ONESTOPBIT), &s));
  EXPECT_FALSE(LineSettingsFromDcb(Line(9600, 4, NOPARITY, ONESTOPBIT), &s));
  EXPECT_FALSE(LineSettingsFromDcb(Line(9600, 9, NOPARITY, ONESTOPBIT), &s));
  EXPECT_FALSE(LineSettingsFromDcb(Line(9600, 8, SPACEPARITY + 1, ONESTOPBIT), &s));
  EXPECT_FALSE(LineSettingsFromDcb(Line(9600, 8, NOPARITY, TWOSTOPBITS + 1), &s));
  EXPECT_FALSE(LineSettingsFromDcb(Line(9600, 8, NOPARITY, ONE5STOPBITS), &s));
  // XON equal to XOFF matters only when XON/XOFF is on.
  DCB same = Line(9600, 8, NOPARITY, ONESTOPBIT);
  same.XonChar = same.XoffChar = 0x13;
  EXPECT_TRUE(LineSettingsFromDcb(same, &s));
  same.Flags |= DCB_fInX;
  EXPECT_FALSE(LineSettingsFromDcb(same, &s));
}

TEST(DcbTermios, ReadBackCountsAsTakenWithinTheRateToleranceAndTheFrameWhereKept) {
  tty::LineSettings asked;
  asked.baud = 100000;
  asked.dataBits = 7;
  asked.parity = tty::Parity::kOdd;
  tty::LineSettings got = asked;
  got.baud = 103900;  // within 4 %
  EXPECT_TRUE(KernelTookSettings(asked, got, true));
  got.baud = 104100;
  EXPECT_FALSE(KernelTookSettings(asked, got, true));
  got = asked;
  got.dataBits = 8;
  got.parity = tty::Parity::kNone;
  EXPECT_FALSE(KernelTookSettings(asked, got, true));
  EXPECT_TRUE(KernelTookSettings(asked, got, false));  // a pty keeps no frame
  got = asked;
  got.twoStopBits = true;
  EXPECT_FALSE(KernelTookSettings(asked, got, false));
  got = asked;
  got.rtsCts = true;
  EXPECT_FALSE(KernelTookSettings(asked, got, false));
}

}  // namespace
}  // namespace veltra::test
