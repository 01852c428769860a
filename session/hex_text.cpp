#include "session/hex_text.h"

#include "session/char_code.h"

namespace veltra::session {

namespace {

int NibbleValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsSeparator(char c) {
  return c == ' ' || c == ',' || c == ':' || c == '-' || c == '\t';
}

void AppendRun(const std::string& digits, THexPattern& out) {
  if (digits.size() % 2 != 0) throw EConvertError("'" + digits + "' has an odd number of digits");
  for (std::size_t d = 0; d < digits.size(); d += 2) {
    int value = 0, mask = 0;
    for (const char c : {digits[d], digits[d + 1]}) {
      const int nibble = NibbleValue(c);
      value = value << 4 | (nibble < 0 ? 0 : nibble);
      mask = mask << 4 | (nibble < 0 ? 0 : 0xF);
    }
    out.Bytes.push_back(static_cast<char>(value));
    out.Masks.push_back(static_cast<char>(mask));
  }
}

}  // namespace

THexPattern ParseHexPattern(std::string_view text, bool wildcards) {
  THexPattern out;
  std::string digits;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    const char c = i < text.size() ? text[i] : ' ';
    if (NibbleValue(c) >= 0 || (wildcards && c == '?')) {
      digits.push_back(c);
      continue;
    }
    if (!IsSeparator(c))
      throw EConvertError("'" + std::string(1, c) + "' is not a hex digit or a separator");
    AppendRun(digits, out);
    digits.clear();
  }
  return out;
}

std::string ParseHexBytes(std::string_view text) {
  return ParseHexPattern(text, false).Bytes;
}

}  // namespace veltra::session
