// The text form of one-byte settings ("0x11", "A") and the integer text reader of
// the settings panel. Texts are byte strings (Latin-1).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace veltra::session {

// A text that is not an integer, or a number outside the range it is meant for.
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// "%d is not within the valid range of %d..%d"
std::string RangeErrorText(std::int64_t Value, std::int64_t Min, std::int64_t Max);

// Reads a signed 32-bit integer: leading blanks, an optional sign, then decimal
// digits or hexadecimal digits after "$" (engine::ParseInt32). Throws EConvertError
// otherwise.
std::int32_t StrToInt(const std::string& Text);
// StrToInt, then checks Min..Max (range error text on failure).
std::int64_t StrToIntInRange(const std::string& Text, std::int64_t Min, std::int64_t Max);

// Codes below 32, 127 and 255 as "0x" and two upper-case hex digits; others as the
// character itself.
std::string CharCodeToText(std::uint8_t Code);
// Empty text: Previous. One character: its code ("5" gives 53). "0x…": hexadecimal.
// Otherwise StrToInt. Throws EConvertError, the range error outside 0..255.
std::uint8_t TextToCharCode(const std::string& Text, std::uint8_t Previous);

}  // namespace veltra::session
