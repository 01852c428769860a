// Port listing on a fake sysfs tree, and the version query.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/core/comm_api.h"
#include "platform/core/sysinfo_seam.h"
#include "platform/discovery/port_discovery.h"
#include "platform/discovery/port_discovery_seam.h"
#include "platform/discovery/port_enum.h"
#include "platform/discovery/port_presence.h"
#include "tests/platform/fake_sysfs.h"
#include "tests/platform/test_wait.h"

namespace veltra::test {
namespace {

namespace fs = std::filesystem;
using platform::ListSerialDevices;
using Names = std::vector<std::string>;

TEST(PortList, DevicesWithoutPlaceholdersConsolesOrVirtualTtys) {
  FakeRoot root;
  root.Tty("ttyS0", true, "4");  // the console below
  root.Tty("ttyS1", true, "4");
  root.Tty("ttyS2", true, "0");  // an 8250 slot with nothing behind it
  root.Tty("ttyS3", true, "0");
  root.Tty("ttyS10", true, "4");
  root.Tty("ttyUSB0");
  root.Tty("ttyACM0");
  root.Tty("tty1", false);  // virtual consoles and ptmx have no device
  root.Tty("ptmx", false);
  root.Tty("console", false);
  root.Write("sys/class/tty/console/active", "tty0 ttyS0\n");
  EXPECT_EQ(ListSerialDevices(root.path()), (Names{"ttyACM0", "ttyS1", "ttyS10", "ttyUSB0"}))
      << "numbers sort as numbers";
}

TEST(PortList, ConsoleFromTheCommandLineAndAnEmptyTree) {
  FakeRoot root;
  EXPECT_TRUE(ListSerialDevices(root.path()).empty());
  root.Tty("ttyS0", true, "4");
  root.Tty("ttyS1", true, "4");
  root.Tty("ttyUSB0");
  root.Write("proc/cmdline", "quiet console=tty0 console=ttyUSB0,115200n8 root=/dev/sda1\n");
  EXPECT_EQ(ListSerialDevices(root.path()), (Names{"ttyS0", "ttyS1"}));
  EXPECT_TRUE(ListSerialDevices(root.path() + "/missing").empty());
}

TEST(PortList, ThisMachinesConsoleIsNeverListed) {
  for (const std::string& name : ListSerialDevices()) {
    std::ifstream active("/sys/class/tty/console/active");
    for (std::string console; active >> console;) EXPECT_NE(name, console);
  }
}

TEST(PortDiscovery, RecordsAliasesDescriptionsAndTheSameAdapterUnderANewName) {
  FakeMachine machine;
  const std::string byId = "usb-Silicon_Labs_CP2102_USB_to_UART_Bridge_Controller_0001-if00-port0";
  machine.root.UsbAdapter("ttyUSB0", "0001", byId);
  machine.root.Tty("ttyS1", true, "4");
  const auto ports = platform::DiscoverSerialPorts();
  ASSERT_EQ(ports.size(), 2u);
  const platform::SerialPortInfo& usb = ports[1];
  EXPECT_EQ(usb.devicePath, "/dev/ttyUSB0");
  EXPECT_EQ(usb.alias, "/dev/serial/by-id/" + byId);
  EXPECT_EQ(platform::DescribePort(usb),
            "CP2102 USB to UART Bridge Controller, Silicon Labs (10c4:ea60) serial 0001, cp210x");
  EXPECT_EQ(platform::DescribePort(ports[0]), "") << "a UART without a driver link says nothing";
  EXPECT_EQ(platform::FindSerialPort(ports, usb.alias)->kernelName, "ttyUSB0");

  // Pulled, then back as ttyUSB1: found by its serial number, not by its old name.
  const platform::PortIdentity identity = platform::IdentifyPort("ttyUSB0");
  EXPECT_EQ(identity.serialKey, "10c4:ea60:0001");
  machine.root.Unplug("ttyUSB0");
  EXPECT_EQ(platform::LocateReturnedPort(identity), "");
  machine.root.UsbAdapter("ttyUSB1", "0002", "usb-other-adapter");
  EXPECT_EQ(platform::LocateReturnedPort(identity), "") << "another adapter is not this one";
  machine.root.UsbAdapter("ttyUSB2", "0001", byId);
  EXPECT_EQ(platform::LocateReturnedPort(identity), "/dev/serial/by-id/" + byId);
}

TEST(PortDiscovery, MonitorTellsOfComingAndGoingOnly) {
  FakeMachine machine;
  std::atomic<int> changes{0};
  platform::SerialPortMonitor monitor([&] { ++changes; }, std::chrono::milliseconds(20));
  machine.root.UsbAdapter("ttyUSB0", "0001", "usb-a");
  ASSERT_TRUE(WaitUntil([&] { return changes == 1; }));
  machine.root.Unplug("ttyUSB0");
  ASSERT_TRUE(WaitUntil([&] { return changes == 2; }));
  // Five scans must pass to show that none of them tells of a change: no event to wait for.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(changes, 2) << "nothing changed since";
}

TEST(VersionQuery, NtFamilyKernelVersionSizeCheckAndSeam) {
  using namespace veltra::win;
  OSVERSIONINFOA info;
  ASSERT_TRUE(GetVersionExA(&info));
  EXPECT_EQ(info.dwPlatformId, VER_PLATFORM_WIN32_NT);
  EXPECT_GE(info.dwMajorVersion, 2u) << "the kernel's major version";

  OSVERSIONINFOA wrongSize;
  wrongSize.dwOSVersionInfoSize = 156;
  SetLastError(0);
  EXPECT_FALSE(GetVersionExA(&wrongSize));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  platform::OverridePlatformIdForTests(VER_PLATFORM_WIN32_WINDOWS);
  ASSERT_TRUE(GetVersionExA(&info));
  EXPECT_EQ(info.dwPlatformId, VER_PLATFORM_WIN32_WINDOWS);
  platform::OverridePlatformIdForTests(std::nullopt);
  ASSERT_TRUE(GetVersionExA(&info));
  EXPECT_EQ(info.dwPlatformId, VER_PLATFORM_WIN32_NT);
}

}  // namespace
}  // namespace veltra::test
