// Events, waits, critical sections and sleep, for Windows. As on POSIX every
// HANDLE is an id in the layer's table (in-process virtual ports and network ports live there beside
// the system's COM ports); an event holds a native event, so that the same event
// can be given to the system's overlapped calls and to the layer's own driver.
#include "platform/core/comm_api.h"
#include "platform/core/handles.h"
#include "platform/core/handles_win32.h"

#include "platform/core/windows_lean.h"


namespace veltra::platform {

NativeEvent::NativeEvent(bool manualReset, bool initial)
    : native_(::CreateEventA(nullptr, manualReset, initial, nullptr)) {}

NativeEvent::~NativeEvent() {
  if (native_ != nullptr) ::CloseHandle(native_);
}

void NativeEvent::Set() {
  ::SetEvent(native_);
}

void NativeEvent::Reset() {
  ::ResetEvent(native_);
}

win::DWORD NativeError() {
  return static_cast<win::DWORD>(::GetLastError());
}

}  // namespace veltra::platform

namespace veltra::win {

using platform::LookupHandleAs;
using platform::NativeEvent;

HANDLE CreateEventA(void* /*securityAttributes*/, BOOL manualReset, BOOL initialState,
                    const char* name) {
  if (name != nullptr) {  // named events are not needed by the engine
    SetLastError(ERROR_NOT_SUPPORTED);
    return 0;
  }
  auto event = std::make_shared<NativeEvent>(manualReset != FALSE, initialState != FALSE);
  if (event->Native() == nullptr) {
    SetLastError(platform::NativeError());
    return 0;
  }
  const HANDLE h = platform::RegisterHandle(std::move(event));
  if (h == platform::kInvalidLayerHandle) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;  // CreateEvent fails with a null handle, not INVALID_HANDLE_VALUE
  }
  SetLastError(ERROR_SUCCESS);
  return h;
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr || waitAll != FALSE) {
    SetLastError(ERROR_INVALID_PARAMETER);  // wait-all is not needed by the engine
    return WAIT_FAILED;
  }
  // The events are held until the wait ends, so a handle closed meanwhile cannot
  // close the native event under the system's wait.
  std::shared_ptr<NativeEvent> events[MAXIMUM_WAIT_OBJECTS];
  ::HANDLE natives[MAXIMUM_WAIT_OBJECTS];
  for (DWORD i = 0; i < count; ++i) {
    events[i] = LookupHandleAs<NativeEvent>(handles[i]);
    if (!events[i]) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    natives[i] = events[i]->Native();
  }
  const DWORD result = ::WaitForMultipleObjects(count, natives, FALSE, milliseconds);
  if (result == WAIT_FAILED) SetLastError(platform::NativeError());
  return result;
}

struct CriticalSectionImpl {
  ::CRITICAL_SECTION native;
};

void InitializeCriticalSection(CRITICAL_SECTION* section) {
  section->impl = new CriticalSectionImpl;
  ::InitializeCriticalSection(&section->impl->native);
}
void EnterCriticalSection(CRITICAL_SECTION* section) {
  ::EnterCriticalSection(&section->impl->native);
}
void LeaveCriticalSection(CRITICAL_SECTION* section) {
  ::LeaveCriticalSection(&section->impl->native);
}
void DeleteCriticalSection(CRITICAL_SECTION* section) {
  ::DeleteCriticalSection(&section->impl->native);
  delete section->impl;
  section->impl = nullptr;
}

void Sleep(DWORD milliseconds) {
  ::Sleep(milliseconds);
}

}  // namespace veltra::win
