#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "decode/decoder.h"

namespace veltra::decode {

// Feeds each block in turn to one direction; returns the lines.
inline std::vector<std::string> Lines(PortDecoder& decoder, Direction direction,
                                      std::initializer_list<std::string_view> blocks) {
  std::vector<std::string> lines;
  for (std::string_view block : blocks) decoder.Feed(direction, block, lines);
  return lines;
}

using V = std::vector<std::string>;

}  // namespace veltra::decode
