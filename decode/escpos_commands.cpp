// The commands a receipt printer is sent. Command set and parameter meanings from
// Epson's "ESC/POS Command Reference"; lengths of data-carrying commands likewise.
#include <cstdint>

#include "decode/decoder.h"
#include "decode/escpos.h"

namespace veltra::decode::escpos {
namespace {

constexpr std::uint8_t kNUL = 0x00, kEOT = 0x04, kENQ = 0x05, kHT = 0x09, kLF = 0x0A,
                       kFF = 0x0C, kCR = 0x0D, kDLE = 0x10, kDC4 = 0x14, kCAN = 0x18,
                       kESC = 0x1B, kFS = 0x1C, kGS = 0x1D;

std::uint8_t At(std::string_view s, std::size_t i) {
  return static_cast<std::uint8_t>(s[i]);
}

bool IsText(std::uint8_t b) {
  return (b >= 0x20 && b < 0x7F) || b >= 0x80;
}

// "ESC ! 56": the prefix names, the letter as itself, the parameters in decimal.
std::string Named(std::string_view s, std::size_t length) {
  std::string out = ControlName(At(s, 0));
  const std::uint8_t second = At(s, 1);
  out += ' ';
  if (second > 0x20 && second < 0x7F)
    out.push_back(static_cast<char>(second));
  else
    out += second == 0x20 ? "SP" : ControlName(second);
  for (std::size_t i = 2; i < length; ++i) out += ' ' + std::to_string(At(s, i));
  return out;
}

std::string OnOff(std::uint8_t n) {
  return n & 1 ? "on" : "off";
}

unsigned Word(std::string_view s, std::size_t at) {
  return At(s, at) | (unsigned{At(s, at + 1)} << 8);
}

// ESC a, GS H and the like take n or the digit n ('0' + n).
int Choice(std::uint8_t n) {
  return n >= '0' && n <= '9' ? n - '0' : n;
}

std::string Pick(std::uint8_t n, std::initializer_list<const char*> names) {
  const int i = Choice(n);
  if (i >= 0 && static_cast<std::size_t>(i) < names.size()) return names.begin()[i];
  return "unknown " + std::to_string(n);
}

// A command of fixed length, named once all its bytes are in; 0 until then.
std::size_t Fixed(std::string_view s, std::size_t length, const std::string& what, LineSink& out) {
  if (s.size() < length) return 0;
  out.Line(Named(s, length) + " (" + what + ")");
  return length;
}

}  // namespace

std::size_t CommandReader::Item(std::string_view s, LineSink& out) {
  const std::uint8_t b = At(s, 0);
  if (IsText(b)) {
    std::size_t n = 1;
    while (n < s.size() && IsText(At(s, n))) ++n;
    if (out.Full()) return out.Skip(), n;
    std::string line = "text " + Quoted(s.substr(0, n));
    if (n > 64) line += " (" + std::to_string(n) + " characters)";
    out.Line(std::move(line));
    return n;
  }
  switch (b) {
    case kHT: out.Line("HT (horizontal tab)"); return 1;
    case kLF: out.Line("LF (print and line feed)"); return 1;
    case kFF: out.Line("FF (print and eject, end of page)"); return 1;
    case kCR: out.Line("CR (print and carriage return)"); return 1;
    case kCAN: out.Line("CAN (cancel page data)"); return 1;
    case kDLE: return Dle(s, out);
    case kESC: return Esc(s, out);
    case kFS: return Fs(s, out);
    case kGS: return Gs(s, out);
    default: out.Unknown(b); return 1;
  }
}

// Real-time commands.
std::size_t CommandReader::Dle(std::string_view s, LineSink& out) {
  if (s.size() < 3) return 0;
  const std::uint8_t fn = At(s, 1), n = At(s, 2);
  if (fn == kEOT && n >= 1 && n <= 4) {
    static constexpr const char* kWhat[] = {"printer status", "offline cause", "error cause",
                                            "roll paper sensor"};
    talk_.Asked(static_cast<Ask>(n - 1));
    out.Line(Named(s, 3) + " (real-time request: " + kWhat[n - 1] + ")");
    return 3;
  }
  if (fn == kENQ && n >= 1 && n <= 2) {
    out.Line(Named(s, 3) + (n == 1 ? " (recover from error, go on)" : " (recover, clear buffers)"));
    return 3;
  }
  if (fn == kDC4 && n == 1) {
    if (s.size() < 5) return 0;
    out.Line(Named(s, 5) + " (real-time drawer kick, pin " + (At(s, 3) & 1 ? "5" : "2") + ", " +
             std::to_string(At(s, 4) * 100) + " ms)");
    return 5;
  }
  if (fn == kDC4 && n == 8) {
    if (s.size() < 10) return 0;
    out.Line(Named(s, 10) + " (clear buffers)");
    return 10;
  }
  out.Unknown(kDLE);
  return 1;
}

std::size_t CommandReader::Esc(std::string_view s, LineSink& out) {
  if (s.size() < 2) return 0;
  auto one = [&](std::size_t length, const std::string& what) {
    return Fixed(s, length, what, out);
  };
  const std::uint8_t n = s.size() > 2 ? At(s, 2) : 0;
  switch (At(s, 1)) {
    case kFF: return one(2, "print page data");
    case ' ': return one(3, "right-side character spacing " + std::to_string(n));
    case '!': return one(3, "print mode: " + PrintModeText(n));
    case '$': return s.size() < 4 ? 0 : one(4, "absolute position " + std::to_string(Word(s, 2)));
    case '%': return one(3, "user-defined characters " + OnOff(n));
    case '-': return one(3, "underline " + Pick(n, {"off", "1 dot", "2 dots"}));
    case '2': return one(2, "default line spacing");
    case '3': return one(3, "line spacing " + std::to_string(n));
    case '=': return one(3, std::string("peripheral: printer ") + (n & 1 ? "enabled" : "disabled"));
    case '?': return one(3, "cancel user-defined character " + std::to_string(n));
    case '@': return one(2, "initialise");
    case 'E': return one(3, "emphasised " + OnOff(n));
    case 'G': return one(3, "double-strike " + OnOff(n));
    case 'J': return one(3, "print and feed " + std::to_string(n) + " units");
    case 'L': return one(2, "page mode");
    case 'M': return one(3, "font " + Pick(n, {"A", "B", "C", "D", "E"}));
    case 'R': return one(3, "international characters: " + InternationalSetName(n));
    case 'S': return one(2, "standard mode");
    case 'T': return one(3, "page print direction " + std::to_string(Choice(n)));
    case 'U': return one(3, "unidirectional printing " + OnOff(n));
    case 'V': return one(3, "90 degree rotation " + Pick(n, {"off", "on", "on, 1.5-dot spacing"}));
    case 'W': return one(10, "page print area");
    case '\\': return s.size() < 4 ? 0 : one(4, "relative position " +
                                                 std::to_string(std::int16_t(Word(s, 2))));
    case 'a': return one(3, "align " + Pick(n, {"left", "centre", "right"}));
    case 'c': return one(4, "panel and sensor setting");
    case 'd': return one(3, "print and feed " + std::to_string(n) + " lines");
    case 'e': return one(3, "print and feed back " + std::to_string(n) + " lines");
    case 'i': return one(2, "partial cut, one point left");
    case 'm': return one(2, "partial cut, three points left");
    case 'r': return one(3, "colour " + Pick(n, {"1 (black)", "2 (red)"}));
    case 't': return one(3, "code page: " + CodePageName(n));
    case 'u':
      if (s.size() >= 3) talk_.Asked(Ask::Drawer);
      return one(3, "request: drawer status");
    case 'v':
      talk_.Asked(Ask::PaperSensor);
      return one(2, "request: paper sensor status");
    case '{': return one(3, "upside-down " + OnOff(n));
    default: return EscData(s, out);
  }
}

// ESC commands whose length depends on their parameters.
std::size_t CommandReader::EscData(std::string_view s, LineSink& out) {
  switch (At(s, 1)) {
    case 'p': {  // drawer kick: the times count in 2 ms
      if (s.size() < 5) return 0;
      out.Line(Named(s, 5) + " (drawer kick, pin " + (At(s, 2) & 1 ? "5" : "2") + ", " +
               std::to_string(At(s, 3) * 2) + "/" + std::to_string(At(s, 4) * 2) + " ms)");
      return 5;
    }
    case '*': {  // bit image: nL nH columns of 1 byte (8-dot) or 3 bytes (24-dot)
      if (s.size() < 5) return 0;
      const std::uint8_t m = At(s, 2);
      const unsigned columns = Word(s, 3);
      const unsigned bytes = columns * (m >= 32 ? 3 : 1);
      const std::string line = Named(s, 3) + " (bit image, " + (m >= 32 ? "24" : "8") +
                               "-dot, " + std::to_string(columns) + " dots wide, " +
                               std::to_string(bytes) + " bytes)";
      if (bytes) SkipData(bytes, line); else out.Line(line);
      return 5;
    }
    case 'D': return TabPositions(s, out);
    case '&': return UserCharacters(s, out);
    case '(': return Parenthesised(s, out);
    default:
      out.Unknown(kESC);
      return 1;
  }
}

std::size_t CommandReader::TabPositions(std::string_view s, LineSink& out) {
  constexpr std::size_t kMaxTabs = 32;
  for (std::size_t i = 2; i < s.size() && i <= 2 + kMaxTabs; ++i) {
    if (At(s, i) != kNUL) continue;
    std::string line = "ESC D (tab positions";
    for (std::size_t j = 2; j < i; ++j) line += ' ' + std::to_string(At(s, j));
    out.Line(line + ")");
    return i + 1;
  }
  if (s.size() <= 3 + kMaxTabs) return 0;
  out.Unknown(kESC);  // no NUL where it must be: not this command
  return 1;
}

// ESC & y c1 c2, then per character its width x and y*x bytes.
std::size_t CommandReader::UserCharacters(std::string_view s, LineSink& out) {
  if (s.size() < 5) return 0;
  const unsigned y = At(s, 2), first = At(s, 3), last = At(s, 4);
  if (y == 0 || y > 3 || first < 0x20 || last > 0x7E || first > last) {
    out.Unknown(kESC);
    return 1;
  }
  std::size_t at = 5;
  for (unsigned c = first; c <= last; ++c) {
    if (at >= s.size()) return 0;
    if (At(s, at) > 12) {  // wider than any font's cell: not this command
      out.Unknown(kESC);
      return 1;
    }
    at += 1 + std::size_t{y} * At(s, at);
  }
  if (at > s.size()) return 0;
  out.Line("ESC & " + std::to_string(y) + " " + std::to_string(first) + " " +
           std::to_string(last) + " (define user characters, " + std::to_string(at) + " bytes)");
  return at;
}

// ESC ( X, GS ( X, FS ( X: pL pH, then that many bytes.
std::size_t CommandReader::Parenthesised(std::string_view s, LineSink& out) {
  if (s.size() < 5) return 0;
  const unsigned length = Word(s, 3);
  std::string line = Named(s.substr(1), 2) + " (";
  line.replace(0, 0, ControlName(At(s, 0)) + " ");
  if (At(s, 0) == kGS && At(s, 2) == 'k' && length >= 2) {
    if (s.size() < 7) return 0;
    static constexpr const char* kSymbols[] = {"PDF417", "QR Code", "MaxiCode", "GS1 DataBar",
                                               "composite"};
    const unsigned cn = At(s, 5), fn = At(s, 6);
    line += cn >= 48 && cn <= 52 ? kSymbols[cn - 48] : "2D symbol " + std::to_string(cn);
    line += fn == 80   ? ": store " + std::to_string(length - 3) + " bytes of data)"
            : fn == 81 ? ": print)"
                       : ": function " + std::to_string(fn) + ")";
    if (length > 2) SkipData(length - 2, line); else out.Line(line);
    return 7;
  }
  line += At(s, 0) == kGS && At(s, 2) == 'L' ? "graphics, " : "function, ";
  line += std::to_string(length) + " bytes)";
  if (length) SkipData(length, line); else out.Line(line);
  return 5;
}

std::size_t CommandReader::Fs(std::string_view s, LineSink& out) {
  if (s.size() < 2) return 0;
  auto one = [&](std::size_t length, const std::string& what) {
    return Fixed(s, length, what, out);
  };
  const std::uint8_t n = s.size() > 2 ? At(s, 2) : 0;
  switch (At(s, 1)) {
    case 'p': return one(4, "print stored image " + std::to_string(n));
    case '!': return one(3, "kanji print mode");
    case '&': return one(2, "kanji mode on");
    case '.': return one(2, "kanji mode off");
    case '-': return one(3, "kanji underline " + OnOff(n));
    case 'C': return one(3, "kanji code system");
    case '(': return Parenthesised(s, out);
    default: out.Unknown(kFS); return 1;
  }
}

}  // namespace veltra::decode::escpos
