// The layer's handle table: every HANDLE (serial port, event) is an id that maps to
// a reference-counted object. Ids count up and are never reused, so a call made
// with the handle of a closed port fails with ERROR_INVALID_HANDLE instead of
// reaching whatever was opened next.
#pragma once

#include <memory>

#include "platform/core/win32_types.h"

namespace veltra::platform {

class HandleObject {
 public:
  virtual ~HandleObject() = default;
  // Called once by CloseHandle after the handle has left the table; returns 0 or a
  // Win32 error code. Calls still running on the object keep it alive.
  virtual win::DWORD Close() { return win::ERROR_SUCCESS; }
};

// An event of the layer: a plain one on POSIX, a native one on Windows.
class EventHandle : public HandleObject {
 public:
  virtual void Set() = 0;
  virtual void Reset() = 0;
};

win::HANDLE RegisterHandle(std::shared_ptr<HandleObject> object);
std::shared_ptr<HandleObject> LookupHandle(win::HANDLE handle);
template <class T>
std::shared_ptr<T> LookupHandleAs(win::HANDLE handle) {
  return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}

// Signals an event from inside the layer (a completed request); false for a handle
// that is not an event.
bool SignalEventHandle(win::HANDLE event);

}  // namespace veltra::platform
