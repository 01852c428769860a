// A COM port through the system's own calls. The layer's records have the native
// layouts (checked below) except OVERLAPPED, whose hEvent is a layer handle: each
// of the caller's records gets a native twin, owned by the port, that carries the
// native event behind that handle.
//
// Our headers come first: <windows.h> defines TRUE, INFINITE, EV_RXCHAR, ... as
// macros, which would break the constants' declarations.
#include "platform/core/open_failure.h"
#include "platform/core/handles_win32.h"
#include "platform/driver/native_port_win32.h"

#include "platform/core/windows_lean.h"

#include <cstring>

namespace veltra::platform {

static_assert(sizeof(DCB) == sizeof(::DCB));
static_assert(sizeof(COMMTIMEOUTS) == sizeof(::COMMTIMEOUTS));
static_assert(sizeof(COMSTAT) == sizeof(::COMSTAT));

namespace {

DWORD Result(BOOL ok) {
  return ok ? 0 : NativeError();
}

template <class Native, class Ours>
Native Copy(const Ours& ours) {
  static_assert(sizeof(Native) == sizeof(Ours));
  Native native;
  std::memcpy(&native, &ours, sizeof native);
  return native;
}

// The words the tty lower half uses on POSIX, where the meaning is the same.
std::string OpenFailureText(DWORD error, const std::string& name) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return "No such device: " + name + ".";
    case ERROR_ACCESS_DENIED:  // Windows opens a COM port for one program at a time
      return name + " is in use by another program.";
    default:
      break;
  }
  char text[512] = {};
  const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, error, 0, text, sizeof text, nullptr);
  std::string words(text, n);
  while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == '.'))
    words.pop_back();
  return words.empty() ? "" : name + ": " + words + ".";
}

}  // namespace

struct NativePort::Twin {
  ::OVERLAPPED overlapped{};
  std::shared_ptr<NativeEvent> event;  // kept alive while the system may signal it
  static ::OVERLAPPED* Of(Twin* twin) { return twin != nullptr ? &twin->overlapped : nullptr; }
};

std::string NativeDevicePath(const std::string& name) {
  if (name.find_first_of("\\/:") != std::string::npos) return name;
  return "\\\\.\\" + name;
}

std::shared_ptr<NativePort> NativePort::Open(const std::string& path, const std::string& name,
                                             DWORD flagsAndAttributes, DWORD* error) {
  const ::HANDLE h = ::CreateFileA(NativeDevicePath(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                   nullptr, OPEN_EXISTING, flagsAndAttributes, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *error = NativeError();
    SetLastOpenFailureText(OpenFailureText(*error, name));
    return nullptr;
  }
  // CreateFile opens files and other devices as readily as ports.
  ::DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  const bool character = ::GetFileType(h) == FILE_TYPE_CHAR;
  if (!character || !::GetCommState(h, &dcb)) {
    ::CloseHandle(h);
    *error = ERROR_INVALID_FUNCTION;
    SetLastOpenFailureText(name + " is not a serial port (" +
                           (character ? "a device of another kind" : "not a device") + ")");
    return nullptr;
  }
  return std::make_shared<NativePort>(h);
}

NativePort::~NativePort() {
  Close();
}

DWORD NativePort::Close() {
  void* h = nullptr;
  {
    std::lock_guard lock(mutex_);
    std::swap(h, native_);
  }
  return h != nullptr ? Result(::CloseHandle(h)) : 0;
}

NativePort::Twin* NativePort::TwinFor(OVERLAPPED* ours) {
  if (ours == nullptr) return nullptr;
  std::lock_guard lock(mutex_);
  auto& twin = twins_[ours];
  if (!twin) twin = std::make_shared<Twin>();
  twin->overlapped.Offset = ours->Offset;
  twin->overlapped.OffsetHigh = ours->OffsetHigh;
  twin->event = LookupHandleAs<NativeEvent>(ours->hEvent);
  twin->overlapped.hEvent = twin->event ? static_cast<::HANDLE>(twin->event->Native()) : nullptr;
  return twin.get();
}

DWORD NativePort::SetupComm(DWORD inQueue, DWORD outQueue) {
  return Result(::SetupComm(native_, inQueue, outQueue));
}
DWORD NativePort::GetCommState(DCB* dcb) {
  ::DCB native{};
  native.DCBlength = sizeof native;
  const DWORD error = Result(::GetCommState(native_, &native));
  if (error == 0) std::memcpy(static_cast<void*>(dcb), &native, sizeof native);
  return error;
}
DWORD NativePort::SetCommState(const DCB& dcb) {
  ::DCB native = Copy<::DCB>(dcb);
  return Result(::SetCommState(native_, &native));
}
DWORD NativePort::GetCommTimeouts(COMMTIMEOUTS* timeouts) {
  ::COMMTIMEOUTS native{};
  const DWORD error = Result(::GetCommTimeouts(native_, &native));
  if (error == 0) std::memcpy(static_cast<void*>(timeouts), &native, sizeof native);
  return error;
}
DWORD NativePort::SetCommTimeouts(const COMMTIMEOUTS& timeouts) {
  ::COMMTIMEOUTS native = Copy<::COMMTIMEOUTS>(timeouts);
  return Result(::SetCommTimeouts(native_, &native));
}
DWORD NativePort::GetCommMask(DWORD* mask) {
  ::DWORD native = 0;
  const DWORD error = Result(::GetCommMask(native_, &native));
  if (error == 0) *mask = native;
  return error;
}
DWORD NativePort::SetCommMask(DWORD mask) {
  return Result(::SetCommMask(native_, mask));
}
// The system writes the mask when the wait completes, so it must be the caller's
// own word: DWORD is unsigned long on Windows, the same 32 bits.
DWORD NativePort::WaitCommEvent(DWORD* mask, OVERLAPPED* ov) {
  static_assert(sizeof(DWORD) == sizeof(::DWORD));
  Twin* twin = TwinFor(ov);
  return Result(::WaitCommEvent(native_, reinterpret_cast<::DWORD*>(mask), Twin::Of(twin)));
}
DWORD NativePort::ReadFile(void* buffer, DWORD count, DWORD* bytesRead, OVERLAPPED* ov) {
  Twin* twin = TwinFor(ov);
  return Result(::ReadFile(native_, buffer, count, reinterpret_cast<::DWORD*>(bytesRead),
                           Twin::Of(twin)));
}
DWORD NativePort::WriteFile(const void* buffer, DWORD count, DWORD* bytesWritten,
                            OVERLAPPED* ov) {
  Twin* twin = TwinFor(ov);
  return Result(::WriteFile(native_, buffer, count, reinterpret_cast<::DWORD*>(bytesWritten),
                            Twin::Of(twin)));
}
DWORD NativePort::GetOverlappedResult(OVERLAPPED* ov, DWORD* bytes, bool wait) {
  if (ov == nullptr) return ERROR_INVALID_PARAMETER;
  Twin* twin;
  {
    std::lock_guard lock(mutex_);
    const auto it = twins_.find(ov);
    if (it == twins_.end()) return ERROR_INVALID_PARAMETER;  // no request was made with it
    twin = it->second.get();
  }
  const DWORD error = Result(::GetOverlappedResult(
      native_, &twin->overlapped, reinterpret_cast<::DWORD*>(bytes), wait ? TRUE : FALSE));
  ov->Internal = twin->overlapped.Internal;
  ov->InternalHigh = twin->overlapped.InternalHigh;
  return error;
}
DWORD NativePort::CancelIo(OVERLAPPED* ov) {
  ::OVERLAPPED* native = nullptr;
  if (ov != nullptr) {
    std::lock_guard lock(mutex_);
    const auto it = twins_.find(ov);
    if (it == twins_.end()) return ERROR_NOT_FOUND;
    native = &it->second->overlapped;
  }
  return Result(::CancelIoEx(native_, native));
}
DWORD NativePort::ClearCommError(DWORD* errors, COMSTAT* stat) {
  ::DWORD nativeErrors = 0;
  ::COMSTAT nativeStat{};
  const DWORD error = Result(::ClearCommError(native_, &nativeErrors, &nativeStat));
  if (error != 0) return error;
  if (errors != nullptr) *errors = nativeErrors;
  if (stat != nullptr) std::memcpy(static_cast<void*>(stat), &nativeStat, sizeof nativeStat);
  return 0;
}
DWORD NativePort::GetCommModemStatus(DWORD* status) {
  ::DWORD native = 0;
  const DWORD error = Result(::GetCommModemStatus(native_, &native));
  if (error == 0) *status = native;
  return error;
}
DWORD NativePort::EscapeCommFunction(DWORD function) {
  return Result(::EscapeCommFunction(native_, function));
}
DWORD NativePort::PurgeComm(DWORD flags) {
  return Result(::PurgeComm(native_, flags));
}

}  // namespace veltra::platform
