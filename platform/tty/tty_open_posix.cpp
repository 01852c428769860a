// Opening a tty as Windows opens a COM port: the node checked before anything opens
// it, exclusive use, raw mode with empty queues; and the words for a failure.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "platform/core/errno_map.h"
#include "platform/core/open_failure.h"
#include "platform/tty/posix_uart.h"
#include "platform/tty/termios2_linux.h"
#include "platform/tty/tty_node_posix.h"

namespace veltra::platform {

using namespace win;  // NOLINT: Win32 constants read better unqualified here

std::atomic<const TtyModemLines*> g_ttyTestLines{nullptr};
std::atomic<int> g_ttyWriteFault{0};
std::atomic<int> g_ttyEpollFault{0};
std::atomic<int> g_ttyLateTakeMs{0};

namespace {

DWORD OpenError(int err) {
  return Win32ErrorFromErrno(err, ErrnoStage::kOpening);
}

// Unix98 pty slaves (majors 136 to 143) and the legacy BSD ones (major 3).
bool IsPseudoTerminal(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  const unsigned int m = major(st.st_rdev);
  return (m >= 136 && m <= 143) || m == 3;
}

// A pty standing in for a UART in a test (with a stand-in line register) is
// treated as one, marks and pacing included.
bool HasNoLine(int fd) {
  return g_ttyTestLines.load() == nullptr && IsPseudoTerminal(fd);
}

// Windows opens a port with its queues empty.
int PrepareTty(int fd, bool noLine) {
  tty::LineSettings current;
  if (const int err = tty::ReadLineSettings(fd, &current)) return err;
  if (current.baud == 0) current.baud = 9600;  // B0 would drop DTR until configured
  current.parity = tty::Parity::kNone;
  current.xonXoffIn = current.xonXoffOut = false;
  current.markLineErrors = !noLine;
  if (const int err = tty::ApplyLineSettings(fd, current)) return err;
  tty::FlushInput(fd);
  tty::FlushOutput(fd);
  return 0;
}

// Exclusive as on Windows: flock keeps out every other cooperating program, root
// included; TIOCEXCL also keeps out those that do not lock (except root).
int TakeExclusively(int fd, bool noLine) {
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return errno;
  if (!isatty(fd)) return ENOTTY;
  if (ioctl(fd, TIOCEXCL) != 0) return errno;
  return PrepareTty(fd, noLine);
}

std::string OpenFailureText(int err, const std::string& path) {
  switch (err) {
    case EACCES:
    case EPERM:
      return PermissionDeniedText(path);
    case EBUSY:
    case EWOULDBLOCK:
      return InUseText(path);
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return NoSuchDeviceText(path);
    case ENOTTY:
      return path + " is not a serial port.";
    default:
      return path + ": " + std::strerror(err) + ".";
  }
}

struct OpenedTty {
  int fd = -1;
  bool noLine = false;  // no modem lines or line errors (a pty without the test seam)
  bool pty = false;
};

// The node is checked before it is opened read-write: opening is not harmless for
// every device (a watchdog arms, a virtual console goes raw).
int OpenExclusive(const std::string& path, OpenedTty* out, std::string* text) {
  TtyNodeKind kind = TtyNodeKind::kUnknownTty;
  if (const int err = CheckTtyNode(path, &kind, text)) return err;
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    *text = OpenFailureText(err, path);
    return err;
  }
  const bool noLine = HasNoLine(fd);
  if (const int err = TakeExclusively(fd, noLine)) {
    close(fd);
    *text = OpenFailureText(err, path);
    return err;
  }
  *out = {fd, noLine, IsPseudoTerminal(fd)};
  return 0;
}

}  // namespace

void UseTtyModemLinesForTests(const TtyModemLines* lines) {
  g_ttyTestLines.store(lines);
}

void InjectTtyIoFaultsForTests(TtyIoFaults faults) {
  g_ttyWriteFault.store(faults.writeErrno);
  g_ttyEpollFault.store(faults.epollErrno);
  g_ttyLateTakeMs.store(faults.lateTakeMs);
}

std::unique_ptr<Uart> OpenPosixUart(const std::string& name, DWORD* error) {
  *error = ERROR_SUCCESS;
  if (name.empty() || name.find('\0') != std::string::npos) {
    *error = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  const std::string path = TtyPathForName(name);
  OpenedTty tty;
  std::string failure;
  if (const int err = OpenExclusive(path, &tty, &failure)) {
    *error = OpenError(err);
    SetLastOpenFailureText(failure);
    return nullptr;
  }
  int err = 0;
  auto loop = FdLoop::Create(tty.fd, &err);
  if (!loop) {
    *error = OpenError(err);
    close(tty.fd);
    return nullptr;
  }
  return std::make_unique<PosixUart>(tty.fd, tty.noLine, tty.pty, std::move(loop));
}

}  // namespace veltra::platform
