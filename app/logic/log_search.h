// Search in the traffic log, for the pane and its history alike: the lines are read in
// order and the matches counted per line. Headers, forwarded data, decoded lines and
// typed text match as text; a received block matches by its bytes, across its dump
// lines, so "Hello" is found however the dump cut it, and "1B 40" (hex pairs) finds
// those bytes. Matching is exact (case counts). A filter keeps the entries of one port
// or one direction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace veltra::logic {

class TLineHistory;

struct TSearchFilter {
  int Port = 0;       // 0 either, 1 or 2
  int Direction = 0;  // 0 any, 1 received (Rec, RecX), 2 sent (Snd)
};

class TLogSearch {
 public:
  TLogSearch(std::string_view text, TSearchFilter filter);

  bool Empty() const { return text_.empty(); }
  // The matches this line completes (a match across dump lines counts on its last).
  std::size_t Line(std::string_view line);
  // The bytes of dump lines that follow one another, as the history keeps them.
  std::size_t Dumped(std::string_view bytes);
  // Any line that is not a dump line.
  std::size_t Text(std::string_view line);

 private:
  bool Wanted() const;

  std::string text_;   // as typed
  std::string bytes_;  // what a block's bytes must hold
  TSearchFilter filter_;
  int port_ = 0, direction_ = 0;  // of the entry the lines belong to
  std::string carry_;             // the block's last bytes, for a match across lines
  std::string joined_;            // carry_ and the next bytes' first, reused
};

// Matches in the whole history.
std::uint64_t CountInHistory(const TLineHistory& history, TLogSearch& search);

// "1B 40" or "0d0a": the bytes, else empty.
std::string HexPairs(std::string_view text);

}  // namespace veltra::logic
