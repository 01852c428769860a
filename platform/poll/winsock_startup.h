// Winsock is started once per process, on first use, and left running: sockets may
// be open until exit.
#pragma once

namespace veltra::platform {

// 0, or the error WSAStartup gave (the same every call).
int StartWinsock();

}  // namespace veltra::platform
