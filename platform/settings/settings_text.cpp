#include "platform/settings/settings_text.h"

#include <algorithm>

namespace veltra::platform {

namespace {

constexpr std::string_view kHeader = "REGEDIT4";

bool IsPrintableAscii(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string_view TrimBlanks(std::string_view s) {
  while (s.starts_with(' ')) s.remove_prefix(1);
  while (s.ends_with(' ')) s.remove_suffix(1);
  return s;
}

// --- writing ------------------------------------------------------------------------

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

// --- reading ------------------------------------------------------------------------

// Lines without their "\n" or "\r\n"; views into the text, nothing copied.
class LineReader {
 public:
  explicit LineReader(std::string_view text) : text_(text) {}
  std::optional<std::string_view> Next() {
    if (pos_ >= text_.size()) return std::nullopt;
    const std::size_t end = std::min(text_.find('\n', pos_), text_.size());
    std::string_view line = text_.substr(pos_, end - pos_);
    pos_ = end + 1;
    if (line.ends_with('\r')) line.remove_suffix(1);
    return line;
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

// A quoted string starting at text[pos] == '"'; pos ends after the closing quote.
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

// "41,42,00": two hex digits per byte, blanks around them allowed. Empty is none.
std::optional<std::string> ParseHexBytes(std::string_view list) {
  std::string out;
  if (TrimBlanks(list).empty()) return out;
  std::size_t pos = 0;
  while (pos <= list.size()) {
    const std::size_t comma = std::min(list.find(',', pos), list.size());
    const std::string_view item = TrimBlanks(list.substr(pos, comma - pos));
    if (item.size() != 2) return std::nullopt;  // a byte cut in half, or no byte
    const int high = HexDigit(item[0]), low = HexDigit(item[1]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    pos = comma + 1;
  }
  return out;
}

// "dword:" and eight hex digits; "hex:" or "hex(N):" and a byte list.
bool IsOtherTypedData(std::string_view data) {
  if (data.starts_with("dword:")) {
    data.remove_prefix(6);
    return data.size() == 8 &&
           std::all_of(data.begin(), data.end(), [](char c) { return HexDigit(c) >= 0; });
  }
  if (data.starts_with("hex:")) return ParseHexBytes(data.substr(4)).has_value();
  if (!data.starts_with("hex(")) return false;
  const std::size_t close = data.find("):");
  if (close == std::string_view::npos || close == 4 || close > 12) return false;
  const std::string_view type = data.substr(4, close - 4);
  return std::all_of(type.begin(), type.end(), [](char c) { return HexDigit(c) >= 0; }) &&
         ParseHexBytes(data.substr(close + 2)).has_value();
}

// The data part of a value line (after '='), continuation lines already joined.
std::optional<RegValue> ParseData(std::string name, std::string_view data) {
  RegValue value{std::move(name), {}, true};
  if (data.starts_with('"')) {
    std::size_t pos = 0;
    auto s = ParseQuoted(data, pos);
    if (!s || pos != data.size()) return std::nullopt;
    value.data = std::move(*s);
    return value;
  }
  if (data.starts_with("hex(1):") || data.starts_with("hex(2):")) {
    auto bytes = ParseHexBytes(data.substr(7));
    // Every string was written with its NUL; without it the line was cut short.
    if (!bytes || bytes->empty() || bytes->back() != '\0') return std::nullopt;
    bytes->pop_back();
    value.data = std::move(*bytes);
    return value;
  }
  if (!IsOtherTypedData(data)) return std::nullopt;
  value.isString = false;
  value.data = std::string(data);
  return value;
}

// regedit wraps long hex data with a trailing backslash; the next lines, blanks
// before them dropped, continue it. A file that ends inside the data is torn.
std::optional<std::string> JoinContinuations(std::string_view data, LineReader& lines) {
  std::string joined(data);
  while (joined.ends_with('\\')) {
    joined.pop_back();
    auto next = lines.Next();
    if (!next) return std::nullopt;
    joined += TrimBlanks(*next);
  }
  return joined;
}

std::optional<RegValue> ParseValueLine(std::string_view line, LineReader& lines) {
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
  const std::string_view data = line.substr(pos + 1);
  if (!data.starts_with("hex") || !data.ends_with('\\')) return ParseData(std::move(name), data);
  auto joined = JoinContinuations(data, lines);
  if (!joined) return std::nullopt;
  return ParseData(std::move(name), *joined);
}

// "[path]": the path is not empty; only blanks may follow the bracket.
std::optional<std::string_view> SectionPath(std::string_view line) {
  line = TrimBlanks(line);
  if (line.size() < 3 || !line.ends_with(']')) return std::nullopt;
  return line.substr(1, line.size() - 2);
}

}  // namespace

// --- the document -------------------------------------------------------------------

std::size_t NameIndex::Hash(std::string_view name) {
  std::uint64_t h = 14695981039346656037ull;  // FNV-1a over the lower-case bytes
  for (char c : name) {
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  }
  return static_cast<std::size_t>(h ^ (h >> 32));
}

bool NameIndex::SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

RegValue* RegSection::Find(std::string_view name) {
  const auto at =
      index_.Find(name, [this](std::uint32_t i) { return std::string_view(values_[i].name); });
  return at ? &values_[*at] : nullptr;
}

RegValue& RegSection::Put(RegValue value) {
  if (RegValue* existing = Find(value.name)) return *existing = std::move(value);
  values_.push_back(std::move(value));
  const auto at = static_cast<std::uint32_t>(values_.size() - 1);
  index_.Add(at, [this](std::uint32_t i) { return std::string_view(values_[i].name); });
  return values_.back();
}

RegSection* RegDocument::Find(std::string_view path) {
  const auto at =
      index_.Find(path, [this](std::uint32_t i) { return std::string_view(sections_[i].Path()); });
  return at ? &sections_[*at] : nullptr;
}

RegSection& RegDocument::FindOrAdd(std::string_view path) {
  if (RegSection* existing = Find(path)) return *existing;
  sections_.emplace_back(std::string(path));
  const auto at = static_cast<std::uint32_t>(sections_.size() - 1);
  index_.Add(at, [this](std::uint32_t i) { return std::string_view(sections_[i].Path()); });
  return sections_.back();
}

std::optional<RegDocument> ParseRegText(std::string_view text) {
  LineReader lines(text);
  if (lines.Next() != kHeader) return std::nullopt;
  RegDocument doc;
  RegSection* section = nullptr;  // stable until the next section is added
  while (auto line = lines.Next()) {
    if (line->empty() || line->front() == ';') continue;
    if (line->front() == '[') {
      const auto path = SectionPath(*line);
      if (!path) return std::nullopt;
      section = &doc.FindOrAdd(*path);
      continue;
    }
    auto value = ParseValueLine(*line, lines);
    if (!value || section == nullptr) return std::nullopt;
    section->Put(std::move(*value));
  }
  return doc;
}

std::string SerializeRegText(const RegDocument& doc) {
  std::string text = std::string(kHeader) + "\n";
  for (const RegSection& s : doc.Sections()) {
    text += "\n[" + s.Path() + "]\n";
    for (const RegValue& v : s.Values()) {
      text += v.name.empty() ? std::string("@") : Quote(v.name);
      text += '=';
      if (!v.isString) {
        text += v.data;
      } else {
        text += IsPrintableAscii(v.data) ? Quote(v.data) : HexString(v.data);
      }
      text += '\n';
    }
  }
  return text;
}

}  // namespace veltra::platform
