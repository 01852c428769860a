// The ER-650's link frames as the register and its test tools use them: DLE STX, the
// payload with every DLE doubled, DLE ETX, then a check byte, the one's complement
// of the 8-bit sum of every byte before it. The register answers a good frame with
// ACK and a bad one with NAK.
#include "decode/er650.h"

namespace veltra::decode::er650 {
namespace {

constexpr std::uint8_t kSTX = 0x02, kETX = 0x03, kACK = 0x06, kLF = 0x0A, kCR = 0x0D,
                       kDLE = 0x10, kNAK = 0x15;
constexpr std::size_t kMaxFrame = 4000;

std::uint8_t At(std::string_view s, std::size_t i) {
  return static_cast<std::uint8_t>(s[i]);
}

bool Printable(std::uint8_t b) {
  return b >= 0x20 && b < 0x7F;
}

// Runs of 3 or more printable bytes in quotes, other bytes in hex.
std::string PayloadText(std::string_view p) {
  constexpr std::size_t kShown = 48;
  std::string out;
  std::size_t i = 0;
  while (i < p.size() && i < kShown) {
    std::size_t run = i;
    while (run < p.size() && Printable(At(p, run))) ++run;
    if (!out.empty()) out.push_back(' ');
    if (run - i >= 3) {
      out += Quoted(p.substr(i, run - i));
      i = run;
    } else {
      AppendHex(out, At(p, i++));
    }
  }
  if (i < p.size()) out += " ...";
  return out;
}

std::string Hex(std::uint8_t b) {
  std::string out;
  AppendHex(out, b);
  return out;
}

}  // namespace

std::uint8_t CheckByte(std::string_view frame) {
  std::uint8_t sum = 0;
  for (char c : frame) sum = static_cast<std::uint8_t>(sum + static_cast<std::uint8_t>(c));
  return static_cast<std::uint8_t>(~sum);
}

std::size_t Reader::Item(std::string_view s, LineSink& out) {
  switch (At(s, 0)) {
    case kACK: out.Line("ACK (accepted)"); return 1;
    case kNAK: out.Line("NAK (refused)"); return 1;
    case kCR: out.Line("CR"); return 1;
    case kLF: out.Line("LF"); return 1;
    case kDLE:
      if (s.size() < 2) return 0;
      if (At(s, 1) == kSTX) return Frame(s, out);
      [[fallthrough]];
    default: out.Unknown(At(s, 0)); return 1;
  }
}

std::size_t Reader::Frame(std::string_view s, LineSink& out) {
  std::string payload;
  for (std::size_t i = 2; i < s.size() && i < kMaxFrame; ++i) {
    if (At(s, i) != kDLE) {
      payload.push_back(s[i]);
      continue;
    }
    if (i + 1 >= s.size()) return 0;
    const std::uint8_t next = At(s, i + 1);
    if (next == kDLE) {
      payload.push_back(s[i++]);
    } else if (next == kETX) {
      if (i + 2 >= s.size()) return 0;
      const std::uint8_t want = CheckByte(s.substr(0, i + 2)), got = At(s, i + 2);
      std::string line = "frame, " + std::to_string(payload.size()) + " bytes" +
                         (payload.empty() ? "" : ": " + PayloadText(payload)) + ", check " +
                         Hex(got);
      line += got == want ? " right" : " wrong (should be " + Hex(want) + ")";
      out.Line(std::move(line));
      return i + 3;
    } else {
      const bool restart = next == kSTX;
      out.Line("frame broken off after " + std::to_string(payload.size()) + " bytes by DLE " +
               ControlName(next) + ": " + PayloadText(payload));
      return restart ? i : i + 2;
    }
  }
  if (s.size() < kMaxFrame) return 0;
  out.Unknown(kDLE);  // too long for a frame
  return 1;
}

}  // namespace veltra::decode::er650
