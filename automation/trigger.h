// Receive triggers: a pattern looked for in what a port receives, and what to do
// when it comes.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace veltra::automation {

enum class TPatternKind {
  Text,   // the bytes as written (Latin-1)
  Hex,    // hex bytes, '?' any nibble: "02 ?? 03"
  Regex,  // a regular expression over bytes (RE2 syntax, Latin-1): "\x02[0-9]{6}\x03"
};

// What a pattern may span: a text or hex pattern at most this many bytes, a
// regular expression's look-back across blocks at most this window.
inline constexpr std::size_t kMaxPatternBytes = 1024;
inline constexpr std::size_t kMaxRegexWindow = 4096;
inline constexpr std::size_t kDefaultRegexWindow = 256;
// Answers a second a trigger may give before it is taken for a loop.
inline constexpr int kDefaultMaxRate = 50;

struct TPattern {
  TPatternKind Kind = TPatternKind::Text;
  std::string Text;                          // as written
  std::size_t Window = kDefaultRegexWindow;  // regular expressions only
};

struct TTrigger {
  std::string Name;
  int Port = 1;  // 1 or 2
  TPattern Pattern;
  bool Enabled = true;
  bool Once = false;  // fires at its first match only
  // Actions; any number of them.
  std::string Send;  // the name of a sequence to send back on the same port
  std::chrono::milliseconds Delay{0};  // before the answer goes
  std::string Mark;                    // a mark on the log line of the match
  bool Count = false;                  // report the running count of matches
  bool StopRecording = false;
  bool Sound = false;
  int MaxRate = kDefaultMaxRate;  // answers a second before it is stopped as a loop
};

const char* PatternKindName(TPatternKind kind);

}  // namespace veltra::automation
