// Serial devices from sysfs: /sys/class/tty/NAME exists for every tty, and those
// with a "device" link are backed by hardware (8250 ports, USB adapters, ACM
// modems); virtual consoles and ptys have none. The hardware facts sit on the
// device's ancestors (the USB device holds idVendor, product, serial); udev's
// stable aliases are the links in /dev/serial/by-id and by-path.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "platform/core/thread_name.h"
#include "platform/discovery/port_discovery_internal.h"
#include "platform/discovery/port_discovery_seam.h"

namespace veltra::platform {
namespace {

namespace fs = std::filesystem;

constexpr int kPollStretchWithUdev = 5;

std::mutex g_rootMutex;
std::string g_root = "/";

std::string ReadLine(const fs::path& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
  return line;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The consoles the kernel writes to: /sys/class/tty/console/active lists them
// ("tty0 ttyS0"), and console=ttyS0,115200 on the command line names them too.
std::set<std::string> KernelConsoles(const fs::path& root) {
  std::set<std::string> consoles;
  std::ifstream activeFile(root / "sys/class/tty/console/active");
  for (std::string name; activeFile >> name;) consoles.insert(Lower(name));
  std::ifstream cmdline(root / "proc/cmdline");
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
  std::istringstream type(ReadLine(ttyDir / "type"));
  long value = -1;
  return (type >> value) && value == 0;
}

// rfcomm ttys have a device only while connected; they are serial ports all the same.
bool IsSerialTty(const fs::path& ttyDir, const std::string& name) {
  std::error_code ec;
  return fs::exists(ttyDir / "device", ec) || name.rfind("rfcomm", 0) == 0;
}

std::string LinkName(const fs::path& link) {
  std::error_code ec;
  const fs::path target = fs::canonical(link, ec);
  return ec ? std::string() : target.filename().string();
}

// The USB device (idVendor) or PCI function (vendor + device) above the tty's device.
void ReadHardware(const fs::path& device, const fs::path& stop, SerialPortInfo& port) {
  std::error_code ec;
  fs::path dir = fs::canonical(device, ec);
  for (int up = 0; !ec && up < 5 && !dir.empty() && dir != stop && dir != dir.root_path(); ++up) {
    if (fs::exists(dir / "idVendor", ec)) {
      port.vendorId = ReadLine(dir / "idVendor");
      port.productId = ReadLine(dir / "idProduct");
      port.manufacturer = ReadLine(dir / "manufacturer");
      port.product = ReadLine(dir / "product");
      port.serialNumber = ReadLine(dir / "serial");
      return;
    }
    if (fs::exists(dir / "vendor", ec) && fs::exists(dir / "device", ec) &&
        fs::exists(dir / "class", ec)) {
      port.vendorId = ReadLine(dir / "vendor");
      port.productId = ReadLine(dir / "device");
      return;
    }
    dir = dir.parent_path();
  }
}

// Kernel name -> alias: by-id wins over by-path.
std::map<std::string, std::string> Aliases(const fs::path& root) {
  std::map<std::string, std::string> aliases;
  for (const char* kind : {"by-path", "by-id"}) {
    std::error_code ec;
    const fs::path dir = root / "dev/serial" / kind;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
      std::error_code linkEc;
      const fs::path target = fs::read_symlink(it->path(), linkEc);
      if (linkEc) continue;
      aliases[target.filename().string()] =
          std::string("/dev/serial/") + kind + "/" + it->path().filename().string();
    }
  }
  return aliases;
}

SerialPortInfo ReadPort(const fs::path& ttyDir, const std::string& name, const fs::path& root) {
  SerialPortInfo port;
  port.kernelName = name;
  port.devicePath = "/dev/" + name;
  std::error_code ec;
  if (fs::exists(ttyDir / "device", ec)) {
    port.driver = LinkName(ttyDir / "device/driver");
    ReadHardware(ttyDir / "device", root / "sys/devices", port);
  }
  return port;
}

std::string Signature(const std::vector<SerialPortInfo>& ports) {
  std::string text;
  for (const SerialPortInfo& p : ports) text += p.kernelName + "=" + p.alias + "\n";
  return text;
}

}  // namespace

void UseDiscoveryRootForTests(std::optional<std::string> root) {
  std::lock_guard lock(g_rootMutex);
  g_root = root ? *root : "/";
}

std::string DiscoveryRoot() {
  std::lock_guard lock(g_rootMutex);
  return g_root;
}

bool DiscoveryRootIsReal() {
  return DiscoveryRoot() == "/";
}

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

std::vector<SerialPortInfo> WalkSysfs(const std::string& rootText) {
  const fs::path root(rootText.empty() ? "/" : rootText);
  const std::set<std::string> consoles = KernelConsoles(root);
  const auto aliases = Aliases(root);
  std::vector<SerialPortInfo> ports;
  std::set<std::string> seen;
  std::error_code ec;
  for (fs::directory_iterator it(root / "sys/class/tty", ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!IsSerialTty(it->path(), name)) continue;
    if (consoles.count(Lower(name)) != 0 || IsPlaceholder(it->path())) continue;
    if (!seen.insert(Lower(name)).second) continue;
    SerialPortInfo port = ReadPort(it->path(), name, root);
    if (const auto alias = aliases.find(name); alias != aliases.end()) port.alias = alias->second;
    ports.push_back(std::move(port));
  }
  std::sort(ports.begin(), ports.end(), [](const SerialPortInfo& a, const SerialPortInfo& b) {
    return NaturalLess(a.kernelName, b.kernelName);
  });
  return ports;
}

std::vector<SerialPortInfo> DiscoverSerialPorts() {
  std::vector<SerialPortInfo> ports = WalkSysfs(DiscoveryRoot());
  if (DiscoveryRootIsReal()) EnrichFromUdev(ports);
  return ports;
}

std::optional<SerialPortInfo> FindSerialPort(const std::vector<SerialPortInfo>& ports,
                                             const std::string& name) {
  for (const SerialPortInfo& p : ports) {
    if (name == p.kernelName || name == p.devicePath || (!p.alias.empty() && name == p.alias)) {
      return p;
    }
  }
  return std::nullopt;
}

// --- the monitor ----------------------------------------------------------------------

struct SerialPortMonitor::State {
  std::function<void()> onChange;
  std::chrono::milliseconds pollPeriod;
  int stopFd = -1;
  std::string last;  // the ports as last seen
  std::thread thread;

  void Run() {
    NameCurrentThread("veltra-portwatch");
    const std::unique_ptr<UdevWatch> udev = DiscoveryRootIsReal() ? OpenUdevWatch() : nullptr;
    // With udev's events the rescan only catches what they missed.
    const auto period = udev ? pollPeriod * kPollStretchWithUdev : pollPeriod;
    for (;;) {
      pollfd fds[2] = {{stopFd, POLLIN, 0}, {udev ? udev->Fd() : -1, POLLIN, 0}};
      const int n = poll(fds, 2, static_cast<int>(period.count()));
      if (n > 0 && (fds[0].revents & POLLIN)) return;
      if (udev && (fds[1].revents & POLLIN)) udev->Drain();
      std::string now = Signature(DiscoverSerialPorts());
      if (now == last) continue;
      last = std::move(now);
      onChange();
    }
  }
};

SerialPortMonitor::SerialPortMonitor(std::function<void()> onChange,
                                     std::chrono::milliseconds pollPeriod)
    : state_(std::make_unique<State>()) {
  state_->onChange = std::move(onChange);
  state_->pollPeriod = pollPeriod;
  state_->stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  // Taken here: a port that comes while the thread starts is a change.
  state_->last = Signature(DiscoverSerialPorts());
  state_->thread = std::thread([s = state_.get()] { s->Run(); });
}

SerialPortMonitor::~SerialPortMonitor() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = write(state_->stopFd, &one, sizeof one);
  if (state_->thread.joinable()) state_->thread.join();
  close(state_->stopFd);
}

}  // namespace veltra::platform
