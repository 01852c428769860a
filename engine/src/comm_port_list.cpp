// Port enumeration and the version query. The platform knows where its serial
// devices are listed (sysfs here, the registry's device map on Windows); this unit
// merges them into the caller's list.
#include "engine/comm_port_list.h"

#include <algorithm>

#include "platform/core/comm_api.h"
#include "platform/discovery/port_enum.h"

namespace veltra::engine {

namespace {

bool SameText(const std::string& a, const std::string& b) {
  auto lower = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char x, char y) { return lower(x) == lower(y); });
}

bool Contains(const TStringList& list, const std::string& name) {
  return std::any_of(list.begin(), list.end(),
                     [&](const std::string& entry) { return SameText(entry, name); });
}

}  // namespace

std::int32_t QueryOSVersion(win::OSVERSIONINFOA& Info) {
  Info = win::OSVERSIONINFOA{};
  Info.dwOSVersionInfoSize = 148;
  if (!win::GetVersionExA(&Info)) return -1;
  return static_cast<std::int32_t>(Info.dwPlatformId);
}

void EnumComPorts(TStringList& List) {
  win::OSVERSIONINFOA version;
  // A failed query or a 16-bit-hosted platform lists nothing. The major version
  // is not looked at: beyond Windows it numbers the kernel, not the port source.
  if (QueryOSVersion(version) < 1) return;
  for (const std::string& name : platform::ListSerialDevices()) {
    if (!Contains(List, name)) List.push_back(name);
  }
}

}  // namespace veltra::engine
