// The Win32 serial calls on POSIX: CreateFileA picks the lower half by name and
// puts a SerialDriver behind the new handle; every other call looks the handle up
// and forwards to its driver, turning a returned error code into FALSE plus
// GetLastError.
#include <cstring>
#include <string>

#include "platform/core/comm_api.h"
#include "platform/core/open_failure.h"
#include "platform/driver/port_notices.h"
#include "platform/driver/serial_driver.h"
#include "platform/net/network_ports.h"

namespace veltra::win {

namespace {

using platform::SerialDriver;

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

template <class Call>
BOOL OnDriver(HANDLE file, Call&& call) {
  const auto driver = platform::LookupHandleAs<SerialDriver>(file);
  if (!driver) return Fail(ERROR_INVALID_HANDLE);
  const DWORD error = call(*driver);
  return error == ERROR_SUCCESS ? TRUE : Fail(error);
}

std::string PortNameFromPath(const char* fileName) {
  std::string name(fileName);
  if (name.rfind("\\\\.\\", 0) == 0) name.erase(0, 4);
  return name;
}

}  // namespace

HANDLE CreateFileA(const char* fileName, DWORD /*desiredAccess*/, DWORD /*shareMode*/,
                   void* /*securityAttributes*/, DWORD creationDisposition,
                   DWORD /*flagsAndAttributes*/, HANDLE /*templateFile*/) {
  platform::SetLastOpenFailureText({});
  if (fileName == nullptr || creationDisposition != OPEN_EXISTING) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const std::string name = PortNameFromPath(fileName);
  if (name.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  DWORD error = ERROR_SUCCESS;
  std::unique_ptr<platform::Uart> uart;
  if (platform::IsNetworkPortName(name)) {
    uart = platform::OpenNetworkUart(name, &error);
  } else if (platform::IsVirtualPortName(name)) {
    uart = platform::OpenVirtualUart(name, &error);
  } else {
    uart = platform::OpenPosixUart(name, &error);
  }
  if (!uart) {
    SetLastError(error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE);
    return INVALID_HANDLE_VALUE;
  }
  auto driver = std::make_shared<SerialDriver>(std::move(uart));
  error = driver->Open();
  if (error != ERROR_SUCCESS) {
    driver->Close();
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  const HANDLE handle = platform::RegisterHandle(driver);
  if (handle == INVALID_HANDLE_VALUE) {
    driver->Close();
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  }
  return handle;
}

BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) {
  return OnDriver(file, [&](SerialDriver& d) { return d.SetupComm(inQueue, outQueue); });
}

BOOL GetCommState(HANDLE file, DCB* dcb) {
  return OnDriver(file, [&](SerialDriver& d) { return d.GetCommState(dcb); });
}

BOOL SetCommState(HANDLE file, const DCB* dcb) {
  if (dcb == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  return OnDriver(file, [&](SerialDriver& d) { return d.SetCommState(*dcb); });
}

BOOL GetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts) {
  return OnDriver(file, [&](SerialDriver& d) { return d.GetCommTimeouts(timeouts); });
}

BOOL SetCommTimeouts(HANDLE file, const COMMTIMEOUTS* timeouts) {
  if (timeouts == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  return OnDriver(file, [&](SerialDriver& d) { return d.SetCommTimeouts(*timeouts); });
}

BOOL GetCommMask(HANDLE file, DWORD* eventMask) {
  return OnDriver(file, [&](SerialDriver& d) { return d.GetCommMask(eventMask); });
}

BOOL SetCommMask(HANDLE file, DWORD eventMask) {
  return OnDriver(file, [&](SerialDriver& d) { return d.SetCommMask(eventMask); });
}

BOOL WaitCommEvent(HANDLE file, DWORD* eventMask, OVERLAPPED* overlapped) {
  return OnDriver(file, [&](SerialDriver& d) { return d.WaitCommEvent(eventMask, overlapped); });
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead,
              OVERLAPPED* overlapped) {
  return OnDriver(file, [&](SerialDriver& d) {
    return d.ReadFile(buffer, bytesToRead, bytesRead, overlapped);
  });
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten,
               OVERLAPPED* overlapped) {
  return OnDriver(file, [&](SerialDriver& d) {
    return d.WriteFile(buffer, bytesToWrite, bytesWritten, overlapped);
  });
}

BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* bytesTransferred, BOOL wait) {
  return OnDriver(file, [&](SerialDriver& d) {
    return d.GetOverlappedResult(overlapped, bytesTransferred, wait != FALSE);
  });
}

BOOL CancelIoEx(HANDLE file, OVERLAPPED* overlapped) {
  return OnDriver(file, [&](SerialDriver& d) { return d.CancelIo(overlapped); });
}

BOOL ClearCommError(HANDLE file, DWORD* errors, COMSTAT* stat) {
  return OnDriver(file, [&](SerialDriver& d) { return d.ClearCommError(errors, stat); });
}

BOOL GetCommModemStatus(HANDLE file, DWORD* modemStat) {
  return OnDriver(file, [&](SerialDriver& d) { return d.GetCommModemStatus(modemStat); });
}

BOOL EscapeCommFunction(HANDLE file, DWORD function) {
  return OnDriver(file, [&](SerialDriver& d) { return d.EscapeCommFunction(function); });
}

BOOL SetCommBreak(HANDLE file) {
  return OnDriver(file, [&](SerialDriver& d) { return d.EscapeCommFunction(SETBREAK); });
}

BOOL ClearCommBreak(HANDLE file) {
  return OnDriver(file, [&](SerialDriver& d) { return d.EscapeCommFunction(CLRBREAK); });
}

BOOL PurgeComm(HANDLE file, DWORD flags) {
  return OnDriver(file, [&](SerialDriver& d) { return d.PurgeComm(flags); });
}

}  // namespace veltra::win

namespace veltra::platform {

std::vector<PortNotice> TakePortNotices(win::HANDLE port) {
  const auto driver = LookupHandleAs<SerialDriver>(port);
  return driver ? driver->TakeNotices() : std::vector<PortNotice>{};
}

}  // namespace veltra::platform
