// CreateFileA on POSIX: picks the lower half by name and puts a SerialDriver behind
// the new handle.
#include <string>

#include "platform/core/comm_api.h"
#include "platform/core/open_failure.h"
#include "platform/driver/serial_driver.h"
#include "platform/net/network_ports.h"

namespace veltra::win {

using platform::SerialDriver;

HANDLE CreateFileA(const char* fileName, DWORD /*desiredAccess*/, DWORD /*shareMode*/,
                   void* /*securityAttributes*/, DWORD creationDisposition,
                   DWORD /*flagsAndAttributes*/, HANDLE /*templateFile*/) {
  platform::SetLastOpenFailureText({});
  if (fileName == nullptr || creationDisposition != OPEN_EXISTING) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const std::string name = platform::PortNameFromPath(fileName);
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

}  // namespace veltra::win
