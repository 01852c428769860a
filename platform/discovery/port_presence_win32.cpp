// A vanished port's device on Windows: present again once its COM name is back in
// the DOS device namespace. Adapters are not told apart by serial number here.
#include "platform/discovery/port_presence.h"

#include "platform/core/windows_lean.h"

namespace veltra::platform {

PortIdentity IdentifyPort(const std::string& name) {
  return {name, ""};
}

std::string LocateReturnedPort(const PortIdentity& identity) {
  char target[512];
  return QueryDosDeviceA(identity.name.c_str(), target, sizeof target) != 0 ? identity.name : "";
}

std::string PortNameProblem(const std::string& /*name*/) {
  return "";
}

}  // namespace veltra::platform
