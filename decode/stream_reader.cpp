#include "decode/stream_reader.h"

#include <algorithm>

#include "decode/decoder.h"

namespace veltra::decode {

void AppendHex(std::string& out, std::uint8_t byte) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  out.push_back(kDigits[byte >> 4]);
  out.push_back(kDigits[byte & 15]);
}

std::string HexBytes(std::string_view bytes, std::size_t max) {
  std::string out;
  for (std::size_t i = 0; i < bytes.size() && i < max; ++i) {
    if (i) out.push_back(' ');
    AppendHex(out, static_cast<std::uint8_t>(bytes[i]));
  }
  if (bytes.size() > max) out += " ...";
  return out;
}

std::string Quoted(std::string_view bytes, std::size_t max) {
  std::string out = "\"";
  for (std::size_t i = 0; i < bytes.size() && i < max; ++i) {
    const auto b = static_cast<std::uint8_t>(bytes[i]);
    if (b >= 0x20 && b < 0x7F && b != '"' && b != '\\') {
      out.push_back(static_cast<char>(b));
    } else {
      out += "\\x";
      AppendHex(out, b);
    }
  }
  out.push_back('"');
  if (bytes.size() > max) out += "...";
  return out;
}

std::string ControlName(std::uint8_t byte) {
  // ASCII control character names (ISO 646 / ECMA-6).
  static constexpr const char* kNames[32] = {
      "NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL", "BS",  "HT",  "LF",
      "VT",  "FF",  "CR",  "SO",  "SI",  "DLE", "DC1", "DC2", "DC3", "DC4", "NAK",
      "SYN", "ETB", "CAN", "EM",  "SUB", "ESC", "FS",  "GS",  "RS",  "US"};
  if (byte < 32) return kNames[byte];
  std::string out;
  AppendHex(out, byte);
  return out;
}

LineSink::~LineSink() {
  EndUnknown();
  if (skipped_)
    lines_.push_back("... " + std::to_string(skipped_) + " more decoded lines in this block");
}

void LineSink::Line(std::string text) {
  EndUnknown();
  Put(std::move(text));
}

void LineSink::Put(std::string text) {
  if (room_ == 0) {
    ++skipped_;
    return;
  }
  --room_;
  lines_.push_back(std::move(text));
}

void LineSink::Unknown(std::uint8_t byte) {
  if (unknownCount_ < kShown && room_) {
    if (unknownCount_) unknownHex_.push_back(' ');
    AppendHex(unknownHex_, byte);
  }
  ++unknownCount_;
}

void LineSink::EndUnknown() {
  if (!unknownCount_) return;
  std::string line = "not recognised, " + std::to_string(unknownCount_) +
                     (unknownCount_ == 1 ? " byte: " : " bytes: ") + unknownHex_;
  if (unknownCount_ > kShown) line += " ...";
  unknownHex_.clear();
  unknownCount_ = 0;
  Put(std::move(line));
}

void StreamReader::SkipData(std::uint64_t count, std::string line) {
  skip_ = skipTotal_ = count;
  skipLine_ = std::move(line);
}

// Decodes items from `s` at `used`, passing over skipped data, until the rest is
// an unfinished item.
void StreamReader::Decode(std::string_view s, std::size_t& used, LineSink& out) {
  while (used < s.size()) {
    if (skip_) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(skip_, s.size() - used));
      used += n;
      skip_ -= n;
      if (!skip_) out.Line(std::move(skipLine_));
      continue;
    }
    const std::size_t n = Item(s.substr(used), out);
    if (!n) return;
    used += n;
  }
}

void StreamReader::Feed(std::string_view block, LineSink& out) {
  std::size_t used = 0;
  if (held_.empty()) {
    Decode(block, used, out);
    block.remove_prefix(used);
    held_.assign(block);
  } else {
    held_.append(block);
    Decode(held_, used, out);
    held_.erase(0, used);
  }
  // An item that would not fit is not one: its first byte is reported and decoding
  // goes on after it.
  while (held_.size() > kMaxHeld) {
    Reset();
    out.Unknown(static_cast<std::uint8_t>(held_[0]));
    used = 1;
    Decode(held_, used, out);
    held_.erase(0, used);
  }
}

void StreamReader::Finish(LineSink& out) {
  if (skip_) {
    out.Line(skipLine_ + ", unfinished: " + std::to_string(skipTotal_ - skip_) + " of " +
             std::to_string(skipTotal_) + " data bytes came");
    skip_ = skipTotal_ = 0;
    skipLine_.clear();
  }
  if (!held_.empty()) {
    out.Line("unfinished, " + std::to_string(held_.size()) + " bytes held: " + HexBytes(held_));
    held_.clear();
  }
  Reset();
}

}  // namespace veltra::decode
