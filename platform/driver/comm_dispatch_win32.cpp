// The Win32 serial calls on Windows: CreateFileA opens the layer's own ports (the
// built-in virtual ports, network ports) through a SerialDriver, and every other
// name through the system (NativePort); both stand in the layer's handle table, and
// every call is forwarded to whichever is behind the handle.
#include <string>

#include "platform/core/comm_api.h"
#include "platform/net/network_ports.h"
#include "platform/core/open_failure.h"
#include "platform/driver/port_notices.h"
#include "platform/core/handles_win32.h"
#include "platform/driver/native_port_win32.h"
#include "platform/driver/serial_driver.h"

namespace veltra::win {

namespace {

using platform::NativePort;
using platform::SerialDriver;

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// The call is a generic lambda: SerialDriver and NativePort have the same methods.
template <class Call>
BOOL OnPort(HANDLE file, Call&& call) {
  const auto object = platform::LookupHandle(file);
  DWORD error = ERROR_INVALID_HANDLE;
  if (auto* driver = dynamic_cast<SerialDriver*>(object.get())) {
    error = call(*driver);
  } else if (auto* native = dynamic_cast<NativePort*>(object.get())) {
    error = call(*native);
  }
  return error == ERROR_SUCCESS ? TRUE : Fail(error);
}

// "\\.\COM10" and "COM10" name the same port; the layer's own ports go by bare name.
std::string PortNameFromPath(const char* fileName) {
  std::string name(fileName);
  if (name.rfind("\\\\.\\", 0) == 0) name.erase(0, 4);
  return name;
}

HANDLE Register(std::shared_ptr<platform::HandleObject> object) {
  const HANDLE handle = platform::RegisterHandle(object);
  if (handle == platform::kInvalidLayerHandle) {
    object->Close();
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  }
  return handle;
}

HANDLE OpenLayerPort(const std::string& name) {
  DWORD error = ERROR_SUCCESS;
  std::unique_ptr<platform::Uart> uart = platform::IsNetworkPortName(name)
                                             ? platform::OpenNetworkUart(name, &error)
                                             : platform::OpenVirtualUart(name, &error);
  if (!uart) {
    SetLastError(error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE);
    return platform::kInvalidLayerHandle;
  }
  auto driver = std::make_shared<SerialDriver>(std::move(uart));
  error = driver->Open();
  if (error != ERROR_SUCCESS) {
    driver->Close();
    SetLastError(error);
    return platform::kInvalidLayerHandle;
  }
  return Register(std::move(driver));
}

}  // namespace

HANDLE CreateFileA(const char* fileName, DWORD /*desiredAccess*/, DWORD /*shareMode*/,
                   void* /*securityAttributes*/, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE /*templateFile*/) {
  platform::SetLastOpenFailureText({});
  if (fileName == nullptr || creationDisposition != OPEN_EXISTING) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return platform::kInvalidLayerHandle;
  }
  const std::string name = PortNameFromPath(fileName);
  if (name.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return platform::kInvalidLayerHandle;
  }
  if (platform::IsNetworkPortName(name) || platform::IsVirtualPortName(name)) {
    return OpenLayerPort(name);
  }
  DWORD error = ERROR_SUCCESS;
  auto port = NativePort::Open(fileName, name, flagsAndAttributes, &error);
  if (!port) {
    SetLastError(error);
    return platform::kInvalidLayerHandle;
  }
  return Register(std::move(port));
}

BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) {
  return OnPort(file, [&](auto& p) { return p.SetupComm(inQueue, outQueue); });
}

BOOL GetCommState(HANDLE file, DCB* dcb) {
  if (dcb == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  return OnPort(file, [&](auto& p) { return p.GetCommState(dcb); });
}

BOOL SetCommState(HANDLE file, const DCB* dcb) {
  if (dcb == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  return OnPort(file, [&](auto& p) { return p.SetCommState(*dcb); });
}

BOOL GetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts) {
  if (timeouts == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  return OnPort(file, [&](auto& p) { return p.GetCommTimeouts(timeouts); });
}

BOOL SetCommTimeouts(HANDLE file, const COMMTIMEOUTS* timeouts) {
  if (timeouts == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  return OnPort(file, [&](auto& p) { return p.SetCommTimeouts(*timeouts); });
}

BOOL GetCommMask(HANDLE file, DWORD* eventMask) {
  if (eventMask == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  return OnPort(file, [&](auto& p) { return p.GetCommMask(eventMask); });
}

BOOL SetCommMask(HANDLE file, DWORD eventMask) {
  return OnPort(file, [&](auto& p) { return p.SetCommMask(eventMask); });
}

BOOL WaitCommEvent(HANDLE file, DWORD* eventMask, OVERLAPPED* overlapped) {
  return OnPort(file, [&](auto& p) { return p.WaitCommEvent(eventMask, overlapped); });
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead,
              OVERLAPPED* overlapped) {
  return OnPort(file,
                [&](auto& p) { return p.ReadFile(buffer, bytesToRead, bytesRead, overlapped); });
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten,
               OVERLAPPED* overlapped) {
  return OnPort(file, [&](auto& p) {
    return p.WriteFile(buffer, bytesToWrite, bytesWritten, overlapped);
  });
}

BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* bytesTransferred, BOOL wait) {
  return OnPort(file, [&](auto& p) {
    return p.GetOverlappedResult(overlapped, bytesTransferred, wait != FALSE);
  });
}

BOOL CancelIoEx(HANDLE file, OVERLAPPED* overlapped) {
  return OnPort(file, [&](auto& p) { return p.CancelIo(overlapped); });
}

BOOL ClearCommError(HANDLE file, DWORD* errors, COMSTAT* stat) {
  return OnPort(file, [&](auto& p) { return p.ClearCommError(errors, stat); });
}

BOOL GetCommModemStatus(HANDLE file, DWORD* modemStat) {
  if (modemStat == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  return OnPort(file, [&](auto& p) { return p.GetCommModemStatus(modemStat); });
}

BOOL EscapeCommFunction(HANDLE file, DWORD function) {
  return OnPort(file, [&](auto& p) { return p.EscapeCommFunction(function); });
}

BOOL SetCommBreak(HANDLE file) {
  return OnPort(file, [&](auto& p) { return p.EscapeCommFunction(SETBREAK); });
}

BOOL ClearCommBreak(HANDLE file) {
  return OnPort(file, [&](auto& p) { return p.EscapeCommFunction(CLRBREAK); });
}

BOOL PurgeComm(HANDLE file, DWORD flags) {
  return OnPort(file, [&](auto& p) { return p.PurgeComm(flags); });
}

}  // namespace veltra::win

namespace veltra::platform {

// The system's own drivers leave no notices.
std::vector<PortNotice> TakePortNotices(win::HANDLE port) {
  const auto driver = LookupHandleAs<SerialDriver>(port);
  return driver ? driver->TakeNotices() : std::vector<PortNotice>{};
}

}  // namespace veltra::platform
