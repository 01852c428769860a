// Shared by the sysfs walk, the udev backend and the port enumeration.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/discovery/port_discovery.h"

namespace veltra::platform {

// "/" or the test seam's fake root.
std::string DiscoveryRoot();
bool DiscoveryRootIsReal();

// Every serial tty under root's sysfs and /dev, without opening one.
std::vector<SerialPortInfo> WalkSysfs(const std::string& root);

// ttyS2 before ttyS10.
bool NaturalLess(const std::string& a, const std::string& b);

// libudev backend (port_udev.cpp), or nothing where it is not built in
// (port_udev_none.cpp). Fills only what the walk left empty.
void EnrichFromUdev(std::vector<SerialPortInfo>& ports);

// A udev monitor on the tty subsystem: a descriptor that becomes readable on an
// event. Null where there is none.
class UdevWatch {
 public:
  virtual ~UdevWatch() = default;
  virtual int Fd() const = 0;
  virtual void Drain() = 0;  // takes the pending events
};
std::unique_ptr<UdevWatch> OpenUdevWatch();

}  // namespace veltra::platform
