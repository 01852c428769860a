// The serial devices present on this machine, by the names users know.
#pragma once

#include <string>
#include <vector>

namespace veltra::platform {

// Lists ttyS0, ttyUSB0, ttyACM0, ... from sysfs: every tty backed by a device,
// without 8250 placeholders that have no UART behind them and without the
// kernel's console (opening it would disturb the console). Sorted, each name once
// (compared without regard to case). `root` is the file-system root the sysfs and
// proc trees are read under; tests point it at a fake tree.
std::vector<std::string> ListSerialDevices(const std::string& root = "/");

}  // namespace veltra::platform
