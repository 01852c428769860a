// Integers typed by the operator: the MaxErrors edit and the "Send as ASC" codes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace veltra::session {

// Reads `text` as a 32-bit integer: leading spaces, an optional sign, then decimal
// digits or hexadecimal digits after "$", "x", "X", "0x" or "0X". Anything else,
// trailing spaces included, or a value out of the signed 32-bit range (in either
// base, as StrToInt) gives nothing.
std::optional<std::int32_t> ReadInteger(std::string_view text);

// MaxErrors: a text that is not an integer counts as 256.
std::int32_t MaxErrorsFromText(std::string_view text);

// How many of the oldest lines go before a report is added to a pane holding
// `lineCount` lines. A negative limit empties the pane and no more.
std::size_t LinesToTrim(std::size_t lineCount, std::int32_t maxErrors);

// "Send as ASC": 3-character codes, each followed by one separator character of any
// kind. Valid codes below 256 give one byte each (their low 8 bits); others are
// skipped. A code starting on the text's last character is not read.
std::string ParseAsciiCodes(std::string_view text);
// The first code ParseAsciiCodes skips (not a number, 256 or more, or a character
// left alone at the end); empty when it reads every code.
std::string FirstSkippedAsciiCode(std::string_view text);

}  // namespace veltra::session
