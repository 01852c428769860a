// list, checksum and drawer: commands that open no serial port.
#include <algorithm>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "cli/commands.h"
#include "cli/session.h"
#include "platform/discovery/port_discovery.h"
#include "platform/virtual/simulated_devices.h"
#include "platform/virtual/virtual_ports.h"
#include "session/device_commands.h"

#ifdef VELTRA_CLI_HAVE_PRINTER
#include "printer/raw_printer.h"
#include "printer/spooler/spooler.h"
#endif

namespace veltra::cli {

namespace {

struct TPortEntry {
  const char* kind;
  platform::SerialPortInfo info;  // only the kernel name for a built-in port
  std::string description;
};

std::vector<TPortEntry> PortEntries() {
  std::vector<TPortEntry> ports;
  for (const platform::SerialPortInfo& port : platform::DiscoverSerialPorts())
    ports.push_back({"serial", port, platform::DescribePort(port)});
  for (const std::string& name : platform::BuiltInPortNames()) {
    platform::SerialPortInfo builtIn;
    builtIn.kernelName = name;
    ports.push_back({"built-in", builtIn, platform::VirtualPortDescription(name)});
  }
  return ports;
}

// sysfs hands over whatever bytes a device's descriptors hold: a byte that is not
// UTF-8 becomes U+FFFD, so the list always parses.
std::string JsonString(const std::string& text) {
  return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string JsonEntry(const TPortEntry& p) {
  const platform::SerialPortInfo& i = p.info;
  const std::pair<const char*, const std::string*> fields[] = {{"path", &i.devicePath},
                                                               {"alias", &i.alias},
                                                               {"description", &p.description},
                                                               {"vendor_id", &i.vendorId},
                                                               {"product_id", &i.productId},
                                                               {"manufacturer", &i.manufacturer},
                                                               {"product", &i.product},
                                                               {"serial_number", &i.serialNumber},
                                                               {"driver", &i.driver}};
  std::string json = "{\"name\": " + JsonString(i.kernelName) + ", \"kind\": " + JsonString(p.kind);
  for (const auto& [key, value] : fields)
    json += ", \"" + std::string(key) + "\": " + JsonString(*value);
  return json + "}";
}

std::string ListJson(const std::vector<TPortEntry>& ports) {
  std::string json = "[";
  for (const TPortEntry& p : ports) json += (json.size() > 1 ? ",\n " : "\n ") + JsonEntry(p);
  return json + (ports.empty() ? "]\n" : "\n]\n");
}

std::string ListText(const std::vector<TPortEntry>& ports) {
  std::size_t width = 4;
  for (const TPortEntry& p : ports) width = std::max(width, p.info.kernelName.size());
  auto row = [width](const std::string& name, const std::string& kind, const std::string& text) {
    std::string line = name + std::string(width + 2 - name.size(), ' ') + kind;
    if (!text.empty()) line += std::string(10 - std::min<std::size_t>(kind.size(), 9), ' ') + text;
    return line + "\n";
  };
  std::string list = row("PORT", "KIND", "DESCRIPTION");
  for (const TPortEntry& p : ports) {
    list += row(p.info.kernelName, p.kind, p.description);
    // The stable name survives re-plugging into another USB socket.
    if (!p.info.alias.empty()) list += row("", "", "alias " + p.info.alias);
  }
  return list;
}

}  // namespace

int RunList(const TOptions& o, TConsole& console) {
  const std::vector<TPortEntry> ports = PortEntries();
  console.Out.Write(o.Json ? ListJson(ports) : ListText(ports));
  return kExitOk;
}

int RunChecksum(const TOptions& o, TConsole& console) {
  const session::TScaleChecksum checksum = session::ComputeScaleChecksum(o.RandomNumber);
  if (checksum.Replaced)
    console.Err.Write(std::string("veltra-cli: ") + session::kRandomNumberInvalid + "\n");
  console.Out.Write(session::ScaleChecksumMessage(checksum) + "\n");
  return kExitOk;
}

#ifdef VELTRA_CLI_HAVE_PRINTER

int RunDrawer(const TOptions& o, TConsole& console) {
  printer::TRAWPrinter printer;
  printer.SetDocumentTitle("CashDrawerSignal");
  std::string name = o.Printer;
  if (name.empty() && printer.UseDefaultPrinter()) name = printer.PrinterName();
  if (name.empty()) {
    const std::vector<std::string> installed = win::EnumPrinterNames();
    if (!installed.empty()) name = installed.front();  // the window's first entry
  }
  if (name.empty()) {
    console.Err.Write("veltra-cli: drawer: Please define first the Printer (none is installed)\n");
    return kExitFailed;
  }
  const std::string pulse = session::DrawerPulseCommand(o.SecondDrawer, o.OnMs, o.OffMs);
  if (!printer::PrintRawDocument(printer, name, {session::kDrawerSelectAndInit, pulse})) {
    console.Err.Write("veltra-cli: drawer: Cash-Drawer-Signal not sent to '" + name + "'\n");
    return kExitFailed;
  }
  console.Out.Write("Cash-Drawer-Signal sent to '" + name + "'\n");
  return kExitOk;
}

#else

int RunDrawer(const TOptions&, TConsole& console) {
  console.Err.Write("veltra-cli: drawer: this build has no printing\n");
  return kExitFailed;
}

#endif

}  // namespace veltra::cli
