// Finding a vanished port's device again, by the kind of port.
#include <limits.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/discovery/port_discovery.h"
#include "platform/discovery/port_discovery_internal.h"
#include "platform/discovery/port_presence.h"
#include "platform/driver/uart.h"
#include "platform/net/network_ports.h"
#include "platform/tty/tty_node_posix.h"

namespace veltra::platform {
namespace {

// A probe is a connection the server sees; it gets half a second.
constexpr int kNetworkProbeTimeoutMs = 500;

std::string KernelNameOf(const std::string& name) {
  char resolved[PATH_MAX] = {};
  const std::string path = TtyPathForName(name);
  const std::string real = realpath(path.c_str(), resolved) != nullptr ? resolved : path;
  return real.substr(real.rfind('/') + 1);
}

std::optional<SerialPortInfo> FindByName(const std::vector<SerialPortInfo>& ports,
                                         const std::string& name) {
  if (auto port = FindSerialPort(ports, name)) return port;
  return FindSerialPort(ports, KernelNameOf(name));
}

std::string SerialKey(const SerialPortInfo& port) {
  if (port.serialNumber.empty()) return "";
  return port.vendorId + ":" + port.productId + ":" + port.serialNumber;
}

bool Usable(const std::string& path) {
  return access(path.c_str(), R_OK | W_OK) == 0;
}

// A tty is back when its node is a tty again and may be opened.
std::string LocateTty(const PortIdentity& identity) {
  if (!identity.serialKey.empty()) {
    for (const SerialPortInfo& port : DiscoverSerialPorts()) {
      if (SerialKey(port) != identity.serialKey) continue;
      if (!DiscoveryRootIsReal()) return port.alias.empty() ? port.devicePath : port.alias;
      // The name it had still leads to it (a by-id alias), else the name it has now.
      if (KernelNameOf(identity.name) == port.kernelName && Usable(TtyPathForName(identity.name)))
        return identity.name;
      const std::string now = port.alias.empty() ? port.devicePath : port.alias;
      return Usable(now) ? now : "";
    }
    return "";
  }
  TtyNodeKind kind;
  std::string why;
  const std::string path = TtyPathForName(identity.name);
  if (CheckTtyNode(path, &kind, &why) != 0 || !Usable(path)) return "";
  return identity.name;
}

}  // namespace

PortIdentity IdentifyPort(const std::string& name) {
  PortIdentity identity{name, ""};
  if (IsNetworkPortName(name) || IsVirtualPortName(name)) return identity;
  if (const auto port = FindByName(DiscoverSerialPorts(), name)) identity.serialKey = SerialKey(*port);
  return identity;
}

std::string PortNameProblem(const std::string& name) {
  if (name.empty() || IsNetworkPortName(name) || IsVirtualPortName(name)) return "";
  TtyNodeKind kind;
  std::string why;
  const std::string path = TtyPathForName(name);
  if (CheckTtyNode(path, &kind, &why) != 0) return why;
  return access(path.c_str(), R_OK | W_OK) == 0 ? "" : PermissionDeniedText(path);
}

std::string LocateReturnedPort(const PortIdentity& identity) {
  if (IsNetworkPortName(identity.name))
    return NetworkPortReachable(identity.name, kNetworkProbeTimeoutMs) ? identity.name : "";
  if (IsVirtualPortName(identity.name))
    return VirtualPortPresent(identity.name) ? identity.name : "";
  return LocateTty(identity);
}

}  // namespace veltra::platform
