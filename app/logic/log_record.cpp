#include "app/logic/log_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace veltra::logic {

namespace {
#ifdef _WIN32
// Binary: the lines carry their own CR LF.
constexpr int kOpenFlags = O_WRONLY | O_CREAT | O_TRUNC | O_BINARY | O_NOINHERIT;
#else
constexpr int kOpenFlags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
#endif
}  // namespace

TLogRecord::~TLogRecord() {
  OnStopped = nullptr;  // the listener may be gone already
  Stop();
}

std::string TLogRecord::Start(const std::string& path) {
  Stop();
  const int fd = ::open(path.c_str(), kOpenFlags, 0666);
  if (fd < 0) return std::strerror(errno);
  fd_ = fd;
  path_ = path;
  return {};
}

bool TLogRecord::IsRecording(const std::string& path) const {
  struct stat recorded = {};
  struct stat other = {};
  if (!Active() || ::fstat(fd_, &recorded) != 0 || ::stat(path.c_str(), &other) != 0) return false;
  return recorded.st_dev == other.st_dev && recorded.st_ino == other.st_ino;
}

void TLogRecord::Stop() {
  if (!Active()) return;
  Flush();
  if (!Active()) return;  // the flush failed and has reported it
  const int fd = fd_;
  fd_ = -1;
  // A network or full file system may report a lost write only here.
  if (::close(fd) != 0 && errno != EINTR) {
    const int error = errno;
    if (OnStopped) OnStopped(std::strerror(error));
  }
}

void TLogRecord::Append(std::string_view lines) {
  if (!Active()) return;
  waiting_.reserve(waiting_.size() + lines.size() + lines.size() / 16);
  std::size_t at = 0;
  while (at < lines.size()) {
    const std::size_t end = lines.find('\n', at);
    if (end == std::string_view::npos) {
      waiting_.append(lines.substr(at));
      break;
    }
    waiting_.append(lines.substr(at, end - at));
    waiting_.append("\r\n");
    at = end + 1;
  }
  if (waiting_.size() >= kWriteAt) Flush();
}

void TLogRecord::Flush() {
  std::size_t done = 0;
  while (Active() && done < waiting_.size()) {
    const ssize_t n = ::write(fd_, waiting_.data() + done, waiting_.size() - done);
    if (n > 0)
      done += static_cast<std::size_t>(n);
    else if (n < 0 && errno != EINTR)
      Fail(errno);
    else if (n == 0)
      Fail(ENOSPC);  // a regular file takes no bytes only when there is no room
  }
  waiting_.clear();
}

void TLogRecord::Fail(int error) {
  ::close(fd_);
  fd_ = -1;
  waiting_.clear();
  if (OnStopped) OnStopped(std::strerror(error));
}

}  // namespace veltra::logic
