#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/net/socket_io.h"
#include "platform/poll/fd_loop.h"

namespace veltra::platform {
namespace {

int Fd(Socket s) { return static_cast<int>(s); }

struct AddressList {
  ~AddressList() {
    if (list != nullptr) freeaddrinfo(list);
  }
  addrinfo* list = nullptr;
};

}  // namespace

bool ResolveTcp(const std::string& host, const std::string& port,
                std::vector<SocketAddress>* addresses, std::string* why) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  AddressList found;
  const int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found.list);
  if (rc != 0) {
    *why = rc == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(rc);
    return false;
  }
  for (const addrinfo* a = found.list; a != nullptr; a = a->ai_next) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(a->ai_addr);
    addresses->push_back({a->ai_family, {bytes, bytes + a->ai_addrlen}});
  }
  return true;
}

Socket OpenTcpSocket(int family, int* err) {
  const int fd = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
  *err = fd < 0 ? errno : 0;
  return fd < 0 ? kNoSocket : fd;
}

int StartConnect(Socket s, const SocketAddress& address) {
  if (connect(Fd(s), reinterpret_cast<const sockaddr*>(address.bytes.data()),
              static_cast<socklen_t>(address.bytes.size())) == 0)
    return 0;
  return errno;
}

int PendingSocketError(Socket s) {
  int err = 0;
  socklen_t size = sizeof err;
  if (getsockopt(Fd(s), SOL_SOCKET, SO_ERROR, &err, &size) != 0) return errno;
  return err;
}

void TuneTcp(Socket s, int idleSeconds, int intervalSeconds, int probes) {
  const int on = 1;
  setsockopt(Fd(s), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  setsockopt(Fd(s), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  setsockopt(Fd(s), IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds);
  setsockopt(Fd(s), IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds, sizeof intervalSeconds);
  setsockopt(Fd(s), IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
}

std::ptrdiff_t SocketSend(Socket s, const void* data, std::size_t size) {
  return send(Fd(s), data, size, MSG_NOSIGNAL);
}

std::ptrdiff_t SocketReceive(Socket s, void* data, std::size_t size) {
  return recv(Fd(s), data, size, 0);
}

std::size_t SocketBytesWaiting(Socket s) {
  int waiting = 0;
  return ioctl(Fd(s), FIONREAD, &waiting) == 0 && waiting > 0 ? static_cast<std::size_t>(waiting)
                                                              : 0;
}

void CloseSocket(Socket s) {
  shutdown(Fd(s), SHUT_RDWR);
  close(Fd(s));
}

int WaitSocket(Socket s, bool readable, bool writable, int timeoutMs) {
  pollfd p{Fd(s), static_cast<short>((readable ? POLLIN : 0) | (writable ? POLLOUT : 0)), 0};
  const int n = poll(&p, 1, timeoutMs);
  if (n <= 0) return n;
  return ((p.revents & POLLIN) ? kWaitIn : 0) | ((p.revents & POLLOUT) ? kWaitOut : 0) |
         ((p.revents & POLLHUP) ? kWaitHup : 0) | ((p.revents & POLLERR) ? kWaitErr : 0);
}

std::string SocketErrorText(int err) {
  return std::strerror(err);
}

}  // namespace veltra::platform
