#include "cli/console.h"

#include <langinfo.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace veltra::cli {

TFdStream::TFdStream(int fd) : fd_(fd), terminal_(::isatty(fd) == 1) {}

void TFdStream::Write(std::string_view bytes) {
  while (!bytes.empty() && !broken_) {
    const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      pollfd p{fd_, POLLOUT, 0};  // a non-blocking descriptor inherited from the caller
      ::poll(&p, 1, 100);
    } else {
      broken_ = true;
    }
  }
}

int TFdStream::Columns() const {
  winsize size{};
  return terminal_ && ::ioctl(fd_, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

bool TerminalTakesUtf8() {
  const char* codeset = nl_langinfo(CODESET);
  return codeset != nullptr && std::strcmp(codeset, "UTF-8") == 0;
}

}  // namespace veltra::cli
