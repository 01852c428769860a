// The kernel names of the serial devices, for EnumComPorts: the discovery's walk
// without the hardware facts.
#include <algorithm>
#include <string>
#include <vector>

#include "platform/discovery/port_discovery_internal.h"
#include "platform/discovery/port_enum.h"

namespace veltra::platform {

std::vector<std::string> ListSerialDevices(const std::string& root) {
  std::vector<std::string> names;
  for (const SerialPortInfo& port : WalkSysfs(root.empty() || root == "/" ? DiscoveryRoot() : root))
    names.push_back(port.kernelName);
  return names;
}

}  // namespace veltra::platform
