// Finding a vanished port's device again on Windows, by the kind of port. A COM
// port is back when its name is in the DOS device namespace again; a USB adapter
// known by its serial number may come back under another COM name.
#include "platform/net/network_ports.h"
#include "platform/discovery/port_discovery.h"
#include "platform/discovery/port_presence.h"
#include "platform/driver/uart.h"

#include "platform/core/windows_lean.h"

namespace veltra::platform {
namespace {

// A probe is a connection the server sees; it gets half a second.
constexpr int kNetworkProbeTimeoutMs = 500;

std::string SerialKey(const SerialPortInfo& port) {
  if (port.serialNumber.empty()) return "";
  return port.vendorId + ":" + port.productId + ":" + port.serialNumber;
}

std::string ComName(const std::string& name) {
  return name.rfind("\\\\.\\", 0) == 0 ? name.substr(4) : name;
}

bool DosDeviceExists(const std::string& name) {
  char target[512];
  return QueryDosDeviceA(ComName(name).c_str(), target, sizeof target) != 0;
}

}  // namespace

PortIdentity IdentifyPort(const std::string& name) {
  PortIdentity identity{name, ""};
  if (IsNetworkPortName(name) || IsVirtualPortName(name)) return identity;
  if (const auto port = FindSerialPort(DiscoverSerialPorts(), ComName(name)))
    identity.serialKey = SerialKey(*port);
  return identity;
}

std::string LocateReturnedPort(const PortIdentity& identity) {
  if (IsNetworkPortName(identity.name))
    return NetworkPortReachable(identity.name, kNetworkProbeTimeoutMs) ? identity.name : "";
  if (IsVirtualPortName(identity.name))
    return VirtualPortPresent(identity.name) ? identity.name : "";
  if (!identity.serialKey.empty()) {
    for (const SerialPortInfo& port : DiscoverSerialPorts()) {
      if (SerialKey(port) == identity.serialKey) return port.kernelName;
    }
    return "";
  }
  return DosDeviceExists(identity.name) ? identity.name : "";
}

// The system knows no more than "not found" or "access denied" before opening.
std::string PortNameProblem(const std::string& /*name*/) {
  return "";
}

}  // namespace veltra::platform
