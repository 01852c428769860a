#include "app/logic/log_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

namespace veltra::logic {

TLogRecord::~TLogRecord() {
  OnStopped = nullptr;  // the listener may be gone already
  Stop();
}

std::string TLogRecord::Start(const std::string& path) {
  Stop();
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
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

namespace {

bool IsSeparator(char c) {
#ifdef _WIN32
  return c == '/' || c == '\\' || c == ':';
#else
  return c == '/';
#endif
}

// Characters, not bytes: UTF-8 continuation bytes do not count.
std::size_t CharacterCount(std::string_view text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

bool IsTxt(std::string_view extension) {
  return extension.size() == 3 &&
         std::equal(extension.begin(), extension.end(), "txt", [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) == b;
         });
}

}  // namespace

std::string TrafficLogPathFor(std::string_view errorLogPath) {
  std::size_t nameAt = errorLogPath.size();
  while (nameAt > 0 && !IsSeparator(errorLogPath[nameAt - 1])) --nameAt;
  const std::string folder(errorLogPath.substr(0, nameAt));
  const std::string_view name = errorLogPath.substr(nameAt);
  // A leading dot starts a name (".x"), not an extension.
  const std::size_t dot = name.rfind('.');
  const bool hasExtension = dot != std::string_view::npos && dot > 0;
  const std::string_view stem = hasExtension ? name.substr(0, dot) : name;
  const std::string_view extension = hasExtension ? name.substr(dot + 1) : std::string_view();
  if (CharacterCount(extension) == 3 && !IsTxt(extension))
    return folder + std::string(stem) + ".txt";
  if (stem.empty()) return folder + "traffic.txt";
  return folder + std::string(stem) + "-traffic.txt";
}

}  // namespace veltra::logic
