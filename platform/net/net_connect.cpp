#include "platform/net/net_connect.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/net/network_ports.h"
#include "platform/net/socket_io.h"

namespace veltra::platform {

namespace {

using Clock = std::chrono::steady_clock;

// A connection that has gone quiet is probed after 10 s and given up after three
// unanswered probes 3 s apart. No TCP_USER_TIMEOUT: it would also end a connection
// whose peer holds its window shut for long (a device held by flow control).
constexpr int kKeepIdleSeconds = 10;
constexpr int kKeepIntervalSeconds = 3;
constexpr int kKeepProbes = 3;

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  const std::size_t n = std::strlen(prefix);
  if (text.size() < n) return false;
  for (std::size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  return true;
}

bool ValidPort(const std::string& port) {
  if (port.empty() || port.size() > 5) return false;
  if (!std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  const int value = std::stoi(port);
  return value >= 1 && value <= 65535;
}

bool SplitHostPort(const std::string& rest, std::string* host, std::string* port) {
  std::size_t colon = 0;
  if (!rest.empty() && rest[0] == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':')
      return false;
    *host = rest.substr(1, close - 1);
    colon = close + 1;
  } else {
    colon = rest.rfind(':');
    if (colon == std::string::npos) return false;
    *host = rest.substr(0, colon);
    if (host->find(':') != std::string::npos) return false;  // IPv6 needs brackets
  }
  *port = rest.substr(colon + 1);
  if (!port->empty() && port->back() == '/') port->pop_back();
  return !host->empty() && ValidPort(*port);
}

std::string Seconds(std::chrono::milliseconds ms) {
  const long long tenths = (ms.count() + 50) / 100;
  return std::to_string(tenths / 10) + (tenths % 10 ? "." + std::to_string(tenths % 10) : "") +
         " s";
}

ConnectFailure FailureFor(int err, const NetworkEndpoint& endpoint,
                          std::chrono::milliseconds timeout) {
  const std::string who = endpoint.Label();
  switch (err) {
    case ECONNREFUSED:
      return {win::ERROR_CONNECTION_REFUSED,
              who + " refused the connection: nothing listens on port " + endpoint.port +
                  " (server not running, or another port)"};
    case ETIMEDOUT:
      return {win::ERROR_SEM_TIMEOUT, who + " did not answer within " + Seconds(timeout) +
                                          " (host down, or a firewall drops the connection)"};
    case ENETUNREACH:
      return {win::ERROR_NETWORK_UNREACHABLE, who + " cannot be reached: network unreachable"};
    case EHOSTUNREACH:
      return {win::ERROR_HOST_UNREACHABLE, who + " cannot be reached: no route to host"};
    default:
      return {win::ERROR_GEN_FAILURE, "Cannot connect to " + who + ": " + SocketErrorText(err)};
  }
}

// 0 once connected, else the errno (ETIMEDOUT when the deadline passed).
int ConnectOne(Socket s, const SocketAddress& address, Clock::time_point deadline) {
  const int started = StartConnect(s, address);
  if (started != EINPROGRESS) return started;
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return ETIMEDOUT;
    const int n = WaitSocket(s, false, true, static_cast<int>(left.count()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return ETIMEDOUT;
    return PendingSocketError(s);
  }
}

}  // namespace

std::string NetworkEndpoint::Label() const {
  return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + port;
}

bool ParseNetworkPortName(const std::string& name, NetworkEndpoint* endpoint) {
  std::string rest;
  if (StartsWithNoCase(name, "rfc2217://")) {
    endpoint->rfc2217 = true;
    rest = name.substr(10);
  } else if (StartsWithNoCase(name, "tcp://")) {
    endpoint->rfc2217 = false;
    rest = name.substr(6);
  } else {
    return false;
  }
  return SplitHostPort(rest, &endpoint->host, &endpoint->port);
}

Socket ConnectTcp(const NetworkEndpoint& endpoint, std::chrono::milliseconds timeout,
                  ConnectFailure* failure) {
  std::vector<SocketAddress> addresses;
  std::string why;
  if (!ResolveTcp(endpoint.host, endpoint.port, &addresses, &why)) {
    *failure = {win::ERROR_BAD_NETPATH,
                "Host \"" + endpoint.host + "\" of " + endpoint.Label() + " not found: " + why};
    return kNoSocket;
  }
  const auto deadline = Clock::now() + timeout;
  int err = ETIMEDOUT;
  for (const SocketAddress& address : addresses) {
    if (Clock::now() >= deadline) break;
    const Socket s = OpenTcpSocket(address.family, &err);
    if (s == kNoSocket) continue;
    err = ConnectOne(s, address, deadline);
    if (err == 0) {
      // Serial traffic is small writes a technician waits for: no Nagle delay.
      TuneTcp(s, kKeepIdleSeconds, kKeepIntervalSeconds, kKeepProbes);
      return s;
    }
    CloseSocket(s);
  }
  *failure = FailureFor(err, endpoint, timeout);
  return kNoSocket;
}

bool IsNetworkPortName(const std::string& name) {
  return StartsWithNoCase(name, "rfc2217://") || StartsWithNoCase(name, "tcp://");
}

bool NetworkPortReachable(const std::string& name, int timeoutMs) {
  NetworkEndpoint endpoint;
  if (!ParseNetworkPortName(name, &endpoint)) return false;
  ConnectFailure failure;
  const Socket s =
      ConnectTcp(endpoint, std::chrono::milliseconds(std::max(timeoutMs, 0)), &failure);
  if (s == kNoSocket) return false;
  CloseSocket(s);
  return true;
}

}  // namespace veltra::platform
