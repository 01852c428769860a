#include "app/logic/decoded_lines.h"

#include <algorithm>

namespace veltra::logic {

void TPortDecoding::SetProtocol(decode::Protocol protocol) {
  if (protocol == protocol_) return;
  protocol_ = protocol;
  decoder_ = decode::MakePortDecoder(protocol);
  if (decoder_) decoder_->SetLineLimit(kDecodedLinesPerBlock);
}

std::string TPortDecoding::Block(decode::Direction direction, std::string_view bytes) {
  if (!decoder_) return {};
  lines_.clear();
  decoder_->Feed(direction, bytes, lines_);
  return Joined();
}

std::string TPortDecoding::Finish(decode::Direction direction) {
  if (!decoder_) return {};
  lines_.clear();
  decoder_->Finish(direction, lines_);
  return Joined();
}

std::string TPortDecoding::Joined() {
  std::string out;
  for (const std::string& line : lines_) {
    if (!out.empty()) out.push_back('\n');
    out += kDecodedPrefix;
    out += line;
  }
  return out;
}

}  // namespace veltra::logic
