// A fake machine for the port discovery: a throw-away root with sys/, proc/ and
// dev/ laid out as the kernel and udev lay them out.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/discovery/port_discovery_seam.h"

namespace veltra::test {

namespace fs = std::filesystem;

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
  // A USB adapter as sysfs lays it out: the USB device with its descriptors, the
  // interface, the usb-serial port with its driver, the tty; and udev's by-id link.
  void UsbAdapter(const std::string& tty, const std::string& serial, const std::string& byId) {
    const fs::path usb = root_ / "sys/devices/pci0000:00/usb1" / ("1-" + serial);
    const fs::path port = usb / "1-1:1.0" / tty;
    fs::create_directories(port);
    fs::create_directories(root_ / "sys/bus/usb-serial/drivers/cp210x");
    fs::create_directory_symlink(root_ / "sys/bus/usb-serial/drivers/cp210x", port / "driver");
    for (auto [file, text] : {std::pair{"idVendor", "10c4"}, {"idProduct", "ea60"},
                              {"manufacturer", "Silicon Labs"},
                              {"product", "CP2102 USB to UART Bridge Controller"}})
      Write(usb / file, std::string(text) + "\n");
    Write(usb / "serial", serial + "\n");
    const fs::path classDir = root_ / "sys/class/tty" / tty;
    fs::create_directories(classDir);
    fs::create_directory_symlink(port, classDir / "device");
    fs::create_directories(root_ / "dev/serial/by-id");
    std::ofstream(root_ / "dev" / tty).put('\0');
    fs::create_symlink("../../" + tty, root_ / "dev/serial/by-id" / byId);
  }
  void Unplug(const std::string& tty) {
    for (const fs::path& p : {root_ / "sys/class/tty" / tty, root_ / "dev" / tty}) fs::remove_all(p);
    for (const auto& link : fs::directory_iterator(root_ / "dev/serial/by-id"))
      if (fs::read_symlink(link.path()).filename() == tty) fs::remove(link.path());
  }

 private:
  fs::path root_;
};

// Discovery reads the fake tree through the seam for as long as this lives.
struct FakeMachine {
  FakeRoot root;
  FakeMachine() { platform::UseDiscoveryRootForTests(root.path()); }
  ~FakeMachine() { platform::UseDiscoveryRootForTests(std::nullopt); }
};

}  // namespace veltra::test
