#include "platform/net/net_connect.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "platform/net/network_ports.h"

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
      return {win::ERROR_GEN_FAILURE, "Cannot connect to " + who + ": " + std::strerror(err)};
  }
}

void TuneSocket(int fd) {
  const int on = 1;
  // Serial traffic is small writes a technician waits for.
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdleSeconds, sizeof kKeepIdleSeconds);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepIntervalSeconds, sizeof kKeepIntervalSeconds);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepProbes, sizeof kKeepProbes);
}

// 0 once connected, else the errno (ETIMEDOUT when the deadline passed).
int ConnectOne(int fd, const addrinfo& address, Clock::time_point deadline) {
  if (connect(fd, address.ai_addr, address.ai_addrlen) == 0) return 0;
  if (errno != EINPROGRESS) return errno;
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return ETIMEDOUT;
    pollfd p{fd, POLLOUT, 0};
    const int n = poll(&p, 1, static_cast<int>(left.count()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return ETIMEDOUT;
    int err = 0;
    socklen_t size = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &size) != 0) return errno;
    return err;
  }
}

struct AddressList {
  ~AddressList() {
    if (list != nullptr) freeaddrinfo(list);
  }
  addrinfo* list = nullptr;
};

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

int ConnectTcp(const NetworkEndpoint& endpoint, std::chrono::milliseconds timeout,
               ConnectFailure* failure) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  AddressList addresses;
  const int rc = getaddrinfo(endpoint.host.c_str(), endpoint.port.c_str(), &hints, &addresses.list);
  if (rc != 0) {
    const std::string why = rc == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(rc);
    *failure = {win::ERROR_BAD_NETPATH,
                "Host \"" + endpoint.host + "\" of " + endpoint.Label() + " not found: " + why};
    return -1;
  }
  const auto deadline = Clock::now() + timeout;
  int err = ETIMEDOUT;
  for (const addrinfo* a = addresses.list; a != nullptr && Clock::now() < deadline;
       a = a->ai_next) {
    const int fd =
        socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      err = errno;
      continue;
    }
    err = ConnectOne(fd, *a, deadline);
    if (err == 0) {
      TuneSocket(fd);
      return fd;
    }
    close(fd);
  }
  *failure = FailureFor(err, endpoint, timeout);
  return -1;
}

bool IsNetworkPortName(const std::string& name) {
  return StartsWithNoCase(name, "rfc2217://") || StartsWithNoCase(name, "tcp://");
}

bool NetworkPortReachable(const std::string& name, int timeoutMs) {
  NetworkEndpoint endpoint;
  if (!ParseNetworkPortName(name, &endpoint)) return false;
  ConnectFailure failure;
  const int fd = ConnectTcp(endpoint, std::chrono::milliseconds(std::max(timeoutMs, 0)), &failure);
  if (fd < 0) return false;
  close(fd);
  return true;
}

}  // namespace veltra::platform
