#include "platform/tty/dcb_termios.h"

#include <sys/ioctl.h>

#include <cmath>

namespace veltra::platform {

using namespace win;  // NOLINT: Win32 constants read better unqualified here

namespace {

// A tty that reads back a rate further off than this cannot do the rate asked for.
constexpr double kBaudTolerance = 0.04;

tty::Parity ParityFromDcb(BYTE parity) {
  switch (parity) {
    case ODDPARITY:
      return tty::Parity::kOdd;
    case EVENPARITY:
      return tty::Parity::kEven;
    case MARKPARITY:
      return tty::Parity::kMark;
    case SPACEPARITY:
      return tty::Parity::kSpace;
    default:
      return tty::Parity::kNone;
  }
}

}  // namespace

// The DCB as line settings; false for what no tty can do.
bool LineSettingsFromDcb(const DCB& dcb, tty::LineSettings* s) {
  if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY) {
    return false;
  }
  if (dcb.StopBits > TWOSTOPBITS) return false;
  // A UART sends 1.5 stop bits only for 5-bit characters, where CSTOPB means 1.5.
  if (dcb.StopBits == ONE5STOPBITS && dcb.ByteSize != 5) return false;
  s->baud = dcb.BaudRate;
  s->dataBits = dcb.ByteSize;
  s->parity = ParityFromDcb(dcb.Parity);
  s->twoStopBits = dcb.StopBits != ONESTOPBIT;
  s->rtsCts = (dcb.Flags & DCB_fOutxCtsFlow) || DcbRtsControl(dcb.Flags) == RTS_CONTROL_HANDSHAKE;
  s->xonXoffOut = (dcb.Flags & DCB_fOutX) != 0;
  s->xonXoffIn = (dcb.Flags & DCB_fInX) != 0;
  s->xonChar = static_cast<std::uint8_t>(dcb.XonChar);
  s->xoffChar = static_cast<std::uint8_t>(dcb.XoffChar);
  if ((s->xonXoffOut || s->xonXoffIn) && s->xonChar == s->xoffChar) return false;
  return true;
}

// A pty drops parity and data size; a UART driver that cannot do 5 bits or mark
// parity quietly keeps 8 bits or plain parity, which only reading back shows.
bool KernelTookSettings(const tty::LineSettings& asked, const tty::LineSettings& got,
                        bool keepsFrame) {
  const double off = std::abs(static_cast<double>(got.baud) - static_cast<double>(asked.baud));
  const bool frame = !keepsFrame || (got.dataBits == asked.dataBits && got.parity == asked.parity);
  return frame && off <= kBaudTolerance * asked.baud && got.twoStopBits == asked.twoStopBits &&
         got.rtsCts == asked.rtsCts;
}

DWORD ModemWordFromTiocm(int bits) {
  DWORD status = 0;
  if (bits & TIOCM_CTS) status |= MS_CTS_ON;
  if (bits & TIOCM_DSR) status |= MS_DSR_ON;
  if (bits & TIOCM_RNG) status |= MS_RING_ON;
  if (bits & TIOCM_CAR) status |= MS_RLSD_ON;
  return status;
}

}  // namespace veltra::platform
