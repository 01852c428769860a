// Send sequences: named lists of parts (text, hex, "Send as ASC" codes, control
// characters, single character codes) with waits between them.
#pragma once

#include <chrono>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace veltra::automation {

// A sequence, trigger or library that cannot be used, with what is wrong with it.
class TAutomationError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class TPartKind {
  Text,     // the bytes as written (Latin-1)
  Hex,      // "02 30 31 03", as veltra-cli send --hex
  Asc,      // "004 005", three-digit codes as "Send as ASC"
  Control,  // "EOT", or several: "DLE STX"
  Code,     // one character code as the settings write it: "0x1B", "27", "A"
  Wait,     // a pause before the next part
};

struct TSequencePart {
  TPartKind Kind = TPartKind::Text;
  std::string Value;  // as written; empty for a wait
  std::chrono::milliseconds Wait{0};
};

struct TSequence {
  std::string Name;
  int Port = 1;          // the port its button sends to in the window: 1 or 2
  std::string Shortcut;  // a key sequence in Qt's portable text form, e.g. "Ctrl+1"; may be empty
  std::vector<TSequencePart> Parts;
};

// One write and the pause before it.
struct TSendStep {
  std::chrono::milliseconds WaitBefore{0};
  std::string Bytes;
};

// The longest wait a part may hold: ten minutes.
inline constexpr std::chrono::milliseconds kMaxWait{600000};

// The name of a part's kind in the library file ("text", "hex", ...).
const char* PartKindName(TPartKind kind);
// The control character names: NUL..US, then SP and DEL. Throws TAutomationError
// for an unknown name.
std::string ControlBytes(std::string_view names);
// The name of a control character (below 32, 32 or 127), or empty.
std::string ControlName(unsigned char code);
// A part's bytes. Throws TAutomationError saying what is wrong with its value.
std::string PartBytes(const TSequencePart& part);
// The writes of a sequence: neighbouring parts without a wait between them go as one.
std::vector<TSendStep> SendSteps(const TSequence& sequence);
// All bytes of a sequence, waits left out.
std::string SequenceBytes(const TSequence& sequence);

}  // namespace veltra::automation
