// Windows opens ports through the system alone: no built-in virtual ports there.
#include "platform/virtual/simulated_devices.h"

namespace veltra::platform {

std::vector<std::string> BuiltInPortNames() {
  return {};
}

bool ScanBarcode(const std::string&) {
  return false;
}

void SetScanInterval(std::chrono::milliseconds) {}

}  // namespace veltra::platform
