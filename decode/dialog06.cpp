// Dialog 06, the record protocol between a cash register and a retail scale. Records
// and field widths from the scale makers' descriptions of Dialog 06 (as printed in
// the manuals of Dibal's DPOS400 and Cely's PI100 scales): the register sends
// EOT STX "01" ESC price(6) ESC ETX and its kin (03 with tare, 04 with text, 05 with
// both, 08 asks for the status) and EOT ENQ for the weight; the scale answers ACK or
// NAK, STX "02" ESC status ESC weight(5) ESC price(6) ESC amount(6) ETX, and
// STX "09" ESC status(2) ETX.
#include <algorithm>
#include <array>
#include <vector>

#include "decode/dialog06.h"

namespace veltra::decode::dialog06 {
namespace {

constexpr char kSTX = 0x02, kETX = 0x03, kEOT = 0x04, kENQ = 0x05, kACK = 0x06, kLF = 0x0A,
               kCR = 0x0D, kNAK = 0x15, kESC = 0x1B;
constexpr std::size_t kMaxRecord = 128;

struct Field {
  const char* name;
  std::size_t width;  // 0: any
  bool digits;
};

struct Shape {
  const char* number;
  const char* what;
  std::vector<Field> fields;
};

const std::array<Shape, 7>& Shapes() {
  static const std::array<Shape, 7> kShapes{{
      {"01", "unit price", {{"unit price", 6, true}}},
      {"02", "weight", {{"status", 1, false}, {"weight", 5, false}, {"unit price", 6, true},
                        {"to pay", 6, true}}},
      {"03", "unit price and tare", {{"unit price", 6, true}, {"tare", 4, true}}},
      {"04", "unit price and text", {{"unit price", 6, true}, {"text", 0, false}}},
      {"05", "unit price, tare and text",
       {{"unit price", 6, true}, {"tare", 4, true}, {"text", 0, false}}},
      {"08", "status request", {}},
      {"09", "status", {{"status", 2, false}}},
  }};
  return kShapes;
}

std::vector<std::string_view> Split(std::string_view body) {
  std::vector<std::string_view> parts;
  for (std::size_t at = 0;;) {
    const std::size_t esc = body.find(kESC, at);
    parts.push_back(body.substr(at, esc == std::string_view::npos ? esc : esc - at));
    if (esc == std::string_view::npos) return parts;
    at = esc + 1;
  }
}

bool FieldFits(const Field& f, std::string_view v) {
  if (f.width && v.size() != f.width) return false;
  return !f.digits || std::all_of(v.begin(), v.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "record 01: unit price 000220", or what is wrong with it.
std::string RecordText(std::string_view body) {
  std::vector<std::string_view> parts = Split(body);
  if (parts.size() > 1 && parts.back().empty()) parts.pop_back();  // ESC before ETX
  for (const Shape& shape : Shapes()) {
    if (parts[0] != shape.number) continue;
    std::string out = std::string("record ") + shape.number + " (" + shape.what + ")";
    bool fits = parts.size() == shape.fields.size() + 1;
    for (std::size_t i = 0; fits && i < shape.fields.size(); ++i)
      fits = FieldFits(shape.fields[i], parts[i + 1]);
    if (!fits) return out + ", fields not as they should be: " + Quoted(body);
    for (std::size_t i = 0; i < shape.fields.size(); ++i)
      out += std::string(i ? ", " : ": ") + shape.fields[i].name + " " + Quoted(parts[i + 1]);
    return out;
  }
  return "record of unknown kind: " + Quoted(body);
}

}  // namespace

std::size_t Reader::Item(std::string_view s, LineSink& out) {
  switch (s[0]) {
    case kACK: out.Line("ACK (accepted)"); return 1;
    case kNAK: out.Line("NAK (refused, or no stable weight)"); return 1;
    case kCR: out.Line("CR"); return 1;
    case kLF: out.Line("LF"); return 1;
    case kSTX: return Record(s, 0, out);
    case kEOT:
      if (s.size() < 2) return 0;
      if (s[1] == kENQ) {
        out.Line("EOT ENQ (weight request)");
        return 2;
      }
      if (s[1] == kSTX) return Record(s, 1, out);
      out.Line("EOT");
      return 1;
    default: out.Unknown(static_cast<std::uint8_t>(s[0])); return 1;
  }
}

// STX at `start`, the record's fields, ETX.
std::size_t Reader::Record(std::string_view s, std::size_t start, LineSink& out) {
  const std::string_view lead = start ? "EOT STX " : "STX ";
  const std::size_t end = s.substr(0, start + kMaxRecord).find_first_of("\x02\x03\x04", start + 1);
  if (end == std::string_view::npos) {
    if (s.size() < start + kMaxRecord) return 0;
    out.Unknown(static_cast<std::uint8_t>(s[0]));  // too long for a record
    return 1;
  }
  const std::string_view body = s.substr(start + 1, end - start - 1);
  if (s[end] != kETX) {  // a new message before this one ended
    out.Line(std::string(lead) + "record broken off: " + Quoted(body));
    return end;
  }
  out.Line(std::string(lead) + RecordText(body) + " ETX");
  return end + 1;
}

}  // namespace veltra::decode::dialog06
