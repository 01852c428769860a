// CreateFileA on Windows: the layer's own ports (the built-in virtual ports, network
// ports) through a SerialDriver, every other name through the system (NativePort);
// both stand in the layer's handle table as a CommDevice.
#include <string>

#include "platform/core/comm_api.h"
#include "platform/net/network_ports.h"
#include "platform/core/open_failure.h"
#include "platform/core/handles_win32.h"
#include "platform/driver/native_port_win32.h"
#include "platform/driver/serial_driver.h"

namespace veltra::win {

namespace {

using platform::NativePort;
using platform::SerialDriver;

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
  const std::string name = platform::PortNameFromPath(fileName);
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

}  // namespace veltra::win
