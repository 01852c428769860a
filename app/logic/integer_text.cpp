#include "app/logic/integer_text.h"

#include <limits>

namespace veltra::logic {
namespace {

int DigitValue(char c, int base) {
  int v = -1;
  if (c >= '0' && c <= '9')
    v = c - '0';
  else if (c >= 'a' && c <= 'f')
    v = c - 'a' + 10;
  else if (c >= 'A' && c <= 'F')
    v = c - 'A' + 10;
  return v < base ? v : -1;
}

// Strips a hexadecimal prefix; returns the base the digits are in.
int TakeBase(std::string_view& s) {
  if (!s.empty() && (s[0] == '$' || s[0] == 'x' || s[0] == 'X')) {
    s.remove_prefix(1);
    return 16;
  }
  if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    s.remove_prefix(2);
    return 16;
  }
  return 10;
}

}  // namespace

std::optional<std::int32_t> ReadInteger(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  bool negative = false;
  if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  const int base = TakeBase(s);
  if (s.empty()) return std::nullopt;
  // Decimal is limited to the signed range; hexadecimal to 32 bits.
  const std::uint64_t limit =
      base == 16 ? 0xFFFFFFFFull
                 : static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()) + negative;
  std::uint64_t value = 0;
  for (char c : s) {
    const int d = DigitValue(c, base);
    if (d < 0) return std::nullopt;
    value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
    if (value > limit) return std::nullopt;
  }
  const auto bits = static_cast<std::uint32_t>(negative ? 0 - value : value);
  return static_cast<std::int32_t>(bits);
}

std::int32_t MaxErrorsFromText(std::string_view text) {
  return ReadInteger(text).value_or(256);
}

std::size_t LinesToTrim(std::size_t lineCount, std::int32_t maxErrors) {
  const std::size_t keep = maxErrors < 0 ? 0 : static_cast<std::size_t>(maxErrors);
  return lineCount > keep ? lineCount - keep : 0;
}

namespace {

// Calls code(token, byte) for each 3-character code of "Send as ASC", byte empty for
// one that is skipped; returns the position after the last code read.
template <typename F>
std::size_t ForEachAsciiCode(std::string_view text, F code) {
  constexpr std::size_t kTokenLength = 3;
  constexpr std::size_t kStep = kTokenLength + 1;
  std::size_t p = 0;
  // Position p (0-based) starts a token while it is not the last character.
  for (; p + 1 < text.size(); p += kStep) {
    const std::string_view token = text.substr(p, kTokenLength);
    const auto value = ReadInteger(token);
    code(token, value && *value < 256 ? std::optional<char>(static_cast<char>(*value & 0xFF))
                                      : std::nullopt);
  }
  return p;
}

}  // namespace

std::string ParseAsciiCodes(std::string_view text) {
  std::string bytes;
  ForEachAsciiCode(text, [&](std::string_view, std::optional<char> byte) {
    if (byte) bytes.push_back(*byte);
  });
  return bytes;
}

std::string FirstSkippedAsciiCode(std::string_view text) {
  std::string skipped;
  const std::size_t end =
      ForEachAsciiCode(text, [&](std::string_view token, std::optional<char> byte) {
        if (!byte && skipped.empty()) skipped = token;
      });
  if (skipped.empty() && end < text.size()) skipped = text.substr(end);
  return skipped;
}

}  // namespace veltra::logic
