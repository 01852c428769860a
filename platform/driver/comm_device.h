// What stands behind a port handle: the layer's SerialDriver over a lower half, or on
// Windows a COM port opened through the system. Each call returns 0 or the Win32 error
// code; the dispatch of the comm calls turns that into FALSE and GetLastError.
#pragma once

#include <string>

#include "platform/core/handles.h"
#include "platform/core/win32_types.h"

namespace veltra::platform {

class CommDevice : public HandleObject {
 public:
  virtual win::DWORD SetupComm(win::DWORD inQueue, win::DWORD outQueue) = 0;
  virtual win::DWORD GetCommState(win::DCB* dcb) = 0;
  virtual win::DWORD SetCommState(const win::DCB& dcb) = 0;
  virtual win::DWORD GetCommTimeouts(win::COMMTIMEOUTS* timeouts) = 0;
  virtual win::DWORD SetCommTimeouts(const win::COMMTIMEOUTS& timeouts) = 0;
  virtual win::DWORD GetCommMask(win::DWORD* mask) = 0;
  virtual win::DWORD SetCommMask(win::DWORD mask) = 0;
  virtual win::DWORD WaitCommEvent(win::DWORD* mask, win::OVERLAPPED* ov) = 0;
  virtual win::DWORD ReadFile(void* buffer, win::DWORD count, win::DWORD* bytesRead,
                              win::OVERLAPPED* ov) = 0;
  virtual win::DWORD WriteFile(const void* buffer, win::DWORD count, win::DWORD* bytesWritten,
                               win::OVERLAPPED* ov) = 0;
  virtual win::DWORD GetOverlappedResult(win::OVERLAPPED* ov, win::DWORD* bytes, bool wait) = 0;
  virtual win::DWORD CancelIo(win::OVERLAPPED* ov) = 0;
  virtual win::DWORD ClearCommError(win::DWORD* errors, win::COMSTAT* stat) = 0;
  virtual win::DWORD GetCommModemStatus(win::DWORD* status) = 0;
  virtual win::DWORD EscapeCommFunction(win::DWORD function) = 0;
  virtual win::DWORD PurgeComm(win::DWORD flags) = 0;
};

// "\\.\COM10" and "COM10" name the same port; the layer's own ports go by bare name.
std::string PortNameFromPath(const char* fileName);

}  // namespace veltra::platform
