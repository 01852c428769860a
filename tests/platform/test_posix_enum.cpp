// Port listing on a fake sysfs tree, and the version query.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/comm_api.h"
#include "platform/port_enum.h"
#include "platform/sysinfo_seam.h"

namespace veltra::test {
namespace {

namespace fs = std::filesystem;
using platform::ListSerialDevices;
using Names = std::vector<std::string>;

// A throw-away root with sys/class/tty and proc under it.
class FakeRoot {
 public:
  FakeRoot() {
    std::string pattern = (fs::temp_directory_path() / "veltra-sysfs-XXXXXX").string();
    root_ = mkdtemp(pattern.data());
    fs::create_directories(root_ / "sys/class/tty");
    fs::create_directories(root_ / "proc");
  }
  ~FakeRoot() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  std::string path() const { return root_.string(); }

  // A tty; with a device behind it unless `device` is false; `type` as serial_core
  // publishes it (empty: no type file, as for USB adapters).
  void Tty(const std::string& name, bool device = true, const std::string& type = "") {
    const fs::path dir = root_ / "sys/class/tty" / name;
    fs::create_directories(dir);
    if (device) fs::create_directories(dir / "device");
    if (!type.empty()) Write(dir / "type", type + "\n");
  }
  void Write(const fs::path& file, const std::string& text) const {
    std::ofstream(root_ / file) << text;
  }

 private:
  fs::path root_;
};

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
