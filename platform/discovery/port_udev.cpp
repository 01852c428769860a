// libudev: the names from udev's hardware database and the aliases its rules made,
// for ports whose sysfs walk left them empty, and a monitor of the tty subsystem.
#include <libudev.h>
#include <unistd.h>

#include <sstream>

#include "platform/discovery/port_discovery_internal.h"

namespace veltra::platform {
namespace {

std::string Property(udev_device* device, const char* name) {
  const char* value = udev_device_get_property_value(device, name);
  return value != nullptr ? value : "";
}

// udev's ID_VENDOR and ID_MODEL have blanks replaced by '_'.
std::string Spaced(std::string text) {
  for (char& c : text) c = c == '_' ? ' ' : c;
  return text;
}

void FillIfEmpty(std::string& field, const std::string& value) {
  if (field.empty()) field = value;
}

std::string AliasFromLinks(const std::string& links) {
  std::istringstream words(links);
  std::string byPath;
  for (std::string link; words >> link;) {
    if (link.rfind("/dev/serial/by-id/", 0) == 0) return link;
    if (link.rfind("/dev/serial/by-path/", 0) == 0 && byPath.empty()) byPath = link;
  }
  return byPath;
}

void Enrich(udev_device* device, SerialPortInfo& port) {
  FillIfEmpty(port.vendorId, Property(device, "ID_VENDOR_ID"));
  FillIfEmpty(port.productId, Property(device, "ID_MODEL_ID"));
  const std::string vendorDb = Property(device, "ID_VENDOR_FROM_DATABASE");
  FillIfEmpty(port.manufacturer, vendorDb.empty() ? Spaced(Property(device, "ID_VENDOR")) : vendorDb);
  const std::string modelDb = Property(device, "ID_MODEL_FROM_DATABASE");
  FillIfEmpty(port.product, modelDb.empty() ? Spaced(Property(device, "ID_MODEL")) : modelDb);
  FillIfEmpty(port.serialNumber, Property(device, "ID_SERIAL_SHORT"));
  FillIfEmpty(port.driver, Property(device, "ID_USB_DRIVER"));
  FillIfEmpty(port.alias, AliasFromLinks(Property(device, "DEVLINKS")));
}

class MonitorWatch final : public UdevWatch {
 public:
  MonitorWatch(udev* u, udev_monitor* m) : udev_(u), monitor_(m) {}
  ~MonitorWatch() override {
    udev_monitor_unref(monitor_);
    udev_unref(udev_);
  }
  int Fd() const override { return udev_monitor_get_fd(monitor_); }
  void Drain() override {
    while (udev_device* device = udev_monitor_receive_device(monitor_)) udev_device_unref(device);
  }

 private:
  udev* udev_;
  udev_monitor* monitor_;
};

}  // namespace

void EnrichFromUdev(std::vector<SerialPortInfo>& ports) {
  udev* u = udev_new();
  if (u == nullptr) return;
  for (SerialPortInfo& port : ports) {
    udev_device* device = udev_device_new_from_subsystem_sysname(u, "tty", port.kernelName.c_str());
    if (device == nullptr) continue;
    Enrich(device, port);
    udev_device_unref(device);
  }
  udev_unref(u);
}

std::unique_ptr<UdevWatch> OpenUdevWatch() {
  // Without a running udevd no event ever comes (a container, a minimal system).
  if (access("/run/udev/control", F_OK) != 0) return nullptr;
  udev* u = udev_new();
  if (u == nullptr) return nullptr;
  udev_monitor* m = udev_monitor_new_from_netlink(u, "udev");
  if (m == nullptr || udev_monitor_filter_add_match_subsystem_devtype(m, "tty", nullptr) < 0 ||
      udev_monitor_enable_receiving(m) < 0) {
    if (m != nullptr) udev_monitor_unref(m);
    udev_unref(u);
    return nullptr;
  }
  return std::make_unique<MonitorWatch>(u, m);
}

}  // namespace veltra::platform
