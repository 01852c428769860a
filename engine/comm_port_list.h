// The serial ports present on the machine, by the names users know, and the
// operating-system version query behind TSerialPort::PlatformID.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/core/win32_types.h"

namespace veltra::engine {

// A list of names that holds no name twice (compared without regard to case).
using TStringList = std::vector<std::string>;

// Adds the serial ports found to List, after what it holds, skipping names it holds
// already. The list is not cleared first.
void EnumComPorts(TStringList& List);

// Fills Info (its size field set to 148 first); returns dwPlatformId, or -1 when the
// query fails.
std::int32_t QueryOSVersion(win::OSVERSIONINFOA& Info);

}  // namespace veltra::engine
