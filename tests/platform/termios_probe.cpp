// Loaded into a private ser2net (LD_PRELOAD) to show what it asks of a tty: a pty
// keeps the speed and stop bits but forces 8 data bits and no parity, so the
// termios it is given is the only place where data bits and parity can be seen.
// Appends "cflag ospeed" per termios write to $VELTRA_TERMIOS_LOG and passes every
// call on unchanged. Built without sanitizers: it lives in an uninstrumented program.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using IoctlFunction = int (*)(int, unsigned long, void*);

void Record(unsigned long request, const void* arg) {
  const char* path = std::getenv("VELTRA_TERMIOS_LOG");
  if (path == nullptr || arg == nullptr) return;
  unsigned cflag = 0, speed = 0;
  if (request == TCSETS || request == TCSETSW || request == TCSETSF) {
    cflag = static_cast<const termios*>(arg)->c_cflag;
    speed = cflag & CBAUD;  // a Bnnn code, not a rate
  } else if (request == TCSETS2 || request == TCSETSW2 || request == TCSETSF2) {
    cflag = static_cast<const termios2*>(arg)->c_cflag;
    speed = static_cast<const termios2*>(arg)->c_ospeed;
  } else {
    return;
  }
  char line[64];
  const int n = std::snprintf(line, sizeof line, "%x %u\n", cflag, speed);
  const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  [[maybe_unused]] const ssize_t written = write(fd, line, static_cast<std::size_t>(n));
  close(fd);
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  static const auto real = reinterpret_cast<IoctlFunction>(dlsym(RTLD_NEXT, "ioctl"));
  const int result = real(fd, request, arg);
  if (result == 0) Record(request, arg);
  return result;
}
