// Ports on device servers across the network, opened by name like local ports:
// "rfc2217://HOST:PORT" is Telnet with COM-PORT-OPTION (RFC 2217: line settings,
// modem lines, breaks, purges, as ser2net and most device servers offer it), and
// "tcp://HOST:PORT" is raw TCP (data only; calls about modem lines fail with
// ERROR_INVALID_FUNCTION, as on a pty). HOST may be a name, an IPv4 address or an
// IPv6 address in brackets.
#pragma once

#include <string>

namespace veltra::platform {

// By the scheme alone: a name with a bad host or port still fails to open as one.
bool IsNetworkPortName(const std::string& name);

// Whether the server behind a network port name takes TCP connections now: one
// connect within timeoutMs, closed at once without a word. False for other names.
// For telling when a dropped network port may be opened again; each call is a
// connection the server sees (ser2net opens its device for it), so not too often.
bool NetworkPortReachable(const std::string& name, int timeoutMs);

}  // namespace veltra::platform
