// Hex bytes as an operator types them: "02 30 31 03", "02303103", "02:30-31,03".
#pragma once

#include <string>
#include <string_view>

namespace veltra::session {

// Bytes with a mask per byte: a set mask bit is compared, a clear one matches any
// value ("0?" keeps the high nibble, "??" any byte).
struct THexPattern {
  std::string Bytes;
  std::string Masks;
};

// Hex digits in pairs, runs separated by blanks, tabs, ',', ':' or '-'. With
// `wildcards`, '?' stands for any nibble. Throws EConvertError (char_code.h) with
// "'x' is not a hex digit or a separator" or "'abc' has an odd number of digits".
THexPattern ParseHexPattern(std::string_view text, bool wildcards);
// ParseHexPattern without wildcards: the bytes alone.
std::string ParseHexBytes(std::string_view text);

}  // namespace veltra::session
