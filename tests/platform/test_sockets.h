// The few socket calls of the tests' own servers on 127.0.0.1, on POSIX and Winsock
// alike. The system headers stay in the .cpp files: <windows.h> clashes with the
// comm API's names.
#pragma once

#include <cstddef>
#include <cstdint>

namespace veltra::test {

using TestSocket = std::intptr_t;
inline constexpr TestSocket kNoTestSocket = -1;

// A TCP socket on 127.0.0.1 on a port of the system's choosing (*port): listening,
// or only bound, so that connecting to it is refused.
TestSocket LoopbackTcp(bool listening, int* port);
// A client that came within ms, non-blocking; kNoTestSocket if none.
TestSocket AcceptWithin(TestSocket listener, int ms);
// Input, an end or an error waits.
bool ReadableWithin(TestSocket s, int ms);
// The bytes moved; 0 at the peer's orderly end (receiving); kNothingNow when the
// socket cannot move any now; kBroken when the connection failed.
inline constexpr long kNothingNow = -1;
inline constexpr long kBroken = -2;
long SendSome(TestSocket s, const void* data, std::size_t size);
long ReceiveSome(TestSocket s, void* data, std::size_t size);
void ShutdownBoth(TestSocket s);
void CloseTestSocket(TestSocket s);

}  // namespace veltra::test
