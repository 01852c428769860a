#include "platform/tty/termios2_linux.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

namespace veltra::platform::tty {
namespace {

static_assert(sizeof(termios2) <= sizeof(SavedTermios::bytes));

int Get(int fd, termios2* t) {
  return ioctl(fd, TCGETS2, t) == 0 ? 0 : errno;
}

tcflag_t SizeFlag(int dataBits) {
  switch (dataBits) {
    case 5:
      return CS5;
    case 6:
      return CS6;
    case 7:
      return CS7;
    default:
      return CS8;
  }
}

int DataBitsOf(tcflag_t cflag) {
  switch (cflag & CSIZE) {
    case CS5:
      return 5;
    case CS6:
      return 6;
    case CS7:
      return 7;
    default:
      return 8;
  }
}

tcflag_t ParityFlags(Parity parity) {
  switch (parity) {
    case Parity::kOdd:
      return PARENB | PARODD;
    case Parity::kEven:
      return PARENB;
    case Parity::kMark:
      return PARENB | CMSPAR | PARODD;
    case Parity::kSpace:
      return PARENB | CMSPAR;
    case Parity::kNone:
      break;
  }
  return 0;
}

Parity ParityOf(tcflag_t cflag) {
  // A pty drops PARENB but keeps PARODD/CMSPAR; those alone still say what was asked.
  const bool odd = (cflag & PARODD) != 0;
  if ((cflag & CMSPAR) != 0) return odd ? Parity::kMark : Parity::kSpace;
  if ((cflag & PARENB) == 0) return odd ? Parity::kOdd : Parity::kNone;
  return odd ? Parity::kOdd : Parity::kEven;
}

void MakeRaw(termios2* t, bool markLineErrors) {
  t->c_iflag &= ~(IGNBRK | BRKINT | IGNPAR | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXON | IXANY |
                  IXOFF | IMAXBEL | IUTF8 | INPCK | PARMRK);
  if (markLineErrors) t->c_iflag |= INPCK | PARMRK;
  t->c_oflag &= ~OPOST;
  t->c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN | ECHOE | ECHOK | ECHOCTL | ECHOKE);
  t->c_cflag |= CREAD | CLOCAL;
  t->c_cc[VMIN] = 1;
  t->c_cc[VTIME] = 0;
}

}  // namespace

int SaveTermios(int fd, SavedTermios* saved) {
  termios2 t{};
  if (const int err = Get(fd, &t); err != 0) return err;
  std::memcpy(saved->bytes, &t, sizeof t);
  return 0;
}

int RestoreTermios(int fd, const SavedTermios& saved) {
  termios2 t{};
  std::memcpy(&t, saved.bytes, sizeof t);
  return ioctl(fd, TCSETS2, &t) == 0 ? 0 : errno;
}

int ApplyLineSettings(int fd, const LineSettings& s) {
  termios2 t{};
  if (const int err = Get(fd, &t); err != 0) return err;
  MakeRaw(&t, s.markLineErrors);
  t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT) | CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
  t.c_cflag |= BOTHER | (BOTHER << IBSHIFT) | SizeFlag(s.dataBits) | ParityFlags(s.parity);
  if (s.twoStopBits) t.c_cflag |= CSTOPB;
  if (s.rtsCts) t.c_cflag |= CRTSCTS;
  t.c_ispeed = s.baud;
  t.c_ospeed = s.baud;
  if (s.xonXoffOut) t.c_iflag |= IXON;
  if (s.xonXoffIn) t.c_iflag |= IXOFF;
  t.c_cc[VSTART] = static_cast<cc_t>(s.xonChar);
  t.c_cc[VSTOP] = static_cast<cc_t>(s.xoffChar);
  return ioctl(fd, TCSETS2, &t) == 0 ? 0 : errno;
}

int ReadLineSettings(int fd, LineSettings* s) {
  termios2 t{};
  if (const int err = Get(fd, &t); err != 0) return err;
  s->baud = t.c_ospeed;
  s->dataBits = DataBitsOf(t.c_cflag);
  s->parity = ParityOf(t.c_cflag);
  s->twoStopBits = (t.c_cflag & CSTOPB) != 0;
  s->rtsCts = (t.c_cflag & CRTSCTS) != 0;
  s->xonXoffOut = (t.c_iflag & IXON) != 0;
  s->xonXoffIn = (t.c_iflag & IXOFF) != 0;
  s->xonChar = t.c_cc[VSTART];
  s->xoffChar = t.c_cc[VSTOP];
  return 0;
}

int FlushInput(int fd) {
  return ioctl(fd, TCFLSH, TCIFLUSH) == 0 ? 0 : errno;
}
int FlushOutput(int fd) {
  return ioctl(fd, TCFLSH, TCOFLUSH) == 0 ? 0 : errno;
}

int SuspendOutput(int fd, bool suspended) {
  return ioctl(fd, TCXONC, suspended ? TCOOFF : TCOON) == 0 ? 0 : errno;
}

}  // namespace veltra::platform::tty
