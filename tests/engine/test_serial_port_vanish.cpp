// A device that goes away while its port is open: one report, a clean close, and
// a reopen with the same settings when it is back, on ptys behind a by-id-style
// link (closing the master is pulling the adapter).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "port_test_support.h"
#include "tests/platform/test_posix_pty.h"

namespace veltra::engine::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A temporary folder with one link in it, 120 characters as a whole path: longer
// than the 79 that Windows device names are cut to.
struct StableLink {
  fs::path dir = fs::temp_directory_path() / ("veltra-by-id-" + std::to_string(getpid()));
  std::string path;
  explicit StableLink(const std::string& target) {
    fs::create_directories(dir);
    const std::string prefix = (dir / "usb-FTDI_FT232R_USB_UART_").string();
    path = prefix + std::string(120 - prefix.size() - 11, 'A') + "-if00-port0";
    PointAt(target);
  }
  ~StableLink() { fs::remove_all(dir); }
  // As udev does it: a new link renamed over the old one.
  void PointAt(const std::string& target) const {
    const fs::path next = dir / "next";
    fs::create_symlink(target, next);
    fs::rename(next, path);
  }
};

struct VanishRig {
  TOwnerCallQueue owner;
  TSerialPort port{owner};
  ReportLog log;
  std::string received;
  VanishRig() {
    log.Attach(port);
    port.OnRxClusterEvent = [this](TObject*) {
      std::string block;
      port.TakeFirstCluster(block);
      received += block;
    };
  }
  std::size_t Count(Cardinal place) const {
    return static_cast<std::size_t>(std::count_if(log.reports.begin(), log.reports.end(),
                                                  [&](const Report& r) { return r.place == place; }));
  }
  // Data both ways between the port and the pty's master.
  void Exchange(const veltra::test::Pty& device) {
    received.clear();
    ASSERT_TRUE(device.Write("ping"));
    ASSERT_TRUE(owner.PumpUntil([&] { return received == "ping"; }, 3000ms)) << received;
    port.SendString("pong");
    EXPECT_EQ(device.Read(4), "pong");
  }
};

TEST(VanishedDevice, RemovedOnceThenReopenedWithItsSettingsBehindALongAlias) {
  auto device = std::make_unique<veltra::test::Pty>();
  ASSERT_TRUE(device->ok());
  StableLink link(device->slave());
  ASSERT_EQ(link.path.size(), 120u);
  VanishRig rig;
  rig.port.SetCommPort(link.path);
  rig.port.SetBaudRate(57600);
  rig.port.SetActive(true);
  ASSERT_TRUE(rig.port.Active()) << rig.port.LastOpenFailure();
  rig.Exchange(*device);
  // A pty has no modem lines: said once, not at every cycle of an idle second.
  rig.owner.PumpFor(1000ms);
  EXPECT_EQ(rig.Count(9905), 1u);

  device->CloseMaster();
  ASSERT_TRUE(rig.owner.PumpUntil([&] { return rig.port.AwaitingReturn(); }, 3000ms));
  EXPECT_FALSE(rig.port.Active());
  rig.owner.PumpFor(300ms);
  EXPECT_EQ(rig.Count(120), 1u);
  EXPECT_EQ(rig.log.Find("Error device removed: " + link.path)->code,
            win::ERROR_DEVICE_NOT_CONNECTED);
  for (const Report& r : rig.log.reports)
    EXPECT_TRUE(r.place == 120 || r.code != win::ERROR_DEVICE_NOT_CONNECTED) << r.msg;

  device = std::make_unique<veltra::test::Pty>();
  link.PointAt(device->slave());
  ASSERT_TRUE(rig.owner.PumpUntil([&] { return rig.port.Active(); }, 5000ms));
  EXPECT_NE(rig.log.Find("Device back, port reopened: " + link.path), nullptr);
  EXPECT_EQ(rig.port.BaudRate(), 57600u);
  rig.Exchange(*device);

  // Without automatic reopening the port stays closed.
  rig.port.SetAutoReopen(false);
  device->CloseMaster();
  ASSERT_TRUE(rig.owner.PumpUntil([&] { return !rig.port.Active(); }, 3000ms));
  EXPECT_FALSE(rig.port.AwaitingReturn());
  EXPECT_EQ(rig.Count(120), 2u);
}

}  // namespace
}  // namespace veltra::engine::test
