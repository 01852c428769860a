// The console streams on Windows: the C runtime's descriptors in binary mode (the
// lines carry their own line ends), the console window's width and code page.
#include "cli/console.h"

#include <fcntl.h>
#include <io.h>

#include <algorithm>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace veltra::cli {

TFdStream::TFdStream(int fd) : fd_(fd), terminal_(::_isatty(fd) != 0) {
  ::_setmode(fd, _O_BINARY);
}

void TFdStream::Write(std::string_view bytes) {
  while (!bytes.empty() && !broken_) {
    const unsigned chunk = static_cast<unsigned>(std::min<std::size_t>(bytes.size(), 1u << 20));
    const int n = ::_write(fd_, bytes.data(), chunk);
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
    } else {
      broken_ = true;
    }
  }
}

int TFdStream::Columns() const {
  if (!terminal_) return 0;
  const HANDLE console = reinterpret_cast<HANDLE>(::_get_osfhandle(fd_));
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!::GetConsoleScreenBufferInfo(console, &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

bool TerminalTakesUtf8() {
  return ::GetConsoleOutputCP() == CP_UTF8;
}

}  // namespace veltra::cli
