// The ER-650 cash register's frames (both directions read alike).
#pragma once

#include "decode/stream_reader.h"

namespace veltra::decode::er650 {

// One's complement of the 8-bit sum of the frame from DLE STX to DLE ETX as sent.
std::uint8_t CheckByte(std::string_view frame);

class Reader final : public StreamReader {
 private:
  std::size_t Item(std::string_view s, LineSink& out) override;
  std::size_t Frame(std::string_view s, LineSink& out);
};

}  // namespace veltra::decode::er650
