// Serial ports on Windows: SetupAPI's Ports class gives each port's COM name with
// what the device is (friendly name, maker, hardware ID with USB vendor and product,
// the serial number in a USB instance ID, the driver service). Ports a driver
// entered in the device map (HARDWARE\DEVICEMAP\SERIALCOMM) but SetupAPI does not
// show are added by name alone. The monitor polls.
#include "platform/discovery/port_discovery.h"
#include "platform/discovery/port_enum.h"
#include "platform/core/thread_name.h"

#include "platform/core/windows_lean.h"

#include <devguid.h>
#include <setupapi.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <tuple>

namespace veltra::platform {
namespace {

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

bool SameText(const std::string& a, const std::string& b) {
  return Upper(a) == Upper(b);
}

std::string RegistryProperty(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
  char buffer[1024] = {};
  DWORD type = 0;
  if (!SetupDiGetDeviceRegistryPropertyA(set, &device, property, &type,
                                         reinterpret_cast<BYTE*>(buffer), sizeof buffer - 2,
                                         nullptr)) {
    return "";
  }
  return buffer;  // a REG_MULTI_SZ gives its first string
}

std::string PortNameOf(HDEVINFO set, SP_DEVINFO_DATA& device) {
  const HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  if (key == INVALID_HANDLE_VALUE) return "";
  char name[256] = {};
  DWORD size = sizeof name - 1;
  DWORD type = 0;
  const LONG rc =
      RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS && type == REG_SZ ? std::string(name) : "";
}

// "USB\VID_10C4&PID_EA60&REV_0100" -> "10c4", "ea60".
std::string IdAfter(const std::string& hardwareId, const std::string& tag) {
  const std::size_t at = Upper(hardwareId).find(tag);
  if (at == std::string::npos || at + tag.size() + 4 > hardwareId.size()) return "";
  std::string id = hardwareId.substr(at + tag.size(), 4);
  for (char& c : id) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return id;
}

// A USB device's instance ID ends in its serial number when it has one; Windows
// makes up an ID with '&' in it otherwise.
std::string SerialFromInstance(HDEVINFO set, SP_DEVINFO_DATA& device) {
  char id[512] = {};
  if (!SetupDiGetDeviceInstanceIdA(set, &device, id, sizeof id, nullptr)) return "";
  const std::string instance = id;
  if (Upper(instance).rfind("USB\\", 0) != 0) return "";
  const std::string last = instance.substr(instance.rfind('\\') + 1);
  return last.find('&') == std::string::npos ? last : "";
}

// "USB Serial Port (COM5)" -> "USB Serial Port".
std::string WithoutComName(std::string friendly, const std::string& com) {
  const std::string tail = " (" + com + ")";
  if (friendly.size() > tail.size() && friendly.ends_with(tail))
    friendly.erase(friendly.size() - tail.size());
  return friendly;
}

void AddSetupApiPorts(std::vector<SerialPortInfo>& ports) {
  const HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
    const std::string com = PortNameOf(set, device);
    if (Upper(com).rfind("COM", 0) != 0) continue;  // LPT ports share the class
    SerialPortInfo port;
    port.kernelName = com;
    port.devicePath = "\\\\.\\" + com;
    const std::string hardwareId = RegistryProperty(set, device, SPDRP_HARDWAREID);
    port.vendorId = IdAfter(hardwareId, "VID_");
    port.productId = IdAfter(hardwareId, "PID_");
    port.manufacturer = RegistryProperty(set, device, SPDRP_MFG);
    port.product = WithoutComName(RegistryProperty(set, device, SPDRP_FRIENDLYNAME), com);
    port.serialNumber = SerialFromInstance(set, device);
    port.driver = RegistryProperty(set, device, SPDRP_SERVICE);
    ports.push_back(std::move(port));
  }
  SetupDiDestroyDeviceInfoList(set);
}

bool NaturalLess(const std::string& a, const std::string& b) {
  const auto split = [](const std::string& s) {
    const std::size_t digits = s.find_first_of("0123456789");
    const std::string stem = Upper(s.substr(0, digits));
    const std::string number = digits == std::string::npos ? "" : s.substr(digits);
    return std::make_tuple(stem, number.size(), number);
  };
  return split(a) < split(b);
}

std::string Signature(const std::vector<SerialPortInfo>& ports) {
  std::string text;
  for (const SerialPortInfo& p : ports) text += p.kernelName + '\n' + DescribePort(p) + '\n';
  return text;
}

}  // namespace

std::vector<SerialPortInfo> DiscoverSerialPorts() {
  std::vector<SerialPortInfo> ports;
  AddSetupApiPorts(ports);
  for (const std::string& name : ListSerialDevices()) {
    const bool known = std::any_of(ports.begin(), ports.end(), [&](const SerialPortInfo& p) {
      return SameText(p.kernelName, name);
    });
    if (!known) ports.push_back({name, "\\\\.\\" + name, "", "", "", "", "", "", ""});
  }
  std::sort(ports.begin(), ports.end(), [](const SerialPortInfo& a, const SerialPortInfo& b) {
    return NaturalLess(a.kernelName, b.kernelName);
  });
  return ports;
}

// COM names are not case-sensitive; "\\.\COM10" is the same port as "COM10".
std::optional<SerialPortInfo> FindSerialPort(const std::vector<SerialPortInfo>& ports,
                                             const std::string& name) {
  for (const SerialPortInfo& p : ports) {
    if (SameText(name, p.kernelName) || SameText(name, p.devicePath)) return p;
  }
  return std::nullopt;
}

struct SerialPortMonitor::State {
  std::function<void()> onChange;
  std::chrono::milliseconds pollPeriod;
  std::mutex mutex;
  std::condition_variable stopped;
  bool stop = false;
  std::string last;  // the ports as last seen
  std::thread thread;

  void Run() {
    NameCurrentThread("veltra-portwatch");
    for (;;) {
      {
        std::unique_lock lock(mutex);
        if (stopped.wait_for(lock, pollPeriod, [&] { return stop; })) return;
      }
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
  // Taken here: a port that comes while the thread starts is a change.
  state_->last = Signature(DiscoverSerialPorts());
  state_->thread = std::thread([s = state_.get()] { s->Run(); });
}

SerialPortMonitor::~SerialPortMonitor() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stop = true;
  }
  state_->stopped.notify_all();
  if (state_->thread.joinable()) state_->thread.join();
}

}  // namespace veltra::platform
