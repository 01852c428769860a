// The handle table, CloseHandle, setting events, the tick count and the thread's last
// error: the same on every system, since every HANDLE is an id in the layer's own table.
#include <chrono>
#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "platform/core/comm_api.h"
#include "platform/core/handles.h"

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

// The layer's own word, not the system's: the C++ library and the layer's locks may
// call the system between a failure and the caller's GetLastError.
thread_local win::DWORD lastError = win::ERROR_SUCCESS;

std::shared_ptr<HandleObject> TakeHandle(win::HANDLE handle) {
  auto& t = Table();
  std::lock_guard lock(t.mutex);
  auto it = t.objects.find(handle);
  if (it == t.objects.end()) return nullptr;
  auto taken = std::move(it->second);
  t.objects.erase(it);
  return taken;
}

}  // namespace

win::HANDLE RegisterHandle(std::shared_ptr<HandleObject> object) {
  auto& t = Table();
  std::lock_guard lock(t.mutex);
  if (t.next == win::INVALID_HANDLE_VALUE) return win::INVALID_HANDLE_VALUE;  // 4 billion opens
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
  auto e = LookupHandleAs<EventHandle>(event);
  if (!e) return false;
  e->Set();
  return true;
}

}  // namespace veltra::platform

namespace veltra::win {

BOOL CloseHandle(HANDLE object) {
  const std::shared_ptr<platform::HandleObject> taken = platform::TakeHandle(object);
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

BOOL SetEvent(HANDLE event) {
  auto e = platform::LookupHandleAs<platform::EventHandle>(event);
  if (!e) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  e->Set();
  return TRUE;
}

BOOL ResetEvent(HANDLE event) {
  auto e = platform::LookupHandleAs<platform::EventHandle>(event);
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

// Milliseconds since an arbitrary start, wrapping at 2^32 like the Win32 counter, and
// counted in whole milliseconds everywhere: the system's own counter moves in steps of
// the timer tick (10 to 16 ms), coarser than the time-outs the engine measures.
DWORD GetTickCount() {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
  return static_cast<DWORD>(static_cast<std::uint64_t>(ms.count()));
}

DWORD GetLastError() {
  return platform::lastError;
}
void SetLastError(DWORD code) {
  platform::lastError = code;
}

}  // namespace veltra::win
