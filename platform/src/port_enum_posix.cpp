// The kernel names of the serial devices, for EnumComPorts: the discovery's walk
// without the hardware facts.
#include <algorithm>
#include <string>
#include <vector>

#include "platform/port_enum.h"
#include "platform/src/port_discovery_internal.h"

namespace veltra::platform {

std::vector<std::string> ListSerialDevices(const std::string& root) {
  std::vector<std::string> names;
  for (const SerialPortInfo& port : WalkSysfs(root.empty() || root == "/" ? DiscoveryRoot() : root))
    names.push_back(port.kernelName);
  return names;
}

}  // namespace veltra::platform
