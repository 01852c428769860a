#include "app/logic/log_search.h"

#include <algorithm>
#include <cctype>

#include "app/logic/line_history.h"
#include "session/hex_dump.h"
#include "session/log_lines.h"

namespace veltra::logic {
namespace {

using session::DumpLineBytes;
using session::kDumpBytesPerLine;
using session::kPort1Prefixes;
using session::kPort2Prefixes;
using session::TPortPrefixes;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::size_t Occurrences(std::string_view in, std::string_view what) {
  std::size_t n = 0;
  for (std::size_t at = in.find(what); at != std::string_view::npos; at = in.find(what, at + what.size()))
    ++n;
  return n;
}

// The port and direction a header starts, or port 0 for a line that is none.
void HeaderKind(std::string_view line, int& port, int& direction) {
  port = 0;
  if (line.size() < 7 || line[0] != 'P' || line[2] != ':') return;
  for (const TPortPrefixes* p : {&kPort1Prefixes, &kPort2Prefixes}) {
    const int number = p == &kPort1Prefixes ? 1 : 2;
    for (const char* prefix : {p->Rec, p->RecX, p->Snd, p->Msg}) {
      if (!line.starts_with(prefix)) continue;
      port = number;
      direction = prefix == p->Snd ? 2 : prefix == p->Msg ? 3 : 1;
      return;
    }
  }
}

}  // namespace

std::string HexPairs(std::string_view text) {
  std::string bytes;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    if (i + 1 >= text.size() || HexValue(text[i]) < 0 || HexValue(text[i + 1]) < 0) return {};
    bytes.push_back(static_cast<char>(HexValue(text[i]) * 16 + HexValue(text[i + 1])));
    i += 2;
  }
  return bytes;
}

TLogSearch::TLogSearch(std::string_view text, TSearchFilter filter)
    : text_(text), filter_(filter) {
  // Hex pairs with a blank between them, or one pair, mean bytes.
  const std::string hex = HexPairs(text);
  bytes_ = !hex.empty() && (text.find(' ') != std::string_view::npos || text.size() == 2) ? hex
                                                                                       : text_;
}

bool TLogSearch::Wanted() const {
  if (filter_.Port != 0 && port_ != filter_.Port) return false;
  return filter_.Direction == 0 || direction_ == filter_.Direction;
}

std::size_t TLogSearch::Line(std::string_view line) {
  char bytes[kDumpBytesPerLine];
  const std::size_t n = DumpLineBytes(line, bytes);
  return n ? Dumped(std::string_view(bytes, n)) : Text(line);
}

std::size_t TLogSearch::Text(std::string_view line) {
  carry_.clear();
  int port = 0, direction = 0;
  HeaderKind(line, port, direction);
  if (port) {
    port_ = port;
    direction_ = direction;
  }
  if (text_.empty() || !Wanted()) return 0;
  return Occurrences(line, text_);
}

// Matches do not overlap, as a find-next walks them, wherever the dump lines cut them:
// the carry holds only bytes after the last match.
std::size_t TLogSearch::Dumped(std::string_view bytes) {
  if (bytes_.empty() || !Wanted()) return 0;
  std::size_t n = 0;
  std::size_t from = 0;  // where in `bytes` the next match may begin
  if (!carry_.empty()) {
    // Matches that begin in the carried bytes and end in these.
    joined_.assign(carry_);
    joined_.append(bytes.substr(0, bytes_.size() - 1));
    for (std::size_t at = joined_.find(bytes_); at != std::string::npos && at < carry_.size();
         at = joined_.find(bytes_, at + bytes_.size())) {
      ++n;
      from = std::max(from, at + bytes_.size() - carry_.size());
    }
  }
  for (std::size_t at = bytes.find(bytes_, from); at != std::string_view::npos;
       at = bytes.find(bytes_, from)) {
    ++n;
    from = at + bytes_.size();
  }
  const std::size_t keep = bytes_.size() - 1;
  if (from > 0) carry_.clear();
  const std::string_view rest = bytes.substr(std::min(from, bytes.size()));
  carry_ += rest.substr(rest.size() > keep ? rest.size() - keep : 0);
  if (carry_.size() > keep) carry_.erase(0, carry_.size() - keep);
  return n;
}

std::uint64_t CountInHistory(const TLineHistory& history, TLogSearch& search) {
  std::uint64_t n = 0;
  history.Scan([&](std::string_view bytes) { n += search.Dumped(bytes); },
               [&](std::string_view line, bool) { n += search.Text(line); });
  return n;
}

}  // namespace veltra::logic
