// The byte forms a script writes (hex, three-digit codes, one character code) and
// the hex patterns expect looks for. Every reader throws TPatternError with a text
// that says what is wrong.
#pragma once

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace veltra::script {

class TPatternError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// "02 30 31 03", "02303103", "02:30-31,03".
std::string ReadHex(std::string_view text);
// "Send as ASC": three-digit codes, each followed by one separator ("004 005").
std::string ReadAsciiCodes(std::string_view text);
// One character code as the settings page takes it: "A", "0x1B", "$1B", "27".
std::string ReadCharCode(std::string_view text);

// A hex pattern: bytes and "??" for any one byte ("06 ?? 03").
struct THexPattern {
  std::vector<int> Bytes;  // -1: any byte
};
THexPattern ReadHexPattern(std::string_view text);

struct TFound {
  std::size_t Begin = 0, End = 0;
};
std::optional<TFound> FindText(std::string_view haystack, std::string_view text);
std::optional<TFound> FindHex(std::string_view haystack, const THexPattern& pattern);

}  // namespace veltra::script
