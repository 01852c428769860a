// Serial devices from sysfs: /sys/class/tty/NAME exists for every tty, and those
// with a "device" link are backed by hardware (8250 ports, USB adapters, ACM
// modems); virtual consoles and ptys have none.
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/port_enum.h"

namespace veltra::platform {
namespace {

namespace fs = std::filesystem;

std::string ReadWholeFile(const fs::path& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The consoles the kernel writes to: /sys/class/tty/console/active lists them
// ("tty0 ttyS0"), and console=ttyS0,115200 on the command line names them too.
std::set<std::string> KernelConsoles(const fs::path& root) {
  std::set<std::string> consoles;
  std::istringstream active(ReadWholeFile(root / "sys/class/tty/console/active"));
  for (std::string name; active >> name;) consoles.insert(Lower(name));
  std::istringstream cmdline(ReadWholeFile(root / "proc/cmdline"));
  const std::string key = "console=";
  for (std::string word; cmdline >> word;) {
    if (word.compare(0, key.size(), key) != 0) continue;
    std::string name = word.substr(key.size());
    name = name.substr(0, name.find(','));
    if (name.compare(0, 5, "/dev/") == 0) name = name.substr(5);
    if (!name.empty()) consoles.insert(Lower(name));
  }
  return consoles;
}

// serial_core ports publish their UART type; 0 (PORT_UNKNOWN) is an 8250 slot the
// driver reserved without finding a UART behind it.
bool IsPlaceholder(const fs::path& ttyDir) {
  std::error_code ec;
  if (!fs::exists(ttyDir / "type", ec)) return false;
  std::istringstream type(ReadWholeFile(ttyDir / "type"));
  long value = -1;
  return (type >> value) && value == 0;
}

// ttyS2 before ttyS10: names compare by their text, then the number they end in.
bool NaturalLess(const std::string& a, const std::string& b) {
  auto split = [](const std::string& s) {
    std::size_t digits = s.size();
    while (digits > 0 && std::isdigit(static_cast<unsigned char>(s[digits - 1]))) --digits;
    const std::string number = s.substr(digits);
    return std::make_pair(s.substr(0, digits),
                          number.size() > 9 ? ~0ull : std::stoull("0" + number));
  };
  const auto ka = split(a), kb = split(b);
  if (ka != kb) return ka < kb;
  return a < b;
}

}  // namespace

std::vector<std::string> ListSerialDevices(const std::string& root) {
  const fs::path base(root.empty() ? "/" : root);
  const fs::path ttyClass = base / "sys/class/tty";
  const std::set<std::string> consoles = KernelConsoles(base);
  std::vector<std::string> names;
  std::set<std::string> seen;
  std::error_code ec;
  for (fs::directory_iterator it(ttyClass, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    std::error_code probe;
    if (!fs::exists(it->path() / "device", probe)) continue;
    if (consoles.count(Lower(name)) != 0 || IsPlaceholder(it->path())) continue;
    if (seen.insert(Lower(name)).second) names.push_back(name);
  }
  std::sort(names.begin(), names.end(), NaturalLess);
  return names;
}

}  // namespace veltra::platform
