// Whether the device behind a port that vanished while open is back, for every
// kind of port: a kernel tty (the same adapter by its USB serial number, else the
// same path), an in-process virtual port (plugged in again), a network port.
#pragma once

#include <string>

namespace veltra::platform {

// Who is behind a port name, taken while it is open.
struct PortIdentity {
  std::string name;       // as opened
  std::string serialKey;  // "vendor:product:serial" of a USB adapter that has one; else empty
};

PortIdentity IdentifyPort(const std::string& name);

// The name the device can be opened by again: the name it had, or for an adapter
// known by its serial number the name it came back under; empty while it is absent
// or not yet usable (udev sets a new node's permissions a moment after creating it).
// Never opens the device.
std::string LocateReturnedPort(const PortIdentity& identity);

}  // namespace veltra::platform

namespace veltra::platform {

// What is wrong with a port name typed by a user, without opening anything: empty
// for a built-in virtual port, a network name (scheme://...) and a tty node that
// may be opened; else the words of the refusal ("No such device: /dev/ttyUSB3.",
// "/dev/null is not a serial port (...)").
std::string PortNameProblem(const std::string& name);

}  // namespace veltra::platform
