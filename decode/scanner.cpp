// Scanner letters from PSC's Magellan RS-232 interface description; label kinds and
// the check digit from the GS1 General Specifications (EAN-13, EAN-8, UPC-A, and
// the check digit calculation for GTINs).
#include <algorithm>
#include <utility>

#include "decode/decoder.h"
#include "decode/scanner.h"

namespace veltra::decode::scanner {
namespace {

constexpr std::uint8_t kACK = 0x06, kBEL = 0x07, kLF = 0x0A, kCR = 0x0D, kNAK = 0x15;
constexpr std::size_t kMaxLabel = 64;

std::uint8_t At(std::string_view s, std::size_t i) {
  return static_cast<std::uint8_t>(s[i]);
}

bool Digits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::string LabelText(std::string_view label) {
  // A Magellan may put its label identifier first: A for UPC-A, F for EAN-13, FF for EAN-8.
  std::string_view digits = label;
  if (label.size() == 13 && label[0] == 'A') digits.remove_prefix(1);
  if (label.size() == 14 && label[0] == 'F') digits.remove_prefix(1);
  if (label.size() == 10 && label.starts_with("FF")) digits.remove_prefix(2);
  const char* kind = digits.size() == 13 ? "EAN-13" : digits.size() == 12 ? "UPC-A"
                     : digits.size() == 8 ? "EAN-8" : nullptr;
  if (!kind || !Digits(digits))
    return "label " + Quoted(label) + " (" + std::to_string(label.size()) +
           " characters, not EAN or UPC)";
  const int want = Gs1CheckDigit(digits), got = digits.back() - '0';
  std::string out = std::string(kind) + " " + std::string(label) + ", check digit " +
                    std::to_string(got);
  if (got == want) return out + " right";
  return out + " wrong (should be " + std::to_string(want) + ")";
}

std::size_t CommandReader::Item(std::string_view s, LineSink& out) {
  switch (At(s, 0)) {
    case 'E': out.Line("E (enable)"); return 1;
    case 'D': out.Line("D (disable)"); return 1;
    case 'F': out.Line("F (not-on-file beep)"); return 1;
    case kCR: out.Line("CR"); return 1;
    case kLF: out.Line("LF"); return 1;
    default: out.Unknown(At(s, 0)); return 1;
  }
}

std::size_t LabelReader::Item(std::string_view s, LineSink& out) {
  const bool crEnded = std::exchange(crEnded_, false);
  if (crEnded && At(s, 0) == kLF) return 1;  // the rest of the label's CR LF
  switch (At(s, 0)) {
    case kACK: out.Line("ACK (accepted)"); return 1;
    case kNAK: out.Line("NAK (refused)"); return 1;
    case kBEL: out.Line("BEL"); return 1;
    case kCR: out.Line("CR (empty label)"); return 1;
    case kLF: out.Line("LF"); return 1;
    default: break;
  }
  std::size_t n = 0;
  while (n < s.size() && n <= kMaxLabel && At(s, n) >= 0x20 && At(s, n) < 0x7F) ++n;
  if (n == s.size() && n <= kMaxLabel) return 0;  // the label's end is still to come
  if (n > kMaxLabel || (At(s, n) != kCR && At(s, n) != kLF)) {
    out.Unknown(At(s, 0));
    return 1;
  }
  out.Line(LabelText(s.substr(0, n)));
  crEnded_ = At(s, n) == kCR;
  return n + 1;
}

}  // namespace veltra::decode::scanner
