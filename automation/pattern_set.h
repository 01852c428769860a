// Many patterns looked for at once in a byte stream that comes in blocks. A match
// may span blocks: the set keeps the stream's tail, as long as the longest pattern
// (or a regular expression's window) needs, and looks again across the seam.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "automation/sequence.h"
#include "automation/trigger.h"

namespace veltra::automation {

struct TPatternMatch {
  std::size_t Pattern = 0;  // index in the list given to the set
  std::uint64_t End = 0;    // stream offset just past the match
  std::string_view Bytes;   // the matched bytes; valid until the next Feed
};

class TPatternSet {
 public:
  // Throws TAutomationError naming the first pattern that cannot be used.
  explicit TPatternSet(const std::vector<TPattern>& patterns);
  ~TPatternSet();
  TPatternSet(const TPatternSet&) = delete;
  TPatternSet& operator=(const TPatternSet&) = delete;

  // The matches that end in `block`, ordered by where they end, then by pattern. A pattern's
  // matches do not overlap each other; different patterns' may.
  const std::vector<TPatternMatch>& Feed(std::string_view block);
  // Forgets the stream so far (a port opened anew).
  void Reset();
  std::uint64_t StreamBytes() const { return streamEnd_; }
  // Whether regular expressions are available in this build.
  static bool RegexAvailable();

 private:
  struct TMasked {
    std::string bytes;  // already masked
    std::string masks;
    std::size_t pattern;
  };
  // A pattern is looked for where two of its bytes, `gap` apart, stand: its
  // anchor, at `offset` from its start. Anchors with fully known bytes make the
  // table sparse, so few positions are compared at all.
  static constexpr std::size_t kGaps = 4;
  struct TAnchored {
    std::uint32_t masked;
    std::uint32_t offset;
  };
  struct TGapTable {
    std::vector<std::uint64_t> bits;  // bit (first | second << 8) set: some anchor may stand so
    std::array<std::vector<TAnchored>, 256> byFirst;
  };
  struct TRegexes;

  void AddMasked(std::string bytes, std::string masks, std::size_t pattern);
  void AddRegex(const TPattern& p, std::size_t pattern);
  void ScanGap(std::size_t gap, std::size_t seam);
  void CompareAnchored(const TGapTable& table, std::size_t i, std::size_t seam);
  void ScanSingles(std::size_t seam);
  bool Fits(const TMasked& m, std::size_t start, std::size_t seam) const;
  void ScanRegexes(std::size_t seam);
  void Report(std::size_t pattern, std::size_t begin, std::size_t end);

  std::vector<TMasked> masked_;
  std::array<TGapTable, kGaps + 1> gaps_;  // [1..kGaps]; empty tables are skipped
  std::array<std::vector<std::uint32_t>, 256> singles_;  // one-byte patterns by byte
  bool hasSingles_ = false;
  std::size_t longestMasked_ = 0;
  std::unique_ptr<TRegexes> regexes_;  // null without regular expressions
  std::size_t keep_ = 0;               // bytes of tail kept for the next block
  std::string window_;                // tail, then the block
  std::uint64_t windowStart_ = 0;     // stream offset of window_[0]
  std::uint64_t streamEnd_ = 0;
  std::vector<std::uint64_t> nextStart_;  // per pattern: where its next match may begin
  std::vector<TPatternMatch> matches_;
};

}  // namespace veltra::automation
