#include "automation/script/script_patterns.h"

#include <algorithm>
#include <cctype>

#include "session/char_code.h"
#include "session/integer_text.h"

namespace veltra::script {

namespace {

bool IsSeparator(char c) {
  return c == ' ' || c == ',' || c == ':' || c == '-' || c == '\t';
}

int HexValue(char c) {
  return std::isdigit(static_cast<unsigned char>(c))
             ? c - '0'
             : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
}

// Pairs of hex digits (or "??" where wildcards are allowed), groups split by separators.
std::vector<int> ReadHexItems(std::string_view text, bool wildcards) {
  std::vector<int> items;
  std::string digits;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    const char c = i < text.size() ? text[i] : ' ';
    if (std::isxdigit(static_cast<unsigned char>(c)) || (wildcards && c == '?')) {
      digits.push_back(c);
      continue;
    }
    if (!IsSeparator(c))
      throw TPatternError("'" + std::string(1, c) + "' is not a hex digit or a separator");
    if (digits.size() % 2 != 0) throw TPatternError("'" + digits + "' has an odd number of digits");
    for (std::size_t d = 0; d < digits.size(); d += 2) {
      const char hi = digits[d], lo = digits[d + 1];
      if (hi == '?' && lo == '?') {
        items.push_back(-1);
      } else if (hi == '?' || lo == '?') {
        throw TPatternError("'" + digits.substr(d, 2) + "' is neither a byte nor ??");
      } else {
        items.push_back(HexValue(hi) * 16 + HexValue(lo));
      }
    }
    digits.clear();
  }
  return items;
}

}  // namespace

std::string ReadHex(std::string_view text) {
  std::string bytes;
  for (int b : ReadHexItems(text, false)) bytes.push_back(static_cast<char>(b));
  return bytes;
}

std::string ReadAsciiCodes(std::string_view text) {
  const std::string skipped = session::FirstSkippedAsciiCode(text);
  if (!skipped.empty())
    throw TPatternError("'" + skipped +
                        "' is not a code from 000 to 255 (three characters, one separator)");
  return session::ParseAsciiCodes(text);
}

std::string ReadCharCode(std::string_view text) {
  if (text.empty()) throw TPatternError("a character or a code from 0 to 255 is needed");
  try {
    return std::string(1, static_cast<char>(session::TextToCharCode(std::string(text), 0)));
  } catch (const session::EConvertError& e) {
    throw TPatternError(e.what());
  }
}

THexPattern ReadHexPattern(std::string_view text) {
  THexPattern pattern{ReadHexItems(text, true)};
  if (pattern.Bytes.empty()) throw TPatternError("an empty hex pattern matches nothing");
  return pattern;
}

std::optional<TFound> FindText(std::string_view haystack, std::string_view text) {
  const std::size_t at = haystack.find(text);
  if (at == std::string_view::npos) return std::nullopt;
  return TFound{at, at + text.size()};
}

std::optional<TFound> FindHex(std::string_view haystack, const THexPattern& pattern) {
  const auto& p = pattern.Bytes;
  auto same = [](char c, int b) { return b < 0 || static_cast<unsigned char>(c) == b; };
  const auto at = std::search(haystack.begin(), haystack.end(), p.begin(), p.end(), same);
  if (at == haystack.end()) return std::nullopt;
  const auto begin = static_cast<std::size_t>(at - haystack.begin());
  return TFound{begin, begin + p.size()};
}

}  // namespace veltra::script
