// Built-in ports beside the loopback, so the tool can be tried with no hardware: a
// virtual null-modem pair and simulated point-of-sale devices, each on its own port.
// They open by name through CreateFileA like any virtual end (virtual_ports.h) and
// carry a description for port lists. A device runs while its port is open and keeps
// its state (enabled, price) between opens. All talk 9600 baud, 8 data bits, no
// parity, 1 stop bit; CR and LF that a sender appends are ignored.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace veltra::platform {

// Two ends joined by a null-modem cable. Spy mode between the two ends of it relays
// each block back to where it came from, for ever.
inline constexpr const char* kNullModemPortA = "NULL-MODEM-A";
inline constexpr const char* kNullModemPortB = "NULL-MODEM-B";

// A PSC Magellan scanner: "E" enables, "D" disables, "F" sounds the not-on-file beep;
// each is acknowledged with ACK. While enabled it reads a label every few seconds
// and sends its EAN-13 digits followed by CR.
inline constexpr const char* kScannerPortName = "SIM-SCANNER";

// A scale speaking Dialog 06: a price record (EOT STX "01" ESC six digits ESC ETX) is
// answered with ACK, a weight request (EOT ENQ) with record 02 (status, weight in
// grams, unit price, price to pay), a different weight each time; NAK to a malformed
// record or a request before any price.
inline constexpr const char* kScalePortName = "SIM-SCALE";

// An ER-650 cash register: a frame DLE STX ... DLE ETX followed by the one's
// complement of the sum of its bytes is answered with ACK and a report framed the
// same way; a frame with a wrong sum gets NAK.
inline constexpr const char* kCashRegisterPortName = "SIM-ER650";

// The loopback, the null-modem pair and the devices, in the order port lists show them.
std::vector<std::string> BuiltInPortNames();

// The scanner reads a label now; it is sent if the scanner is enabled and its port
// open. An empty label takes the next one of the scanner's own list. False when the
// label is not sent.
bool ScanBarcode(const std::string& label = {});
// How often the enabled scanner reads a label by itself; zero stops that.
void SetScanInterval(std::chrono::milliseconds interval);
inline constexpr std::chrono::milliseconds kDefaultScanInterval{3000};

}  // namespace veltra::platform
