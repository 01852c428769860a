// Port names of network ports, and TCP connections to them with a time-out and a
// failure text that names the server.
#pragma once

#include <chrono>
#include <string>

#include "platform/core/win32_types.h"
#include "platform/net/socket_io.h"

namespace veltra::platform {

struct NetworkEndpoint {
  bool rfc2217 = false;  // else raw TCP
  std::string host;
  std::string port;
  std::string Label() const;  // HOST:PORT, an IPv6 host in brackets
};

// "rfc2217://HOST:PORT" or "tcp://HOST:PORT", scheme in any case; false otherwise.
bool ParseNetworkPortName(const std::string& name, NetworkEndpoint* endpoint);

struct ConnectFailure {
  win::DWORD error = win::ERROR_SUCCESS;
  std::string text;
};

// A connected, non-blocking TCP socket with keep-alive on, or kNoSocket with
// *failure set.
Socket ConnectTcp(const NetworkEndpoint& endpoint, std::chrono::milliseconds timeout,
                  ConnectFailure* failure);

}  // namespace veltra::platform
