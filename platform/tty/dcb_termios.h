// The DCB's line settings as a tty takes them, and back: pure mappings, kept apart
// from the tty's I/O so that they can be read and tested on their own.
#pragma once

#include "platform/core/win32_types.h"
#include "platform/tty/termios2_linux.h"

namespace veltra::platform {

// The DCB as line settings; false for what no tty can do (a zero rate, a size out
// of 5..8, 1.5 stop bits with more than 5 data bits, XON equal to XOFF).
bool LineSettingsFromDcb(const win::DCB& dcb, tty::LineSettings* s);

// Whether the settings read back from the kernel are the ones asked for. keepsFrame:
// the tty keeps data size and parity (a pty does not, so they are not compared).
bool KernelTookSettings(const tty::LineSettings& asked, const tty::LineSettings& got,
                        bool keepsFrame);

// The modem status word (MS_*) from TIOCMGET's bits.
win::DWORD ModemWordFromTiocm(int bits);

}  // namespace veltra::platform
