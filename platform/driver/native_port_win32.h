// A COM port opened through the system on Windows, in the handle table beside the
// layer's own ports. Its calls mirror SerialDriver's (0 or the Win32 error code),
// so the dispatch treats both alike.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/core/handles.h"
#include "platform/driver/comm_device.h"
#include "platform/core/win32_types.h"

namespace veltra::platform {

using win::COMMTIMEOUTS;
using win::COMSTAT;
using win::DCB;
using win::DWORD;
using win::OVERLAPPED;

// "\\.\COM10" for "COM10" (names from COM10 on open only in the device namespace);
// a name given with the prefix or as another path stays as it is.
std::string NativeDevicePath(const std::string& name);

class NativePort final : public CommDevice {
 public:
  // Null with *error set, and words in LastOpenFailureText naming `name`, when the
  // system refuses or the device is no serial port (a file, the console, NUL).
  static std::shared_ptr<NativePort> Open(const std::string& path, const std::string& name,
                                          DWORD flagsAndAttributes, DWORD* error);
  explicit NativePort(void* native) : native_(native) {}
  ~NativePort() override;
  NativePort(const NativePort&) = delete;
  NativePort& operator=(const NativePort&) = delete;
  DWORD Close() override;

  DWORD SetupComm(DWORD inQueue, DWORD outQueue) override;
  DWORD GetCommState(DCB* dcb) override;
  DWORD SetCommState(const DCB& dcb) override;
  DWORD GetCommTimeouts(COMMTIMEOUTS* timeouts) override;
  DWORD SetCommTimeouts(const COMMTIMEOUTS& timeouts) override;
  DWORD GetCommMask(DWORD* mask) override;
  DWORD SetCommMask(DWORD mask) override;
  DWORD WaitCommEvent(DWORD* mask, OVERLAPPED* ov) override;
  DWORD ReadFile(void* buffer, DWORD count, DWORD* bytesRead, OVERLAPPED* ov) override;
  DWORD WriteFile(const void* buffer, DWORD count, DWORD* bytesWritten, OVERLAPPED* ov) override;
  DWORD GetOverlappedResult(OVERLAPPED* ov, DWORD* bytes, bool wait) override;
  DWORD CancelIo(OVERLAPPED* ov) override;
  DWORD ClearCommError(DWORD* errors, COMSTAT* stat) override;
  DWORD GetCommModemStatus(DWORD* status) override;
  DWORD EscapeCommFunction(DWORD function) override;
  DWORD PurgeComm(DWORD flags) override;

 private:
  struct Twin;
  // The system's OVERLAPPED for one of the caller's: it must stay put while a
  // request is pending, and carries the native event of the caller's event.
  Twin* TwinFor(OVERLAPPED* ours);

  void* native_;
  std::mutex mutex_;
  std::unordered_map<OVERLAPPED*, std::shared_ptr<Twin>> twins_;
};

}  // namespace veltra::platform
