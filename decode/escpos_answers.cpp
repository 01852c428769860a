// What a receipt printer sends back: answers to the status requests it was sent, in
// the order it was asked, and the automatic status GS a turns on. Bit layouts from
// Epson's "ESC/POS Command Reference".
#include "decode/escpos.h"

namespace veltra::decode::escpos {
namespace {

constexpr std::uint8_t kNUL = 0x00, kDC1 = 0x11, kDC3 = 0x13;

std::uint8_t At(std::string_view s, std::size_t i) {
  return static_cast<std::uint8_t>(s[i]);
}

// Bits every answer of a kind has fixed.
bool Fits(Ask ask, std::uint8_t b) {
  switch (ask) {
    case Ask::PrinterStatus:
    case Ask::OfflineCause:
    case Ask::ErrorCause:
    case Ask::RollPaper: return (b & 0x93) == 0x12;
    case Ask::PaperSensor:
    case Ask::Drawer:
    case Ask::Ink: return (b & 0x90) == 0x00;
    case Ask::IdByte: return true;
    case Ask::IdBlock: return b == '_';
  }
  return false;
}

bool AutomaticStatus(std::string_view s) {
  return (At(s, 0) & 0x93) == 0x10 && (At(s, 1) & 0x90) == 0 && (At(s, 2) & 0x90) == 0 &&
         (At(s, 3) & 0x90) == 0;
}

std::string Byte(std::uint8_t b) {
  return HexBytes(std::string_view(reinterpret_cast<const char*>(&b), 1));
}

}  // namespace

std::size_t AnswerReader::Item(std::string_view s, LineSink& out) {
  const std::uint8_t b = At(s, 0);
  if (!talk_.pending.empty() && Fits(talk_.pending.front(), b)) {
    const Ask ask = talk_.pending.front();
    const std::size_t used = Answer(ask, s, out);
    if (used) talk_.pending.pop_front();
    return used;
  }
  if ((b & 0x93) == 0x10) {
    if (s.size() < 4) return 0;  // three more bytes decide
    if (AutomaticStatus(s)) {
      out.Line(HexBytes(s.substr(0, 4)) + " (" + AutomaticStatusText(s.substr(0, 4)) + ")");
      return 4;
    }
  }
  if (b == kDC1 || b == kDC3) {
    out.Line(b == kDC1 ? "XON (ready to receive)" : "XOFF (buffer full)");
    return 1;
  }
  if ((b & 0x93) == 0x12) {
    out.Line(Byte(b) + " (real-time status answer; its request was not seen)");
    return 1;
  }
  out.Unknown(b);
  return 1;
}

std::size_t AnswerReader::Answer(Ask ask, std::string_view s, LineSink& out) {
  if (ask != Ask::IdBlock) {
    out.Line(Byte(At(s, 0)) + " (" + StatusText(ask, At(s, 0)) + ")");
    return 1;
  }
  constexpr std::size_t kMaxId = 80;  // "_" up to 80 characters, NUL
  const std::size_t end = s.substr(0, kMaxId + 2).find(static_cast<char>(kNUL));
  if (end == std::string_view::npos) {
    if (s.size() < kMaxId + 2) return 0;
    out.Unknown(At(s, 0));  // not the answer: the request is given up
    return 1;
  }
  out.Line("printer ID " + Quoted(s.substr(1, end - 1)));
  return end + 1;
}

}  // namespace veltra::decode::escpos
