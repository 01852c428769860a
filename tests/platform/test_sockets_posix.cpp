#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "tests/platform/test_sockets.h"

namespace veltra::test {
namespace {

int Fd(TestSocket s) { return static_cast<int>(s); }

long Moved(ssize_t n) {
  if (n >= 0) return static_cast<long>(n);
  return errno == EAGAIN || errno == EINTR ? kNothingNow : kBroken;
}

}  // namespace

TestSocket LoopbackTcp(bool listening, int* port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      (listening && listen(fd, 4) != 0) ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    if (fd >= 0) close(fd);
    return kNoTestSocket;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

TestSocket AcceptWithin(TestSocket listener, int ms) {
  if (!ReadableWithin(listener, ms)) return kNoTestSocket;
  const int fd = accept4(Fd(listener), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  return fd < 0 ? kNoTestSocket : fd;
}

bool ReadableWithin(TestSocket s, int ms) {
  pollfd p{Fd(s), POLLIN, 0};
  return poll(&p, 1, ms) > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR));
}

long SendSome(TestSocket s, const void* data, std::size_t size) {
  return Moved(send(Fd(s), data, size, MSG_NOSIGNAL));
}

long ReceiveSome(TestSocket s, void* data, std::size_t size) {
  return Moved(recv(Fd(s), data, size, 0));
}

void ShutdownBoth(TestSocket s) { shutdown(Fd(s), SHUT_RDWR); }

void CloseTestSocket(TestSocket s) { close(Fd(s)); }

}  // namespace veltra::test
