// Without libudev: the sysfs walk alone, and the monitor only polls.
#include "platform/discovery/port_discovery_internal.h"

namespace veltra::platform {

void EnrichFromUdev(std::vector<SerialPortInfo>&) {}

std::unique_ptr<UdevWatch> OpenUdevWatch() {
  return nullptr;
}

}  // namespace veltra::platform
