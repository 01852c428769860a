// A retail scanner: the letters it is sent and the labels it reads.
#pragma once

#include "decode/stream_reader.h"

namespace veltra::decode::scanner {

// PSC Magellan letters: E enable, D disable, F not-on-file beep.
class CommandReader final : public StreamReader {
 private:
  std::size_t Item(std::string_view s, LineSink& out) override;
};

// Labels ended by CR, LF or CR LF; EAN-13, EAN-8 and UPC-A with their check digit.
class LabelReader final : public StreamReader {
 private:
  std::size_t Item(std::string_view s, LineSink& out) override;
  void Reset() override { crEnded_ = false; }

  bool crEnded_ = false;  // a label ended by CR just before: an LF now ends the same line
};

// "EAN-13 4006381333931, check digit 1 right", or the label as it came.
std::string LabelText(std::string_view label);

}  // namespace veltra::decode::scanner
