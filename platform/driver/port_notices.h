// What the layer below an open port has to say that no Win32 call returns: a
// network peer that breaks its protocol, a line setting a device server refused,
// why a connection ended. Each is one line of text naming the port's server.
#pragma once

#include <string>
#include <vector>

#include "platform/core/win32_types.h"

namespace veltra::platform {

struct PortNotice {
  std::string text;
  // It explains a failure (a setting refused, the connection gone); else the port
  // goes on and this is a warning.
  bool error = false;
};

// The notices of an open port since the last call, oldest first (at most the 32
// newest are kept); empty for any other handle.
std::vector<PortNotice> TakePortNotices(win::HANDLE port);

}  // namespace veltra::platform
