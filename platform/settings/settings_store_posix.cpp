// The settings store on POSIX: one REGEDIT4 file per key, holding the key's own
// section and its subkeys as [HKEY_CURRENT_USER\<key>\<section>] with
// "Name"="value" lines (settings_text.h). Only a regular file of sane size is read,
// and a file that cannot be read whole is never written over.
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/core/errno_map.h"
#include "platform/settings/settings_file.h"
#include "platform/settings/settings_store.h"
#include "platform/settings/settings_text.h"

namespace veltra::platform {

using win::DWORD;
using win::ERROR_DISK_FULL;
using win::ERROR_INVALID_NAME;
using win::ERROR_INVALID_PARAMETER;
using win::ERROR_REGISTRY_CORRUPT;

namespace {

constexpr std::string_view kHive = "HKEY_CURRENT_USER";
constexpr const char* kFileName = "registry.reg";

bool HasLineBreakOrNul(std::string_view s) {
  return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

DWORD LastErrno() {
  return Win32ErrorFromErrno(errno, ErrnoStage::kOpening);
}

// --- the file ---------------------------------------------------------------------------

std::string ConfigHome() {
  // Relative paths in XDG_CONFIG_HOME are to be ignored.
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') return xdg;
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.config";
  if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr) {
    return std::string(pw->pw_dir) + "/.config";
  }
  return {};
}

// The key path's parts: "Software\Orvane\Veltra" gives {"Software","Orvane","Veltra"}.
std::vector<std::string> KeyParts(std::string_view keyPath) {
  std::vector<std::string> parts;
  std::size_t pos = 0;
  while (pos <= keyPath.size()) {
    const std::size_t end = std::min(keyPath.find('\\', pos), keyPath.size());
    if (end > pos) parts.emplace_back(keyPath.substr(pos, end - pos));
    pos = end + 1;
  }
  return parts;
}

bool IsSafeDirectoryName(const std::string& part) {
  return part != "." && part != ".." && part.find('/') == std::string::npos &&
         !HasLineBreakOrNul(part);
}

std::string FileFor(const std::vector<std::string>& parts) {
  const std::string home = ConfigHome();
  if (home.empty() || parts.empty()) return {};
  std::size_t first = (parts.size() > 1 && NameIndex::SameName(parts.front(), "Software")) ? 1 : 0;
  std::string path = home;
  for (std::size_t i = first; i < parts.size(); ++i) {
    if (!IsSafeDirectoryName(parts[i])) return {};
    path += "/" + parts[i];
  }
  return path + "/" + kFileName;
}

enum class LoadResult { Loaded, Absent, Failed };

bool IsSaneFile(const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_size >= 0 &&
         static_cast<std::uint64_t>(st.st_size) <= kMaxSettingsFileSize;
}

// At most the size limit and one byte more, so a file growing meanwhile is noticed.
LoadResult ReadWhole(int fd, std::string* text, DWORD* error) {
  char buffer[65536];
  while (text->size() <= kMaxSettingsFileSize) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) return LoadResult::Loaded;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = LastErrno();
      return LoadResult::Failed;
    }
    text->append(buffer, static_cast<std::size_t>(n));
  }
  *error = ERROR_REGISTRY_CORRUPT;
  return LoadResult::Failed;
}

// Only a regular file is opened: a FIFO would block the open, a device could
// answer for ever or change its lines when opened. The open does not block, and the
// file is checked again once open, in case the path was swapped meanwhile.
LoadResult LoadFile(const std::string& path, std::string* text, DWORD* error) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return LoadResult::Absent;
    *error = LastErrno();
    return LoadResult::Failed;
  }
  *error = ERROR_REGISTRY_CORRUPT;
  if (!IsSaneFile(st)) return LoadResult::Failed;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    *error = LastErrno();
    return LoadResult::Failed;
  }
  LoadResult result = LoadResult::Failed;
  if (::fstat(fd, &st) == 0 && IsSaneFile(st)) {
    text->reserve(static_cast<std::size_t>(st.st_size) + 1);
    result = ReadWhole(fd, text, error);
  }
  ::close(fd);
  return result;
}

// Each step returns 0 or the Win32 code of its failure.
DWORD MakeDirectories(const std::string& dir) {
  for (std::size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos < dir.size() && dir[pos] != '/') continue;
    const std::string prefix = dir.substr(0, pos);
    if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return LastErrno();
  }
  return 0;
}

DWORD WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return LastErrno();
    if (n == 0) return ERROR_DISK_FULL;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return ::fsync(fd) == 0 ? 0 : LastErrno();
}

// A new file beside the old one, renamed over it: readers see the old or the new
// file, never a torn one.
DWORD ReplaceFile(const std::string& path, std::string_view text) {
  const std::string dir = path.substr(0, path.rfind('/'));
  if (const DWORD error = MakeDirectories(dir)) return error;
  std::string temp = path + ".XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return LastErrno();
  DWORD error = WriteAll(fd, text);
  if (::close(fd) != 0 && error == 0) error = LastErrno();
  if (error == 0 && ::rename(temp.c_str(), path.c_str()) != 0) error = LastErrno();
  if (error != 0) {
    ::unlink(temp.c_str());
    return error;
  }
  if (const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return 0;
}

class FileSettingsKey final : public SettingsKey {
 public:
  FileSettingsKey(std::string file, std::string keyRoot, RegDocument doc)
      : file_(std::move(file)), keyRoot_(std::move(keyRoot)), doc_(std::move(doc)) {}

  // Up to the first NUL, as the registry hands a string to its reader; the
  // document keeps every byte for the next save.
  ReadResult ReadString(const std::string& section, const std::string& name,
                        std::string* value) override {
    RegSection* s = doc_.Find(SectionPath(section));
    RegValue* v = s != nullptr ? s->Find(name) : nullptr;
    if (v == nullptr) return ReadResult::Missing;
    if (!v->isString) return ReadResult::Failed;
    *value = v->data.substr(0, v->data.find('\0'));
    return ReadResult::Found;
  }

  bool WriteString(const std::string& section, const std::string& name,
                   const std::string& value) override {
    if (HasLineBreakOrNul(section) || HasLineBreakOrNul(name) ||
        section.find(']') != std::string::npos) {
      lastError_ = ERROR_INVALID_PARAMETER;
      return false;
    }
    // The key's own section comes first, as regedit lists a key before its subkeys.
    doc_.FindOrAdd(keyRoot_);
    // A string value ends at its NUL.
    doc_.FindOrAdd(SectionPath(section))
        .Put(RegValue{name, value.substr(0, value.find('\0')), true});
    dirty_ = true;
    return true;
  }

  bool Commit() override {
    if (!dirty_) return true;
    lastError_ = ReplaceFile(file_, SerializeRegText(doc_));
    if (lastError_ != 0) return false;
    dirty_ = false;
    return true;
  }

  std::uint32_t LastError() const override { return lastError_; }

 private:
  std::string SectionPath(const std::string& section) const {
    return section.empty() ? keyRoot_ : keyRoot_ + "\\" + section;
  }

  std::string file_;
  std::string keyRoot_;
  RegDocument doc_;
  bool dirty_ = false;
  DWORD lastError_ = 0;
};

}  // namespace

std::string SettingsLocation(const std::string& keyPath) {
  return FileFor(KeyParts(keyPath));
}

std::unique_ptr<SettingsKey> OpenCurrentUserKey(const std::string& keyPath, std::uint32_t* error) {
  DWORD ignored = 0;
  if (error == nullptr) error = &ignored;
  const std::vector<std::string> parts = KeyParts(keyPath);
  const std::string file = FileFor(parts);
  *error = ERROR_INVALID_NAME;
  if (file.empty()) return nullptr;
  std::string keyRoot(kHive);
  for (const std::string& part : parts) keyRoot += "\\" + part;

  std::string text;
  RegDocument doc;
  switch (LoadFile(file, &text, error)) {
    case LoadResult::Failed:
      return nullptr;
    case LoadResult::Absent:
      break;
    case LoadResult::Loaded:
      auto parsed = ParseRegText(text);
      *error = ERROR_REGISTRY_CORRUPT;
      if (!parsed) return nullptr;
      doc = std::move(*parsed);
      break;
  }
  *error = 0;
  return std::make_unique<FileSettingsKey>(file, std::move(keyRoot), std::move(doc));
}

FileReadResult ReadSettingsFile(const std::string& path, std::string* text, std::uint32_t* error) {
  DWORD code = 0;
  const LoadResult result = LoadFile(path, text, &code);
  if (error != nullptr) *error = result == LoadResult::Failed ? code : 0;
  if (result == LoadResult::Loaded) return FileReadResult::Read;
  return result == LoadResult::Absent ? FileReadResult::Absent : FileReadResult::Failed;
}

std::uint32_t ReplaceSettingsFile(const std::string& path, std::string_view text) {
  // The directory is what comes before the last '/': a bare name is in the current one.
  return ReplaceFile(path.find('/') == std::string::npos ? "./" + path : path, text);
}

}  // namespace veltra::platform
