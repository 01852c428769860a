// Handle table, events, waits, critical sections, tick count, sleep and the
// thread's last error, for Windows. As on POSIX every HANDLE is an id in the
// layer's table (in-process virtual ports and network ports live there beside
// the system's COM ports); an event holds a native event, so that the same event
// can be given to the system's overlapped calls and to the layer's own driver.
#include "platform/core/comm_api.h"
#include "platform/core/handles.h"
#include "platform/core/handles_win32.h"

#include "platform/core/windows_lean.h"

#include <chrono>
#include <mutex>
#include <unordered_map>

namespace veltra::platform {
namespace {

struct HandleTable {
  std::mutex mutex;
  std::unordered_map<win::HANDLE, std::shared_ptr<HandleObject>> objects;
  win::HANDLE next = 1;
};

HandleTable& Table() {
  static HandleTable* table = new HandleTable;  // lives past static destructors of tests
  return *table;
}

thread_local win::DWORD lastError = 0;

}  // namespace

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

win::HANDLE RegisterHandle(std::shared_ptr<HandleObject> object) {
  auto& t = Table();
  std::lock_guard lock(t.mutex);
  if (t.next == kInvalidLayerHandle) return kInvalidLayerHandle;  // 4 billion opens
  const win::HANDLE h = t.next++;
  t.objects.emplace(h, std::move(object));
  return h;
}

std::shared_ptr<HandleObject> LookupHandle(win::HANDLE handle) {
  auto& t = Table();
  std::lock_guard lock(t.mutex);
  auto it = t.objects.find(handle);
  return it == t.objects.end() ? nullptr : it->second;
}

bool SignalEventHandle(win::HANDLE event) {
  auto e = LookupHandleAs<NativeEvent>(event);
  if (!e) return false;
  e->Set();
  return true;
}

}  // namespace veltra::platform

namespace veltra::win {

using platform::LookupHandleAs;
using platform::NativeEvent;

BOOL CloseHandle(HANDLE object) {
  std::shared_ptr<platform::HandleObject> taken;
  {
    auto& t = platform::Table();
    std::lock_guard lock(t.mutex);
    auto it = t.objects.find(object);
    if (it != t.objects.end()) {
      taken = std::move(it->second);
      t.objects.erase(it);
    }
  }
  if (!taken) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const DWORD error = taken->Close();
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return FALSE;
  }
  return TRUE;
}

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

BOOL SetEvent(HANDLE event) {
  auto e = LookupHandleAs<NativeEvent>(event);
  if (!e) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  e->Set();
  return TRUE;
}

BOOL ResetEvent(HANDLE event) {
  auto e = LookupHandleAs<NativeEvent>(event);
  if (!e) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  e->Reset();
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return WaitForMultipleObjects(1, &handle, FALSE, milliseconds);
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

// Counted in whole milliseconds, as on POSIX: the system's counter moves in steps
// of the timer tick (10 to 16 ms), coarser than the time-outs the engine measures.
DWORD GetTickCount() {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
  return static_cast<DWORD>(static_cast<std::uint64_t>(ms.count()));
}
void Sleep(DWORD milliseconds) {
  ::Sleep(milliseconds);
}

// The layer's own word, not the system's: the C++ library and the layer's
// locks may call the system between a failure and the caller's GetLastError.
DWORD GetLastError() {
  return platform::lastError;
}
void SetLastError(DWORD code) {
  platform::lastError = code;
}

}  // namespace veltra::win
