#include "engine/integer_text.h"

#include <cstdint>

namespace veltra::engine {
namespace {

int DigitValue(char c, int base) {
  int v = -1;
  if (c >= '0' && c <= '9') v = c - '0';
  if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
  if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
  return v < base ? v : -1;
}

// Strips an allowed hexadecimal prefix; returns the base of the digits that follow.
int TakeBase(std::string_view& s, unsigned prefixes) {
  if ((prefixes & kHexDollar) && s.starts_with('$')) {
    s.remove_prefix(1);
    return 16;
  }
  if ((prefixes & kHexZeroX) && (s.starts_with("0x") || s.starts_with("0X"))) {
    s.remove_prefix(2);
    return 16;
  }
  if ((prefixes & kHexX) && (s.starts_with('x') || s.starts_with('X'))) {
    s.remove_prefix(1);
    return 16;
  }
  return 10;
}

}  // namespace

std::optional<std::int32_t> ParseInt32(std::string_view s, unsigned hexPrefixes) {
  while (s.starts_with(' ')) s.remove_prefix(1);
  bool negative = false;
  if (s.starts_with('-') || s.starts_with('+')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  const int base = TakeBase(s, hexPrefixes);
  if (s.empty()) return std::nullopt;
  // The magnitude may reach 2^31 only with a minus sign; checked per digit, so it
  // never grows past 2^35.
  const std::uint64_t limit = (std::uint64_t{1} << 31) - (negative ? 0 : 1);
  std::uint64_t magnitude = 0;
  for (char c : s) {
    const int d = DigitValue(c, base);
    if (d < 0) return std::nullopt;
    magnitude = magnitude * static_cast<unsigned>(base) + static_cast<unsigned>(d);
    if (magnitude > limit) return std::nullopt;
  }
  const auto value = static_cast<std::int64_t>(magnitude);
  return static_cast<std::int32_t>(negative ? -value : value);
}

}  // namespace veltra::engine
