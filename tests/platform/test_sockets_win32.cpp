#include <winsock2.h>

#include <algorithm>

#include "tests/platform/test_sockets.h"

namespace veltra::test {
namespace {

SOCKET Sock(TestSocket s) { return static_cast<SOCKET>(s); }

long Moved(int n) {
  if (n != SOCKET_ERROR) return n;
  const int err = WSAGetLastError();
  return err == WSAEWOULDBLOCK || err == WSAEINTR ? kNothingNow : kBroken;
}

int Chunk(std::size_t size) { return static_cast<int>(std::min<std::size_t>(size, 1 << 30)); }

}  // namespace

TestSocket LoopbackTcp(bool listening, int* port) {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  const SOCKET s = started ? socket(AF_INET, SOCK_STREAM, IPPROTO_TCP) : INVALID_SOCKET;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof address;
  if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      (listening && listen(s, 4) != 0) ||
      getsockname(s, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    if (s != INVALID_SOCKET) closesocket(s);
    return kNoTestSocket;
  }
  *port = ntohs(address.sin_port);
  return static_cast<TestSocket>(s);
}

TestSocket AcceptWithin(TestSocket listener, int ms) {
  if (!ReadableWithin(listener, ms)) return kNoTestSocket;
  const SOCKET s = accept(Sock(listener), nullptr, nullptr);
  u_long nonBlocking = 1;
  if (s == INVALID_SOCKET) return kNoTestSocket;
  ioctlsocket(s, FIONBIO, &nonBlocking);
  return static_cast<TestSocket>(s);
}

bool ReadableWithin(TestSocket s, int ms) {
  WSAPOLLFD p{};
  p.fd = Sock(s);
  p.events = POLLRDNORM;
  return WSAPoll(&p, 1, ms) > 0 && (p.revents & (POLLRDNORM | POLLHUP | POLLERR));
}

long SendSome(TestSocket s, const void* data, std::size_t size) {
  return Moved(send(Sock(s), static_cast<const char*>(data), Chunk(size), 0));
}

long ReceiveSome(TestSocket s, void* data, std::size_t size) {
  return Moved(recv(Sock(s), static_cast<char*>(data), Chunk(size), 0));
}

void ShutdownBoth(TestSocket s) { shutdown(Sock(s), SD_BOTH); }

void CloseTestSocket(TestSocket s) { closesocket(Sock(s)); }

}  // namespace veltra::test
