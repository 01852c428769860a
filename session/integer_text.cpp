#include "session/integer_text.h"

#include "engine/integer_text.h"

namespace veltra::session {

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

}  // namespace veltra::session
