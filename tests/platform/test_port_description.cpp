// What the port lists show beside a name, as both systems' discovery fill it: the
// fields a system does not know leave no stray separators behind.
#include <gtest/gtest.h>

#include "platform/discovery/port_discovery.h"

using veltra::platform::DescribePort;
using veltra::platform::SerialPortInfo;

TEST(PortDescription, JoinsWhatIsKnownWithoutStraySeparators) {
  SerialPortInfo full{"COM7", "\\\\.\\COM7",     "",         "0403",   "6001",
                      "FTDI", "USB Serial Port", "A50285BI", "FTSER2K"};
  EXPECT_EQ(DescribePort(full), "USB Serial Port, FTDI (0403:6001) serial A50285BI, FTSER2K");

  EXPECT_EQ(DescribePort({"COM3", "\\\\.\\COM3", "", "", "", "", "", "", ""}), "")
      << "a port the device map names and nothing else";
  EXPECT_EQ(DescribePort({"COM4", "", "", "", "", "Prolific", "", "", "Serial"}),
            "Prolific, Serial");
  EXPECT_EQ(DescribePort({"ttyACM0", "", "", "2341", "0043", "", "", "", ""}), "(2341:0043)");
  EXPECT_EQ(DescribePort({"ttyUSB1", "", "", "", "", "", "", "0001", "ftdi_sio"}),
            "serial 0001, ftdi_sio");
}
