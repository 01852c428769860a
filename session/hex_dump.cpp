#include "session/hex_dump.h"

#include <array>
#include <cstring>

namespace veltra::session {
namespace {

struct DumpTables {
  // " XY" plus a spare byte, so each cell is copied as one 4-byte word.
  std::array<std::array<char, 4>, 256> hex{};
  std::array<char, 256> text{};
};

constexpr DumpTables MakeTables() {
  constexpr char kDigits[] = "0123456789ABCDEF";
  DumpTables t;
  for (int b = 0; b < 256; ++b) {
    t.hex[b] = {' ', kDigits[b >> 4], kDigits[b & 15], ' '};
    t.text[b] = (b < 0x20 || b == 0x7F) ? '.' : static_cast<char>(b);
  }
  return t;
}

constexpr DumpTables kTables = MakeTables();

// Writes one line of `n` (1..8) bytes at `dst`; returns the position after it.
char* WriteLine(const unsigned char* src, std::size_t n, char* dst, char lineEnd) {
  char* hex = dst;
  for (std::size_t i = 0; i < n; ++i, hex += 3) std::memcpy(hex, kTables.hex[src[i]].data(), 4);
  std::memset(hex, ' ', (kDumpBytesPerLine - n) * 3);
  char* text = dst + 24;
  std::memcpy(text, " : ", 3);
  text += 3;
  for (std::size_t i = 0; i < n; ++i) text[i] = kTables.text[src[i]];
  std::memset(text + n, ' ', kDumpBytesPerLine - n);
  text[kDumpBytesPerLine] = lineEnd;
  return text + kDumpBytesPerLine + 1;
}

}  // namespace

void AppendDumpLines(std::string_view block, std::string& out, char lineEnd) {
  if (block.empty()) return;
  const std::size_t start = out.size();
  out.resize(start + DumpSize(block.size()));
  const auto* src = reinterpret_cast<const unsigned char*>(block.data());
  char* dst = out.data() + start;
  std::size_t left = block.size();
  for (; left >= kDumpBytesPerLine; left -= kDumpBytesPerLine, src += kDumpBytesPerLine)
    dst = WriteLine(src, kDumpBytesPerLine, dst, lineEnd);
  if (left > 0) WriteLine(src, left, dst, lineEnd);
}

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::size_t DumpLineBytes(std::string_view line, char (&bytes)[kDumpBytesPerLine]) {
  if (line.size() != kDumpLineLength) return 0;
  std::size_t n = 0;
  for (; n < kDumpBytesPerLine; ++n) {
    const int high = HexDigit(line[3 * n + 1]), low = HexDigit(line[3 * n + 2]);
    if (line[3 * n] != ' ' || high < 0 || low < 0) break;
    bytes[n] = static_cast<char>(high << 4 | low);
  }
  if (n == 0) return 0;
  // Everything else (padding, separator, text column) must be as the dump writes it.
  char again[kDumpLineLength + 1];
  WriteLine(reinterpret_cast<const unsigned char*>(bytes), n, again, '\n');
  return std::memcmp(again, line.data(), kDumpLineLength) == 0 ? n : 0;
}

std::string DumpText(std::string_view block) {
  std::string text;
  AppendDumpLines(block, text);
  if (!text.empty()) text.pop_back();
  return text;
}

}  // namespace veltra::session
