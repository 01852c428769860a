// The one place where POSIX errno values become Win32 error codes.
#pragma once

#include "platform/core/win32_types.h"

namespace veltra::platform {

// Whether the failing call was opening the device or a call on a device that had
// been open: ENODEV and ENXIO say "no such device" while opening but "the device
// has gone" afterwards.
enum class ErrnoStage { kOpening, kOpen };

// Win32 code for errno `err`; see the table in errno_map.cpp.
win::DWORD Win32ErrorFromErrno(int err, ErrnoStage stage);

}  // namespace veltra::platform
