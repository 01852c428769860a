#include "app/logic/port_choice.h"

#include <algorithm>
#include <cctype>

#include "platform/virtual/simulated_devices.h"

namespace veltra::logic {

namespace {

int IndexOf(const std::vector<std::string>& entries, const std::string& name) {
  const auto same = [&](const std::string& entry) {
    return std::equal(entry.begin(), entry.end(), name.begin(), name.end(), [](char a, char b) {
      return std::tolower(static_cast<unsigned char>(a)) ==
             std::tolower(static_cast<unsigned char>(b));
    });
  };
  const auto it = std::find_if(entries.begin(), entries.end(), same);
  return it == entries.end() ? -1 : static_cast<int>(it - entries.begin());
}

}  // namespace

int OutOfTheBoxPortIndex(const std::vector<std::string>& entries, bool port2) {
  const int device =
      IndexOf(entries, port2 ? platform::kCashRegisterPortName : platform::kScannerPortName);
  if (device >= 0) return device;
  const int count = static_cast<int>(entries.size());
  if (count == 0) return -1;
  if (count == 1) return 0;
  return port2 ? 0 : 1;
}

}  // namespace veltra::logic
