// The Win32 serial calls other than CreateFileA, on every system: each looks the
// handle up and forwards to the device behind it (CommDevice), turning a returned
// error code into FALSE plus GetLastError.
#include <string>
#include <vector>

#include "platform/core/comm_api.h"
#include "platform/driver/comm_device.h"
#include "platform/driver/port_notices.h"
#include "platform/driver/serial_driver.h"

namespace veltra::platform {

std::string PortNameFromPath(const char* fileName) {
  std::string name(fileName);
  if (name.rfind("\\\\.\\", 0) == 0) name.erase(0, 4);
  return name;
}

}  // namespace veltra::platform

namespace veltra::win {

namespace {

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

template <class Call>
BOOL OnPort(HANDLE file, Call&& call) {
  const auto device = platform::LookupHandleAs<platform::CommDevice>(file);
  if (!device) return Fail(ERROR_INVALID_HANDLE);
  const DWORD error = call(*device);
  return error == ERROR_SUCCESS ? TRUE : Fail(error);
}

}  // namespace

BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) {
  return OnPort(file, [&](platform::CommDevice& p) { return p.SetupComm(inQueue, outQueue); });
}

BOOL GetCommState(HANDLE file, DCB* dcb) {
  if (dcb == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  return OnPort(file, [&](platform::CommDevice& p) { return p.GetCommState(dcb); });
}

BOOL SetCommState(HANDLE file, const DCB* dcb) {
  if (dcb == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  return OnPort(file, [&](platform::CommDevice& p) { return p.SetCommState(*dcb); });
}

BOOL GetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts) {
  if (timeouts == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  return OnPort(file, [&](platform::CommDevice& p) { return p.GetCommTimeouts(timeouts); });
}

BOOL SetCommTimeouts(HANDLE file, const COMMTIMEOUTS* timeouts) {
  if (timeouts == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  return OnPort(file, [&](platform::CommDevice& p) { return p.SetCommTimeouts(*timeouts); });
}

BOOL GetCommMask(HANDLE file, DWORD* eventMask) {
  if (eventMask == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  return OnPort(file, [&](platform::CommDevice& p) { return p.GetCommMask(eventMask); });
}

BOOL SetCommMask(HANDLE file, DWORD eventMask) {
  return OnPort(file, [&](platform::CommDevice& p) { return p.SetCommMask(eventMask); });
}

BOOL WaitCommEvent(HANDLE file, DWORD* eventMask, OVERLAPPED* overlapped) {
  return OnPort(file, [&](platform::CommDevice& p) { return p.WaitCommEvent(eventMask, overlapped); });
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead,
              OVERLAPPED* overlapped) {
  return OnPort(file,
                [&](platform::CommDevice& p) { return p.ReadFile(buffer, bytesToRead, bytesRead, overlapped); });
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten,
               OVERLAPPED* overlapped) {
  return OnPort(file, [&](platform::CommDevice& p) {
    return p.WriteFile(buffer, bytesToWrite, bytesWritten, overlapped);
  });
}

BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* bytesTransferred, BOOL wait) {
  return OnPort(file, [&](platform::CommDevice& p) {
    return p.GetOverlappedResult(overlapped, bytesTransferred, wait != FALSE);
  });
}

BOOL CancelIoEx(HANDLE file, OVERLAPPED* overlapped) {
  return OnPort(file, [&](platform::CommDevice& p) { return p.CancelIo(overlapped); });
}

BOOL ClearCommError(HANDLE file, DWORD* errors, COMSTAT* stat) {
  return OnPort(file, [&](platform::CommDevice& p) { return p.ClearCommError(errors, stat); });
}

BOOL GetCommModemStatus(HANDLE file, DWORD* modemStat) {
  if (modemStat == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  return OnPort(file, [&](platform::CommDevice& p) { return p.GetCommModemStatus(modemStat); });
}

BOOL EscapeCommFunction(HANDLE file, DWORD function) {
  return OnPort(file, [&](platform::CommDevice& p) { return p.EscapeCommFunction(function); });
}

BOOL SetCommBreak(HANDLE file) {
  return OnPort(file, [&](platform::CommDevice& p) { return p.EscapeCommFunction(SETBREAK); });
}

BOOL ClearCommBreak(HANDLE file) {
  return OnPort(file, [&](platform::CommDevice& p) { return p.EscapeCommFunction(CLRBREAK); });
}

BOOL PurgeComm(HANDLE file, DWORD flags) {
  return OnPort(file, [&](platform::CommDevice& p) { return p.PurgeComm(flags); });
}

}  // namespace veltra::win

namespace veltra::platform {

// The system's own drivers leave no notices.
std::vector<PortNotice> TakePortNotices(win::HANDLE port) {
  const auto driver = LookupHandleAs<SerialDriver>(port);
  return driver ? driver->TakeNotices() : std::vector<PortNotice>{};
}

}  // namespace veltra::platform
