// The socket calls of the network lower half, the same on every system: Berkeley
// sockets on Linux, Winsock on Windows (started once, on first use). Failures come
// back as errno values (EAGAIN, EINTR, ECONNREFUSED, ETIMEDOUT, ECONNRESET, ...) on
// both, so the port logic above tells them apart in one way; a Winsock error with
// no such value stays as its own code, and SocketErrorText words either.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace veltra::platform {

using Socket = std::intptr_t;  // an fd, or a SOCKET
inline constexpr Socket kNoSocket = -1;

struct SocketAddress {
  int family = 0;
  std::vector<std::uint8_t> bytes;  // the sockaddr
};

// The TCP addresses of HOST:PORT (a numeric port), or false with *why in the
// resolver's words.
bool ResolveTcp(const std::string& host, const std::string& port,
                std::vector<SocketAddress>* addresses, std::string* why);

// A non-blocking TCP socket not inherited by child processes, or kNoSocket with
// *err set.
Socket OpenTcpSocket(int family, int* err);
// 0 once connected, EINPROGRESS while it goes on, else the error.
int StartConnect(Socket s, const SocketAddress& address);
// The error a connect or the connection ended in (SO_ERROR), 0 if none.
int PendingSocketError(Socket s);
// No Nagle delay, and keep-alive probes after idleSeconds, every intervalSeconds,
// probes of them (Windows before 10 1703 sends its fixed 10).
void TuneTcp(Socket s, int idleSeconds, int intervalSeconds, int probes);

// The bytes moved, or -1 with errno set. Never raises SIGPIPE.
std::ptrdiff_t SocketSend(Socket s, const void* data, std::size_t size);
std::ptrdiff_t SocketReceive(Socket s, void* data, std::size_t size);
// How many received bytes wait to be read.
std::size_t SocketBytesWaiting(Socket s);
// Shuts both directions, then closes.
void CloseSocket(Socket s);

// Waits up to timeoutMs (-1: without end) for the socket to be readable and/or
// writable. Returns the kWait* events seen (fd_loop.h; a hang-up and an error
// whatever was asked), 0 on time-out, or -1 with errno set.
int WaitSocket(Socket s, bool readable, bool writable, int timeoutMs);

std::string SocketErrorText(int err);

}  // namespace veltra::platform
