#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "platform/net/socket_io.h"
#include "platform/poll/fd_loop.h"
#include "platform/poll/winsock_startup.h"

namespace veltra::platform {
namespace {

SOCKET Sock(Socket s) { return static_cast<SOCKET>(s); }

// The errors the port logic tells apart, as errno values; the rest stay WSA codes.
int FromWsa(int wsa) {
  switch (wsa) {
    case WSAEWOULDBLOCK: return EAGAIN;
    case WSAEINTR: return EINTR;
    case WSAECONNREFUSED: return ECONNREFUSED;
    case WSAETIMEDOUT: return ETIMEDOUT;
    // A connection broken by keep-alive probes that went unanswered.
    case WSAENETRESET: return ETIMEDOUT;
    case WSAECONNRESET: return ECONNRESET;
    case WSAENETUNREACH: return ENETUNREACH;
    case WSAEHOSTUNREACH: return EHOSTUNREACH;
    default: return wsa;
  }
}

int ToWsa(int err) {
  switch (err) {
    case EAGAIN: return WSAEWOULDBLOCK;
    case EINTR: return WSAEINTR;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNRESET: return WSAECONNRESET;
    case ENETUNREACH: return WSAENETUNREACH;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    default: return err;
  }
}

std::ptrdiff_t Failed() {
  errno = FromWsa(WSAGetLastError());
  return -1;
}

int Chunk(std::size_t size) {
  return static_cast<int>(std::min<std::size_t>(size, 1 << 30));
}

}  // namespace

bool ResolveTcp(const std::string& host, const std::string& port,
                std::vector<SocketAddress>* addresses, std::string* why) {
  if (const int rc = StartWinsock(); rc != 0) {
    *why = SocketErrorText(rc);
    return false;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) {
    *why = SocketErrorText(WSAGetLastError());
    return false;
  }
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(a->ai_addr);
    addresses->push_back({a->ai_family, {bytes, bytes + a->ai_addrlen}});
  }
  freeaddrinfo(found);
  return true;
}

Socket OpenTcpSocket(int family, int* err) {
  *err = StartWinsock();
  if (*err != 0) return kNoSocket;
  const SOCKET s = WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                              WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  u_long nonBlocking = 1;
  if (s == INVALID_SOCKET || ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
    *err = FromWsa(WSAGetLastError());
    if (s != INVALID_SOCKET) closesocket(s);
    return kNoSocket;
  }
  return static_cast<Socket>(s);
}

int StartConnect(Socket s, const SocketAddress& address) {
  if (connect(Sock(s), reinterpret_cast<const sockaddr*>(address.bytes.data()),
              static_cast<int>(address.bytes.size())) == 0)
    return 0;
  const int wsa = WSAGetLastError();
  return wsa == WSAEWOULDBLOCK || wsa == WSAEINPROGRESS ? EINPROGRESS : FromWsa(wsa);
}

int PendingSocketError(Socket s) {
  int err = 0;
  int size = sizeof err;
  if (getsockopt(Sock(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &size) != 0)
    return FromWsa(WSAGetLastError());
  return FromWsa(err);
}

// SIO_KEEPALIVE_VALS sets the idle time and the interval everywhere; the probe count
// (TCP_KEEPCNT, 16) only Windows 10 1703 and later take.
void TuneTcp(Socket s, int idleSeconds, int intervalSeconds, int probes) {
  const BOOL on = TRUE;
  setsockopt(Sock(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  tcp_keepalive keepAlive{1, static_cast<ULONG>(idleSeconds) * 1000,
                          static_cast<ULONG>(intervalSeconds) * 1000};
  DWORD returned = 0;
  WSAIoctl(Sock(s), SIO_KEEPALIVE_VALS, &keepAlive, sizeof keepAlive, nullptr, 0, &returned,
           nullptr, nullptr);
  constexpr int kTcpKeepCount = 16;
  const DWORD count = static_cast<DWORD>(probes);
  setsockopt(Sock(s), IPPROTO_TCP, kTcpKeepCount, reinterpret_cast<const char*>(&count),
             sizeof count);
}

std::ptrdiff_t SocketSend(Socket s, const void* data, std::size_t size) {
  const int n = send(Sock(s), static_cast<const char*>(data), Chunk(size), 0);
  return n == SOCKET_ERROR ? Failed() : n;
}

std::ptrdiff_t SocketReceive(Socket s, void* data, std::size_t size) {
  const int n = recv(Sock(s), static_cast<char*>(data), Chunk(size), 0);
  return n == SOCKET_ERROR ? Failed() : n;
}

std::size_t SocketBytesWaiting(Socket s) {
  u_long waiting = 0;
  return ioctlsocket(Sock(s), FIONREAD, &waiting) == 0 ? waiting : 0;
}

void CloseSocket(Socket s) {
  shutdown(Sock(s), SD_BOTH);
  closesocket(Sock(s));
}

int WaitSocket(Socket s, bool readable, bool writable, int timeoutMs) {
  WSAPOLLFD p{};
  p.fd = Sock(s);
  p.events = static_cast<SHORT>((readable ? POLLRDNORM : 0) | (writable ? POLLWRNORM : 0));
  const int n = WSAPoll(&p, 1, timeoutMs);
  if (n < 0) return static_cast<int>(Failed());
  if (n == 0) return 0;
  // An orderly close from the peer: the read that follows sees the end.
  return ((p.revents & (POLLRDNORM | POLLHUP)) ? kWaitIn : 0) |
         ((p.revents & POLLWRNORM) ? kWaitOut : 0) |
         ((p.revents & (POLLERR | POLLNVAL)) ? kWaitErr : 0);
}

// The system's words, without the line end FormatMessage adds.
std::string SocketErrorText(int err) {
  const int code = ToWsa(err);
  char* text = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string result = n > 0 ? std::string(text, n) : "error " + std::to_string(code);
  if (text != nullptr) LocalFree(text);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' ||
                             result.back() == ' ' || result.back() == '.'))
    result.pop_back();
  return result;
}

}  // namespace veltra::platform
