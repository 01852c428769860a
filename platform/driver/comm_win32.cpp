// comm_api.h on Windows: each call goes straight to the native one. The layer's
// records have the native layouts (checked below) except OVERLAPPED, whose hEvent
// is a 32-bit handle here; each of the caller's records gets a native twin that
// lives as long as the process (a port component owns three).
//
// Our headers come first: <windows.h> defines TRUE, INFINITE, EV_RXCHAR, ... as
// macros, which would break the constants' declarations.
#include "platform/core/comm_api.h"
#include "platform/core/open_failure.h"
#include "platform/core/sysinfo_seam.h"
#include "platform/driver/port_notices.h"

#include "platform/core/windows_lean.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace veltra::platform {
namespace {
std::atomic<long long> g_platformOverride{-1};
}  // namespace

void OverridePlatformIdForTests(std::optional<std::uint32_t> platformId) {
  g_platformOverride.store(platformId ? static_cast<long long>(*platformId) : -1);
}

}  // namespace veltra::platform

namespace veltra::win {

static_assert(sizeof(DCB) == sizeof(::DCB));
static_assert(sizeof(COMMTIMEOUTS) == sizeof(::COMMTIMEOUTS));
static_assert(sizeof(COMSTAT) == sizeof(::COMSTAT));
static_assert(sizeof(OSVERSIONINFOA) == sizeof(::OSVERSIONINFOA));

namespace {

// Kernel handles carry 32 significant bits and are sign-extended (HandleToLong /
// LongToHandle), so INVALID_HANDLE_VALUE maps to itself.
::HANDLE Native(HANDLE handle) {
  return LongToHandle(static_cast<LONG>(handle));
}
HANDLE Ours(::HANDLE handle) {
  return HandleToULong(handle);
}

::OVERLAPPED* NativeTwin(OVERLAPPED* ours) {
  if (ours == nullptr) return nullptr;
  static std::mutex mutex;
  static std::unordered_map<OVERLAPPED*, std::unique_ptr<::OVERLAPPED>> twins;
  std::lock_guard lock(mutex);
  auto& twin = twins[ours];
  if (!twin) twin = std::make_unique<::OVERLAPPED>();
  twin->Offset = ours->Offset;
  twin->OffsetHigh = ours->OffsetHigh;
  twin->hEvent = Native(ours->hEvent);
  return twin.get();
}

void CopyBack(OVERLAPPED* ours, const ::OVERLAPPED* twin) {
  if (ours == nullptr) return;
  ours->Internal = twin->Internal;
  ours->InternalHigh = twin->InternalHigh;
}

}  // namespace

struct CriticalSectionImpl {
  ::CRITICAL_SECTION native;
};

HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode,
                   void* securityAttributes, DWORD creationDisposition, DWORD flagsAndAttributes,
                   HANDLE templateFile) {
  platform::SetLastOpenFailureText({});
  return Ours(::CreateFileA(fileName, desiredAccess, shareMode,
                            static_cast<LPSECURITY_ATTRIBUTES>(securityAttributes),
                            creationDisposition, flagsAndAttributes, Native(templateFile)));
}
BOOL CloseHandle(HANDLE object) {
  return ::CloseHandle(Native(object));
}
BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) {
  return ::SetupComm(Native(file), inQueue, outQueue);
}
BOOL GetCommState(HANDLE file, DCB* dcb) {
  return ::GetCommState(Native(file), reinterpret_cast<::DCB*>(dcb));
}
BOOL SetCommState(HANDLE file, const DCB* dcb) {
  return ::SetCommState(Native(file), reinterpret_cast<::DCB*>(const_cast<DCB*>(dcb)));
}
BOOL GetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts) {
  return ::GetCommTimeouts(Native(file), reinterpret_cast<::COMMTIMEOUTS*>(timeouts));
}
BOOL SetCommTimeouts(HANDLE file, const COMMTIMEOUTS* timeouts) {
  return ::SetCommTimeouts(Native(file),
                           reinterpret_cast<::COMMTIMEOUTS*>(const_cast<COMMTIMEOUTS*>(timeouts)));
}
BOOL GetCommMask(HANDLE file, DWORD* eventMask) {
  return ::GetCommMask(Native(file), reinterpret_cast<::DWORD*>(eventMask));
}
BOOL SetCommMask(HANDLE file, DWORD eventMask) {
  return ::SetCommMask(Native(file), eventMask);
}
// The mask word is written by the system when the wait completes, so it must be the
// caller's own word: DWORD is unsigned long on Windows, the same 32 bits.
BOOL WaitCommEvent(HANDLE file, DWORD* eventMask, OVERLAPPED* overlapped) {
  return ::WaitCommEvent(Native(file), reinterpret_cast<::DWORD*>(eventMask),
                         NativeTwin(overlapped));
}
BOOL ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead,
              OVERLAPPED* overlapped) {
  return ::ReadFile(Native(file), buffer, bytesToRead, reinterpret_cast<::DWORD*>(bytesRead),
                    NativeTwin(overlapped));
}
BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten,
               OVERLAPPED* overlapped) {
  return ::WriteFile(Native(file), buffer, bytesToWrite, reinterpret_cast<::DWORD*>(bytesWritten),
                     NativeTwin(overlapped));
}
BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* bytesTransferred, BOOL wait) {
  ::OVERLAPPED* twin = NativeTwin(overlapped);
  const BOOL ok =
      ::GetOverlappedResult(Native(file), twin, reinterpret_cast<::DWORD*>(bytesTransferred), wait);
  CopyBack(overlapped, twin);
  return ok;
}
BOOL CancelIoEx(HANDLE file, OVERLAPPED* overlapped) {
  return ::CancelIoEx(Native(file), NativeTwin(overlapped));
}
BOOL ClearCommError(HANDLE file, DWORD* errors, COMSTAT* stat) {
  return ::ClearCommError(Native(file), reinterpret_cast<::DWORD*>(errors),
                          reinterpret_cast<::COMSTAT*>(stat));
}
BOOL GetCommModemStatus(HANDLE file, DWORD* modemStat) {
  return ::GetCommModemStatus(Native(file), reinterpret_cast<::DWORD*>(modemStat));
}
BOOL EscapeCommFunction(HANDLE file, DWORD function) {
  return ::EscapeCommFunction(Native(file), function);
}
BOOL SetCommBreak(HANDLE file) {
  return ::SetCommBreak(Native(file));
}
BOOL ClearCommBreak(HANDLE file) {
  return ::ClearCommBreak(Native(file));
}
BOOL PurgeComm(HANDLE file, DWORD flags) {
  return ::PurgeComm(Native(file), flags);
}

HANDLE CreateEventA(void* securityAttributes, BOOL manualReset, BOOL initialState,
                    const char* name) {
  return Ours(::CreateEventA(static_cast<LPSECURITY_ATTRIBUTES>(securityAttributes), manualReset,
                             initialState, name));
}
BOOL SetEvent(HANDLE event) {
  return ::SetEvent(Native(event));
}
BOOL ResetEvent(HANDLE event) {
  return ::ResetEvent(Native(event));
}
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return ::WaitForSingleObject(Native(handle), milliseconds);
}
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
  ::HANDLE natives[MAXIMUM_WAIT_OBJECTS];
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  for (DWORD i = 0; i < count; ++i) natives[i] = Native(handles[i]);
  return ::WaitForMultipleObjects(count, natives, waitAll, milliseconds);
}

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

DWORD GetTickCount() {
  return ::GetTickCount();
}
void Sleep(DWORD milliseconds) {
  ::Sleep(milliseconds);
}
DWORD GetLastError() {
  return ::GetLastError();
}
void SetLastError(DWORD code) {
  ::SetLastError(code);
}

// Deprecated, yet the one call that reports the platform family.
#if defined(_MSC_VER)
#pragma warning(disable : 4996)
#endif
BOOL GetVersionExA(OSVERSIONINFOA* info) {
  const BOOL ok = ::GetVersionExA(reinterpret_cast<::OSVERSIONINFOA*>(info));
  const long long forced = platform::g_platformOverride.load();
  if (ok && forced >= 0) info->dwPlatformId = static_cast<DWORD>(forced);
  return ok;
}

}  // namespace veltra::win

namespace veltra::platform {

// Windows' own drivers leave no notices.
std::vector<PortNotice> TakePortNotices(win::HANDLE /*port*/) {
  return {};
}

}  // namespace veltra::platform
