// The one reader of integer texts: stored settings and the window's edits follow
// the same rules, so a value typed and a value loaded never disagree.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace veltra::engine {

// The prefixes that mark hexadecimal digits, combined with |.
enum HexPrefix : unsigned {
  kHexDollar = 1,  // "$1F"
  kHexZeroX = 2,   // "0x1F", "0X1F"
  kHexX = 4,       // "x1F", "X1F"
};

// Leading blanks, one optional sign, an allowed hex prefix or none, then at least
// one digit and nothing after it. The value must fit a signed 32-bit integer in
// either base ("$FFFFFFFF" does not); anything else gives nothing.
std::optional<std::int32_t> ParseInt32(std::string_view text, unsigned hexPrefixes);

}  // namespace veltra::engine
