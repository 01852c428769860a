#include "automation/sequence.h"

#include <array>

#include "session/char_code.h"
#include "session/hex_text.h"
#include "session/integer_text.h"

namespace veltra::automation {

namespace {

constexpr std::array<const char*, 33> kControlNames = {
    "NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL", "BS",  "HT",  "LF",
    "VT",  "FF",  "CR",  "SO",  "SI",  "DLE", "DC1", "DC2", "DC3", "DC4", "NAK",
    "SYN", "ETB", "CAN", "EM",  "SUB", "ESC", "FS",  "GS",  "RS",  "US",  "SP"};

int ControlCode(std::string_view name) {
  if (name == "DEL") return 127;
  for (std::size_t i = 0; i < kControlNames.size(); ++i)
    if (name == kControlNames[i]) return static_cast<int>(i);
  return -1;
}

std::string AscBytes(const std::string& text) {
  const std::string skipped = session::FirstSkippedAsciiCode(text);
  if (!skipped.empty())
    throw TAutomationError("'" + skipped +
                           "' is not a code from 000 to 255 (three characters, one separator)");
  return session::ParseAsciiCodes(text);
}

}  // namespace

const char* PartKindName(TPartKind kind) {
  switch (kind) {
    case TPartKind::Text: return "text";
    case TPartKind::Hex: return "hex";
    case TPartKind::Asc: return "asc";
    case TPartKind::Control: return "control";
    case TPartKind::Code: return "code";
    case TPartKind::Wait: return "wait";
  }
  return "";
}

std::string ControlBytes(std::string_view names) {
  std::string bytes;
  std::size_t pos = 0;
  while (pos < names.size()) {
    const std::size_t end = std::min(names.find(' ', pos), names.size());
    if (end > pos) {
      const std::string_view name = names.substr(pos, end - pos);
      const int code = ControlCode(name);
      if (code < 0)
        throw TAutomationError("'" + std::string(name) +
                               "' is not a control character name (NUL..US, SP, DEL)");
      bytes.push_back(static_cast<char>(code));
    }
    pos = end + 1;
  }
  if (bytes.empty()) throw TAutomationError("no control character named");
  return bytes;
}

std::string ControlName(unsigned char code) {
  if (code < kControlNames.size()) return kControlNames[code];
  return code == 127 ? "DEL" : "";
}

std::string PartBytes(const TSequencePart& part) {
  try {
    switch (part.Kind) {
      case TPartKind::Text: return part.Value;
      case TPartKind::Hex: return session::ParseHexBytes(part.Value);
      case TPartKind::Asc: return AscBytes(part.Value);
      case TPartKind::Control: return ControlBytes(part.Value);
      case TPartKind::Code:
        if (part.Value.empty()) throw TAutomationError("no character code given");
        return std::string(1, static_cast<char>(session::TextToCharCode(part.Value, 0)));
      case TPartKind::Wait: return {};
    }
  } catch (const session::EConvertError& e) {
    throw TAutomationError(e.what());
  }
  return {};
}

std::vector<TSendStep> SendSteps(const TSequence& sequence) {
  std::vector<TSendStep> steps;
  std::chrono::milliseconds wait{0};
  bool joinable = false;  // the last step may take more bytes
  for (const TSequencePart& part : sequence.Parts) {
    if (part.Kind == TPartKind::Wait) {
      wait += part.Wait;
      joinable = false;
      continue;
    }
    std::string bytes = PartBytes(part);
    if (bytes.empty()) continue;
    if (joinable) {
      steps.back().Bytes += bytes;
    } else {
      steps.push_back({wait, std::move(bytes)});
      wait = {};
      joinable = true;
    }
  }
  return steps;
}

std::string SequenceBytes(const TSequence& sequence) {
  std::string bytes;
  for (const TSendStep& step : SendSteps(sequence)) bytes += step.Bytes;
  return bytes;
}

}  // namespace veltra::automation
