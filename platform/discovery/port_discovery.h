// Every serial device the kernel has, with the names and facts a technician needs
// to tell two adapters apart: the stable alias udev made for it and what sysfs
// says about the hardware. Read from sysfs and /dev, enriched by libudev where it
// is built in; a test points both at a fake tree.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace veltra::platform {

struct SerialPortInfo {
  std::string kernelName;    // "ttyUSB0"
  std::string devicePath;    // "/dev/ttyUSB0"
  std::string alias;         // "/dev/serial/by-id/usb-...", else by-path; empty when none
  std::string vendorId;      // USB idVendor "10c4", PCI vendor "0x8086"; empty when unknown
  std::string productId;     // "ea60"
  std::string manufacturer;  // "Silicon Labs"
  std::string product;       // "CP2102 USB to UART Bridge Controller"
  std::string serialNumber;  // "0001"
  std::string driver;        // "cp210x", "serial8250", "cdc_acm"
};

// The ports present now, sorted by kernel name (ttyS2 before ttyS10): real UARTs
// (not 8250 placeholders, not the kernel's console), USB adapters, ACM modems,
// SoC UARTs, rfcomm. Never opens a device.
std::vector<SerialPortInfo> DiscoverSerialPorts();

// One line for a port list: "CP2102 USB to UART Bridge Controller, Silicon Labs
// (10c4:ea60) serial 0001, cp210x". Empty when nothing is known.
std::string DescribePort(const SerialPortInfo& port);

// The record whose kernel name, device path or alias is `name` (case-sensitive for
// paths, as the file system is).
std::optional<SerialPortInfo> FindSerialPort(const std::vector<SerialPortInfo>& ports,
                                             const std::string& name);

// Watches for ports coming and going; calls onChange (on its own thread) after the
// set of ports changed. Woken by udev's monitor where there is one, and rescans
// every pollPeriod as well, for machines without udev and for missed events.
class SerialPortMonitor {
 public:
  SerialPortMonitor(std::function<void()> onChange, std::chrono::milliseconds pollPeriod);
  ~SerialPortMonitor();  // stops the thread; no onChange runs after it
  SerialPortMonitor(const SerialPortMonitor&) = delete;
  SerialPortMonitor& operator=(const SerialPortMonitor&) = delete;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace veltra::platform
