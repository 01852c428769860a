// Line settings of a Linux tty through termios2, which takes any baud rate
// (BOTHER). Kept apart because <asm/termbits.h> clashes with <termios.h>.
#pragma once

#include <cstdint>

namespace veltra::platform::tty {

enum class Parity : std::uint8_t { kNone, kOdd, kEven, kMark, kSpace };

struct LineSettings {
  std::uint32_t baud = 9600;
  int dataBits = 8;  // 5..8
  Parity parity = Parity::kNone;
  bool twoStopBits = false;  // CSTOPB: two stop bits, one and a half with 5 data bits
  bool rtsCts = false;       // CRTSCTS
  bool xonXoffOut = false;   // IXON: XOFF received stops our output
  bool xonXoffIn = false;    // IXOFF: the kernel sends XOFF when its input fills
  std::uint8_t xonChar = 0x11;
  std::uint8_t xoffChar = 0x13;
  // INPCK and PARMRK. A pty has no line errors to mark, and without them the kernel
  // passes its input on by its raw fast path instead of byte by byte.
  bool markLineErrors = true;
};

// An opaque copy of the whole termios2 record, to put back after a failed change.
struct SavedTermios {
  alignas(8) unsigned char bytes[64];
};

// Each returns 0 or an errno value.
int SaveTermios(int fd, SavedTermios* saved);
int RestoreTermios(int fd, const SavedTermios& saved);
// Raw mode with the given line: no echo, no canonical input, no output processing,
// no signals; CLOCAL and CREAD; with markLineErrors INPCK and PARMRK, so that parity
// and framing errors come in as \377\0x and a break as \377\0\0 (and a real \377
// as \377\377).
int ApplyLineSettings(int fd, const LineSettings& settings);
// What the kernel now holds for the tty.
int ReadLineSettings(int fd, LineSettings* settings);
// Discards what waits in the kernel's input / output queue.
int FlushInput(int fd);
int FlushOutput(int fd);
// Suspends or resumes output as if XOFF / XON had been received.
int SuspendOutput(int fd, bool suspended);

}  // namespace veltra::platform::tty
