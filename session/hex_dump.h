// The traffic pane's dump of a received block: lines of 8 bytes, each a 24-character
// hex column, " : " and an 8-character text column.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace veltra::session {

inline constexpr std::size_t kDumpBytesPerLine = 8;
inline constexpr std::size_t kDumpLineLength = 24 + 3 + 8;

// Appends the dump lines of `block` to `out`, each ended by `lineEnd`. An empty block
// appends nothing. Bytes 0x80-0xFF stay single bytes in the text column.
void AppendDumpLines(std::string_view block, std::string& out, char lineEnd = '\n');

// The dump lines of `block` joined by '\n', without a final line end.
std::string DumpText(std::string_view block);

// The bytes a dump line shows, written to `bytes`; returns their number, or 0 when
// `line` (without its line end) is not exactly what the dump of those bytes gives.
std::size_t DumpLineBytes(std::string_view line, char (&bytes)[kDumpBytesPerLine]);

// Number of characters AppendDumpLines adds for a block of `size` bytes.
constexpr std::size_t DumpSize(std::size_t size) {
  return (size + kDumpBytesPerLine - 1) / kDumpBytesPerLine * (kDumpLineLength + 1);
}

}  // namespace veltra::session
