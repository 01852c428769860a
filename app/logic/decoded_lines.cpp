#include "app/logic/decoded_lines.h"

#include <algorithm>

namespace veltra::logic {

void TPortDecoding::SetProtocol(decode::Protocol protocol) {
  if (protocol == protocol_) return;
  protocol_ = protocol;
  decoder_ = decode::MakePortDecoder(protocol);
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
  const std::size_t shown = std::min(lines_.size(), kDecodedLinesPerBlock);
  for (std::size_t i = 0; i < shown; ++i) {
    if (!out.empty()) out.push_back('\n');
    out += kDecodedPrefix;
    out += lines_[i];
  }
  if (shown < lines_.size())
    out += '\n' + std::string(kDecodedPrefix) + "... " + std::to_string(lines_.size() - shown) +
           " more decoded lines in this block";
  return out;
}

}  // namespace veltra::logic
