// What must hold for any byte stream through a protocol decoder. The libFuzzer
// targets and the replay test of the normal suite call the same checks; false means
// a finding.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "decode/decoder.h"

namespace veltra::fuzz {

// The lines of `input` sent to the device and then received from it, fed in blocks
// that end at `cuts` (ascending offsets), then finished. Empty when a check on the way
// failed (a line with a control character, too much held).
inline bool DecodeInBlocks(decode::Protocol protocol, std::string_view input,
                           const std::vector<std::size_t>& cuts, std::vector<std::string>& lines) {
  auto decoder = decode::MakePortDecoder(protocol);
  for (decode::Direction d : {decode::Direction::ToDevice, decode::Direction::FromDevice}) {
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
      decoder->Feed(d, input.substr(from, cut - from), lines);
      from = cut;
      if (decoder->Held(d) > decode::kMaxHeld) return false;
    }
    decoder->Feed(d, input.substr(from), lines);
    decoder->Finish(d, lines);
    if (decoder->Held(d) != 0) return false;
  }
  for (const std::string& line : lines) {
    if (line.empty()) return false;
    for (char c : line)
      if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

// Text cut by a block end shows as two text lines, and bytes not recognised as two
// runs: both are joined so that any cut compares equal to the whole.
inline std::vector<std::string> Joined(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  std::uint64_t unknown = 0;
  for (const std::string& line : lines) {
    if (line.starts_with("not recognised, ")) {
      unknown += std::stoull(line.substr(16));
      continue;
    }
    if (unknown) out.push_back("not recognised " + std::to_string(unknown));
    unknown = 0;
    const bool text = line.starts_with("text \"");
    if (text && !out.empty() && out.back() == "text") continue;
    out.push_back(text ? "text" : line);
  }
  if (unknown) out.push_back("not recognised " + std::to_string(unknown));
  return out;
}

// Whole, in blocks cut where the input's own bytes say, and (when short) byte by
// byte: the same lines each time.
inline bool CheckDecoder(decode::Protocol protocol, std::string_view input) {
  std::vector<std::string> whole;
  if (!DecodeInBlocks(protocol, input, {}, whole)) return false;
  std::vector<std::size_t> cuts;
  for (std::size_t at = 0; at < input.size(); cuts.push_back(at))
    at += 1 + static_cast<std::uint8_t>(input[at]) % 23;
  if (!cuts.empty()) cuts.pop_back();
  std::vector<std::string> cut;
  if (!DecodeInBlocks(protocol, input, cuts, cut) || Joined(cut) != Joined(whole)) return false;
  if (input.size() > 600) return true;
  cuts.clear();
  for (std::size_t at = 1; at < input.size(); ++at) cuts.push_back(at);
  std::vector<std::string> bytes;
  return DecodeInBlocks(protocol, input, cuts, bytes) && Joined(bytes) == Joined(whole);
}

}  // namespace veltra::fuzz
