// Network ports on Windows, until their Winsock lower half is in: the names are
// recognised (so they never reach the system as file names), and opening one fails
// with a text that says why.
#include <algorithm>
#include <cctype>

#include "platform/net/network_ports.h"
#include "platform/core/open_failure.h"
#include "platform/driver/uart.h"

namespace veltra::platform {
namespace {

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) ==
                  std::tolower(static_cast<unsigned char>(b));
         });
}

}  // namespace

bool IsNetworkPortName(const std::string& name) {
  return StartsWithNoCase(name, "rfc2217://") || StartsWithNoCase(name, "tcp://");
}

bool NetworkPortReachable(const std::string& /*name*/, int /*timeoutMs*/) {
  return false;
}

std::unique_ptr<Uart> OpenNetworkUart(const std::string& name, DWORD* error) {
  *error = win::ERROR_NOT_SUPPORTED;
  SetLastOpenFailureText("Network ports are not available in this Windows build: " + name);
  return nullptr;
}

}  // namespace veltra::platform
