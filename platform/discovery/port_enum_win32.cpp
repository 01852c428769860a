// Serial ports on Windows: the device map, where every serial driver enters the
// COM name of each port it serves (values of string type; others are skipped).
#include "platform/discovery/port_enum.h"

#include "platform/core/windows_lean.h"

#include <algorithm>
#include <cctype>

namespace veltra::platform {
namespace {

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

std::vector<std::string> ListSerialDevices(const std::string& /*root*/) {
  std::vector<std::string> names;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return names;
  }
  for (DWORD index = 0;; ++index) {
    char valueName[256];
    DWORD nameLength = sizeof valueName;
    BYTE data[256];
    DWORD dataLength = sizeof data - 1;  // room for a terminator the data may lack
    DWORD type = 0;
    const LONG result =
        RegEnumValueA(key, index, valueName, &nameLength, nullptr, &type, data, &dataLength);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result != ERROR_SUCCESS || type != REG_SZ) continue;
    data[dataLength] = 0;
    const std::string name(reinterpret_cast<const char*>(data));
    const bool known = std::any_of(names.begin(), names.end(),
                                   [&](const std::string& n) { return SameText(n, name); });
    if (!name.empty() && !known) names.push_back(name);
  }
  RegCloseKey(key);
  return names;
}

}  // namespace veltra::platform
