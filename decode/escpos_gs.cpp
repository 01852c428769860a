// GS commands of ESC/POS: sizes, cuts, barcodes, images, status. From Epson's
// "ESC/POS Command Reference".
#include <cstdint>

#include "decode/decoder.h"
#include "decode/escpos.h"

namespace veltra::decode::escpos {
namespace {

constexpr std::uint8_t kNUL = 0x00, kGS = 0x1D;

std::uint8_t At(std::string_view s, std::size_t i) {
  return static_cast<std::uint8_t>(s[i]);
}

std::string Params(std::string_view s, std::size_t from, std::size_t to) {
  std::string out;
  for (std::size_t i = from; i < to; ++i) out += ' ' + std::to_string(At(s, i));
  return out;
}

unsigned Word(std::string_view s, std::size_t at) {
  return At(s, at) | (unsigned{At(s, at + 1)} << 8);
}

int Choice(std::uint8_t n) {
  return n >= '0' && n <= '9' ? n - '0' : n;
}

std::string Cut(std::string_view s, std::size_t length) {
  const std::uint8_t m = At(s, 2);
  const bool partial = m == 1 || m == '1' || m == 66 || m == 98 || m == 104;
  std::string what = partial ? "partial cut" : "full cut";
  if (length == 4) what = (m >= 103 ? "reserve " : "feed " + std::to_string(At(s, 3)) + ", ") + what;
  return "GS V" + Params(s, 2, length) + " (" + what + ")";
}

// The data of a barcode of EAN/UPC kind, its check digit checked when it is there.
std::string BarcodeData(std::uint8_t m, std::string_view data) {
  std::string out = Quoted(data);
  const int system = m >= 65 ? m - 65 : m;
  const std::size_t full = system == 0 ? 12 : system == 2 ? 13 : system == 3 ? 8 : 0;
  if (!full || data.size() != full) return out;
  const int want = Gs1CheckDigit(data);
  if (want < 0) return out;
  const int got = data.back() - '0';
  if (got == want) return out + ", check digit " + std::to_string(got) + " right";
  return out + ", check digit " + std::to_string(got) + " wrong (should be " +
         std::to_string(want) + ")";
}

}  // namespace

std::size_t CommandReader::Gs(std::string_view s, LineSink& out) {
  if (s.size() < 2) return 0;
  auto one = [&](std::size_t length, const std::string& what) -> std::size_t {
    if (s.size() < length) return 0;
    std::string line = "GS ";
    line.push_back(static_cast<char>(At(s, 1)));
    out.Line(line + Params(s, 2, length) + " (" + what + ")");
    return length;
  };
  const std::uint8_t n = s.size() > 2 ? At(s, 2) : 0;
  switch (At(s, 1)) {
    case '!':
      return one(3, "character size " + std::to_string((n >> 4) + 1) + "x" +
                        std::to_string((n & 15) + 1));
    case '$': return one(4, "page vertical position");
    case '/': return one(3, "print downloaded image");
    case ':': return one(2, "macro start/end");
    case 'B': return one(3, std::string("reverse printing ") + (n & 1 ? "on" : "off"));
    case 'H': return one(3, "barcode text position " + std::to_string(Choice(n)));
    case 'L': return one(4, "left margin");
    case 'P': return one(4, "motion units");
    case 'W': return one(4, "print area width");
    case '\\': return one(4, "page relative vertical position");
    case '^': return one(5, "run macro");
    case 'b': return one(3, std::string("smoothing ") + (n & 1 ? "on" : "off"));
    case 'f': return one(3, "barcode text font " + std::to_string(Choice(n)));
    case 'h': return one(3, "barcode height " + std::to_string(n) + " dots");
    case 'w': return one(3, "barcode module width " + std::to_string(n));
    case 'a':
      return one(3, n ? "automatic status on" : "automatic status off");
    case 'r': {
      const int what = Choice(n);
      if (s.size() >= 3 && what >= 1 && what <= 4 && what != 3)
        talk_.Asked(what == 1 ? Ask::PaperSensor : what == 2 ? Ask::Drawer : Ask::Ink);
      return one(3, "request: " + std::string(what == 1   ? "paper sensor status"
                                              : what == 2 ? "drawer status"
                                              : what == 4 ? "ink status"
                                                          : "status"));
    }
    case 'I':
      if (s.size() >= 3) talk_.Asked(n >= 64 ? Ask::IdBlock : Ask::IdByte);
      return one(3, "request: printer ID " + std::to_string(n));
    default: return GsData(s, out);
  }
}

std::size_t CommandReader::GsData(std::string_view s, LineSink& out) {
  switch (At(s, 1)) {
    case 'V': {
      if (s.size() < 3) return 0;
      const std::uint8_t m = At(s, 2);
      const std::size_t length = (m == 65 || m == 66 || m == 97 || m == 98 || m == 103 || m == 104) ? 4 : 3;
      if (length == 3 && m != 0 && m != 1 && m != '0' && m != '1') break;
      if (s.size() < length) return 0;
      out.Line(Cut(s, length));
      return length;
    }
    case 'k': return Barcode(s, out);
    case 'v': {  // GS v 0 m xL xH yL yH: x bytes a row, y rows
      if (s.size() < 8) return 0;
      if (At(s, 2) != '0') break;
      const unsigned x = Word(s, 4), y = Word(s, 6);
      const std::string line = "GS v 0" + Params(s, 3, 4) + " (raster image " +
                               std::to_string(x * 8) + " x " + std::to_string(y) + " dots, " +
                               std::to_string(x * y) + " bytes)";
      if (x && y) SkipData(std::uint64_t{x} * y, line); else out.Line(line);
      return 8;
    }
    case '*': {  // GS * x y: x*8 dots wide, y*8 high
      if (s.size() < 4) return 0;
      const unsigned x = At(s, 2), y = At(s, 3);
      const std::string line = "GS *" + Params(s, 2, 4) + " (define downloaded image " +
                               std::to_string(x * 8) + " x " + std::to_string(y * 8) + " dots)";
      if (x && y) SkipData(x * y * 8u, line); else out.Line(line);
      return 4;
    }
    case '8': {  // GS 8 L p1 p2 p3 p4: graphics with a four-byte length
      if (s.size() < 7) return 0;
      if (At(s, 2) != 'L') break;
      const std::uint64_t length = Word(s, 3) | (std::uint64_t{Word(s, 5)} << 16);
      const std::string line = "GS 8 L (graphics, " + std::to_string(length) + " bytes)";
      if (length) SkipData(length, line); else out.Line(line);
      return 7;
    }
    case '(': return Parenthesised(s, out);
    default: break;
  }
  out.Unknown(kGS);
  return 1;
}

// GS k m d1..dk NUL (m 0-6) or GS k m n d1..dn (m 65 and up).
std::size_t CommandReader::Barcode(std::string_view s, LineSink& out) {
  if (s.size() < 4) return 0;
  const std::uint8_t m = At(s, 2);
  std::string_view data;
  std::size_t length = 0;
  if (m <= 6) {
    const std::size_t end = s.substr(0, 3 + 256).find(static_cast<char>(kNUL), 3);
    if (end == std::string_view::npos) {
      if (s.size() < 3 + 256) return 0;
      out.Unknown(kGS);  // no NUL within any barcode's length
      return 1;
    }
    data = s.substr(3, end - 3);
    length = end + 1;
  } else if (m >= 65 && m <= 79) {
    length = 4 + std::size_t{At(s, 3)};
    if (s.size() < length) return 0;
    data = s.substr(4, length - 4);
  } else {
    out.Unknown(kGS);
    return 1;
  }
  out.Line("GS k " + std::to_string(m) + " (barcode " + BarcodeSystemName(m) + " " +
           BarcodeData(m, data) + ")");
  return length;
}

}  // namespace veltra::decode::escpos
