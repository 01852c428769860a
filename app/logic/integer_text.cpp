#include "app/logic/integer_text.h"

#include "engine/integer_text.h"

namespace veltra::logic {

std::optional<std::int32_t> ReadInteger(std::string_view s) {
  return engine::ParseInt32(s, engine::kHexDollar | engine::kHexZeroX | engine::kHexX);
}

std::int32_t MaxErrorsFromText(std::string_view text) {
  return ReadInteger(text).value_or(256);
}

std::size_t LinesToTrim(std::size_t lineCount, std::int32_t maxErrors) {
  const std::size_t keep = maxErrors < 0 ? 0 : static_cast<std::size_t>(maxErrors);
  return lineCount > keep ? lineCount - keep : 0;
}

std::string ParseAsciiCodes(std::string_view text) {
  std::string bytes;
  constexpr std::size_t kTokenLength = 3;
  constexpr std::size_t kStep = kTokenLength + 1;
  // Position p (0-based) starts a token while it is not the last character.
  for (std::size_t p = 0; p + 1 < text.size(); p += kStep) {
    const auto value = ReadInteger(text.substr(p, kTokenLength));
    if (value && *value < 256) bytes.push_back(static_cast<char>(*value & 0xFF));
  }
  return bytes;
}

}  // namespace veltra::logic
