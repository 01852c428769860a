// The settings store on POSIX: one REGEDIT4 file per key, holding the key's own
// section and its subkeys as [HKEY_CURRENT_USER\<key>\<section>] with
// "Name"="value" lines. Strings of printable ASCII are written quoted (\\ and \"
// escaped); any other string as hex(1): ANSI bytes with their terminating NUL, as
// regedit does, so the file stays plain text. Values of other types (dword:, hex:)
// are kept as found and read as a failure, as the registry refuses them as strings.
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

#include "platform/settings_store.h"

namespace veltra::platform {

namespace {

constexpr std::string_view kHive = "HKEY_CURRENT_USER";
constexpr std::string_view kHeader = "REGEDIT4";
constexpr const char* kFileName = "registry.reg";

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

bool IsPrintableAscii(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

bool HasLineBreakOrNul(std::string_view s) {
  return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// --- the document ---------------------------------------------------------------------

struct RegValue {
  std::string name;
  bool isString = true;
  std::string data;  // the string, when isString
  std::string raw;   // the text after '=', when not a string value (kept as found)
};

struct RegSection {
  std::string path;  // full key path, hive included
  std::vector<RegValue> values;
};

using RegDocument = std::vector<RegSection>;

RegSection* FindSection(RegDocument& doc, std::string_view path) {
  for (RegSection& s : doc) {
    if (SameText(s.path, path)) return &s;
  }
  return nullptr;
}

RegValue* FindValue(RegSection& section, std::string_view name) {
  for (RegValue& v : section.values) {
    if (SameText(v.name, name)) return &v;
  }
  return nullptr;
}

// --- writing the text -----------------------------------------------------------------

std::string Quote(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + '"';
}

std::string HexString(std::string_view s) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out = "hex(1):";
  auto put = [&](unsigned char b) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  };
  for (char c : s) {
    put(static_cast<unsigned char>(c));
    out += ',';
  }
  put(0);
  return out;
}

std::string Serialize(const RegDocument& doc) {
  std::string text = std::string(kHeader) + "\n";
  for (const RegSection& s : doc) {
    text += "\n[" + s.path + "]\n";
    for (const RegValue& v : s.values) {
      text += v.name.empty() ? std::string("@") : Quote(v.name);
      text += '=';
      if (!v.isString) {
        text += v.raw;
      } else {
        text += IsPrintableAscii(v.data) ? Quote(v.data) : HexString(v.data);
      }
      text += '\n';
    }
  }
  return text;
}

// --- reading the text -----------------------------------------------------------------

// Reads a quoted string starting at text[pos] == '"'; pos ends after the closing quote.
std::optional<std::string> ParseQuoted(std::string_view text, std::size_t& pos) {
  if (pos >= text.size() || text[pos] != '"') return std::nullopt;
  std::string out;
  for (++pos; pos < text.size(); ++pos) {
    char c = text[pos];
    if (c == '"') {
      ++pos;
      return out;
    }
    if (c == '\\') {
      if (++pos >= text.size()) return std::nullopt;
      c = text[pos];
    }
    out += c;
  }
  return std::nullopt;  // unterminated: a torn line
}

std::optional<std::string> ParseHexBytes(std::string_view list) {
  std::string out;
  std::size_t pos = 0;
  while (pos < list.size()) {
    const std::size_t comma = std::min(list.find(',', pos), list.size());
    std::string_view item = list.substr(pos, comma - pos);
    while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
    while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
    if (item.empty() || item.size() > 2) return std::nullopt;
    unsigned value = 0;
    for (char c : item) {
      const int digit = (c >= '0' && c <= '9')   ? c - '0'
                        : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                        : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                                 : -1;
      if (digit < 0) return std::nullopt;
      value = value * 16 + unsigned(digit);
    }
    out += static_cast<char>(value);
    pos = comma + 1;
  }
  return out;
}

// The data part of a value line (after '='), hex continuation lines already joined.
std::optional<RegValue> ParseData(std::string name, std::string_view data) {
  RegValue value;
  value.name = std::move(name);
  if (!data.empty() && data.front() == '"') {
    std::size_t pos = 0;
    auto s = ParseQuoted(data, pos);
    if (!s || pos != data.size()) return std::nullopt;
    value.data = std::move(*s);
    return value;
  }
  const bool sz = data.starts_with("hex(1):");
  const bool expandSz = data.starts_with("hex(2):");
  if (sz || expandSz) {
    auto bytes = ParseHexBytes(data.substr(7));
    if (!bytes) return std::nullopt;
    // A string value ends at its first NUL.
    value.data = bytes->substr(0, bytes->find('\0'));
    return value;
  }
  if (data.starts_with("dword:") || data.starts_with("hex:") || data.starts_with("hex(")) {
    value.isString = false;
    value.raw = std::string(data);
    return value;
  }
  return std::nullopt;
}

std::optional<RegValue> ParseValueLine(std::string_view line) {
  std::string name;
  std::size_t pos = 0;
  if (line.starts_with('@')) {
    pos = 1;
  } else {
    auto quoted = ParseQuoted(line, pos);
    if (!quoted) return std::nullopt;
    name = std::move(*quoted);
  }
  if (pos >= line.size() || line[pos] != '=') return std::nullopt;
  return ParseData(std::move(name), line.substr(pos + 1));
}

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = std::min(text.find('\n', pos), text.size());
    std::string line(text.substr(pos, end - pos));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    pos = end + 1;
  }
  return lines;
}

std::optional<RegDocument> Parse(std::string_view text) {
  std::vector<std::string> lines = SplitLines(text);
  if (lines.empty() || lines.front() != kHeader) return std::nullopt;
  RegDocument doc;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    std::string line = lines[i];
    // regedit wraps long hex data with a trailing backslash.
    while (!line.empty() && line.back() == '\\' && line.find("=hex") != std::string::npos &&
           i + 1 < lines.size()) {
      line.pop_back();
      std::string_view next = lines[++i];
      next.remove_prefix(std::min(next.find_first_not_of(' '), next.size()));
      line += next;
    }
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      const std::size_t close = line.rfind(']');
      if (close == std::string::npos || close == 1) return std::nullopt;
      doc.push_back(RegSection{line.substr(1, close - 1), {}});
      continue;
    }
    auto value = ParseValueLine(line);
    if (!value || doc.empty()) return std::nullopt;
    RegSection& section = doc.back();
    if (RegValue* existing = FindValue(section, value->name)) {
      *existing = std::move(*value);
    } else {
      section.values.push_back(std::move(*value));
    }
  }
  return doc;
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
  std::size_t first = (parts.size() > 1 && SameText(parts.front(), "Software")) ? 1 : 0;
  std::string path = home;
  for (std::size_t i = first; i < parts.size(); ++i) {
    if (!IsSafeDirectoryName(parts[i])) return {};
    path += "/" + parts[i];
  }
  return path + "/" + kFileName;
}

enum class LoadResult { Loaded, Absent, Failed };

LoadResult LoadFile(const std::string& path, std::string* text) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? LoadResult::Absent : LoadResult::Failed;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) != 0) {
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return LoadResult::Failed;
    }
    text->append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return LoadResult::Loaded;
}

bool MakeDirectories(const std::string& dir) {
  for (std::size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos < dir.size() && dir[pos] != '/') continue;
    const std::string prefix = dir.substr(0, pos);
    if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return true;
}

bool WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// A new file beside the old one, renamed over it: readers see the old or the new
// file, never a torn one.
bool ReplaceFile(const std::string& path, std::string_view text) {
  const std::string dir = path.substr(0, path.rfind('/'));
  if (!MakeDirectories(dir)) return false;
  std::string temp = path + ".XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return false;
  const bool written = WriteAll(fd, text) && ::fsync(fd) == 0;
  const bool closed = ::close(fd) == 0;
  if (!written || !closed || ::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  if (const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return true;
}

class FileSettingsKey final : public SettingsKey {
 public:
  FileSettingsKey(std::string file, std::string keyRoot, RegDocument doc)
      : file_(std::move(file)), keyRoot_(std::move(keyRoot)), doc_(std::move(doc)) {}

  ReadResult ReadString(const std::string& section, const std::string& name,
                        std::string* value) override {
    RegSection* s = FindSection(doc_, SectionPath(section));
    RegValue* v = s != nullptr ? FindValue(*s, name) : nullptr;
    if (v == nullptr) return ReadResult::Missing;
    if (!v->isString) return ReadResult::Failed;
    *value = v->data;
    return ReadResult::Found;
  }

  bool WriteString(const std::string& section, const std::string& name,
                   const std::string& value) override {
    if (HasLineBreakOrNul(section) || HasLineBreakOrNul(name) ||
        section.find(']') != std::string::npos) {
      return false;
    }
    RegValue* v = FindOrAddValue(SectionOrAdd(SectionPath(section)), name);
    v->isString = true;
    v->data = value.substr(0, value.find('\0'));  // a string value ends at its NUL
    v->raw.clear();
    dirty_ = true;
    return true;
  }

  bool Commit() override {
    if (!dirty_) return true;
    if (!ReplaceFile(file_, Serialize(doc_))) return false;
    dirty_ = false;
    return true;
  }

 private:
  std::string SectionPath(const std::string& section) const {
    return section.empty() ? keyRoot_ : keyRoot_ + "\\" + section;
  }

  // The key's own section comes first, as regedit lists a key before its subkeys.
  RegSection& SectionOrAdd(const std::string& path) {
    if (FindSection(doc_, keyRoot_) == nullptr) doc_.push_back(RegSection{keyRoot_, {}});
    if (RegSection* s = FindSection(doc_, path)) return *s;
    doc_.push_back(RegSection{path, {}});
    return doc_.back();
  }

  static RegValue* FindOrAddValue(RegSection& section, const std::string& name) {
    if (RegValue* v = FindValue(section, name)) return v;
    section.values.push_back(RegValue{name, true, {}, {}});
    return &section.values.back();
  }

  std::string file_;
  std::string keyRoot_;
  RegDocument doc_;
  bool dirty_ = false;
};

}  // namespace

std::string SettingsLocation(const std::string& keyPath) {
  return FileFor(KeyParts(keyPath));
}

std::unique_ptr<SettingsKey> OpenCurrentUserKey(const std::string& keyPath) {
  const std::vector<std::string> parts = KeyParts(keyPath);
  const std::string file = FileFor(parts);
  if (file.empty()) return nullptr;
  std::string keyRoot(kHive);
  for (const std::string& part : parts) keyRoot += "\\" + part;

  std::string text;
  RegDocument doc;
  switch (LoadFile(file, &text)) {
    case LoadResult::Failed:
      return nullptr;
    case LoadResult::Absent:
      break;
    case LoadResult::Loaded:
      auto parsed = Parse(text);
      if (!parsed) return nullptr;
      doc = std::move(*parsed);
      break;
  }
  return std::make_unique<FileSettingsKey>(file, std::move(keyRoot), std::move(doc));
}

}  // namespace veltra::platform
