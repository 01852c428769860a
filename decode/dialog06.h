// Dialog 06 records between a cash register and a scale (both directions read alike).
#pragma once

#include "decode/stream_reader.h"

namespace veltra::decode::dialog06 {

class Reader final : public StreamReader {
 private:
  std::size_t Item(std::string_view s, LineSink& out) override;
  std::size_t Record(std::string_view s, std::size_t start, LineSink& out);
};

}  // namespace veltra::decode::dialog06
