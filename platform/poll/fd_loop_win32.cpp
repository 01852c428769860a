// WSAPoll on the socket and a UDP socket on 127.0.0.1 connected to itself: a wake-up
// is a datagram it sends itself. Windows reports a peer's orderly close as POLLHUP
// whatever was asked, where Linux reports EPOLLRDHUP only when asked: it is passed
// on as kWaitIn | kWaitRdHup (the read that follows sees the end), and while input
// is not wanted the socket leaves the poll set until it is, else every wait would
// return at once.
#include <winsock2.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "platform/poll/fd_loop.h"
#include "platform/poll/winsock_startup.h"

namespace veltra::platform {
namespace {

SOCKET MakeWakeSocket() {
  SOCKET s = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return s;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof address;
  u_long nonBlocking = 1;
  if (bind(s, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
      connect(s, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
    closesocket(s);
    return INVALID_SOCKET;
  }
  return s;
}

}  // namespace

std::unique_ptr<FdLoop> FdLoop::Create(std::intptr_t fd, int* err) {
  *err = 0;
  if (StartWinsock() != 0) {
    *err = ENOMEM;
    return nullptr;
  }
  const SOCKET wake = MakeWakeSocket();
  if (wake == INVALID_SOCKET) {
    *err = ENOMEM;
    return nullptr;
  }
  return std::unique_ptr<FdLoop>(
      new FdLoop(fd, -1, static_cast<std::intptr_t>(wake)));
}

FdLoop::~FdLoop() {
  closesocket(static_cast<SOCKET>(wakeFd_));
}

void FdLoop::Wake() {
  const char one = 1;
  send(static_cast<SOCKET>(wakeFd_), &one, 1, 0);
}

void FdLoop::Watch(std::uint32_t events) {
  if (forgotten_ || events == watched_) return;
  watched_ = events;
  if (events & kWaitIn) peerClosedUnwatched_ = false;
}

void FdLoop::Forget() {
  forgotten_ = true;
  watched_ = 0;
}

// A hang-up seen while input is not wanted only takes the socket out of the set;
// the wait goes on for the rest of its time.
int FdLoop::Wait(int timeoutMs, Ready* ready) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const int n = WaitOnce(timeoutMs, ready);
    if (n <= 0 || ready->woken || ready->events != 0) return n;
    if (timeoutMs >= 0) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      timeoutMs = static_cast<int>(std::max<long long>(left.count(), 0));
    }
  }
}

int FdLoop::WaitOnce(int timeoutMs, Ready* ready) {
  *ready = {};
  const std::uint32_t watched = watched_ == ~0u ? 0 : watched_;  // nothing said yet: nothing
  const bool inWanted = (watched & kWaitIn) != 0;
  WSAPOLLFD set[2] = {};
  set[0].fd = static_cast<SOCKET>(wakeFd_);
  set[0].events = POLLRDNORM;
  const bool leaveOut = forgotten_ || peerClosedUnwatched_;
  set[1].fd = leaveOut ? INVALID_SOCKET : static_cast<SOCKET>(fd_);
  set[1].events = static_cast<SHORT>((inWanted ? POLLRDNORM : 0) |
                                     ((watched & kWaitOut) ? POLLWRNORM : 0));
  const int n = WSAPoll(set, 2, timeoutMs);
  if (n < 0) {
    errno = WSAGetLastError() == WSAEINTR ? EINTR : EIO;
    return -1;
  }
  if (set[0].revents != 0) {
    ready->woken = true;
    DrainWakeups();
  }
  const SHORT got = set[1].revents;
  if (got & POLLRDNORM) ready->events |= kWaitIn;
  if (got & POLLWRNORM) ready->events |= kWaitOut;
  if (got & (POLLERR | POLLNVAL)) ready->events |= kWaitErr;
  if (got & POLLHUP) {
    if (inWanted) ready->events |= kWaitIn | kWaitRdHup;
    peerClosedUnwatched_ = !inWanted;
  }
  return n;
}

void FdLoop::DrainWakeups() {
  char buffer[64];
  while (recv(static_cast<SOCKET>(wakeFd_), buffer, sizeof buffer, 0) > 0) {
  }
}

}  // namespace veltra::platform
