// The pattern set against a plain search: every match found once, wherever the
// blocks are cut.
#include "automation/pattern_set.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <utility>

#include "session/hex_text.h"

namespace veltra::automation {
namespace {

using Found = std::vector<std::pair<std::size_t, std::uint64_t>>;  // pattern, end

Found FeedInBlocks(TPatternSet& set, const std::string& stream, std::mt19937& random,
                   std::size_t maxBlock) {
  Found found;
  for (std::size_t at = 0; at < stream.size();) {
    const std::size_t n = std::min<std::size_t>(1 + random() % maxBlock, stream.size() - at);
    for (const TPatternMatch& m : set.Feed(std::string_view(stream).substr(at, n))) {
      EXPECT_GT(m.End, at);
      EXPECT_LE(m.End, at + n);
      EXPECT_EQ(m.Bytes, stream.substr(m.End - m.Bytes.size(), m.Bytes.size()));
      found.emplace_back(m.Pattern, m.End);
    }
    at += n;
  }
  return found;
}

// Leftmost matches of each pattern, not overlapping each other, ordered by end.
Found PlainSearch(const std::vector<session::THexPattern>& patterns, const std::string& s) {
  std::vector<std::pair<std::uint64_t, std::size_t>> byEnd;
  for (std::size_t k = 0; k < patterns.size(); ++k) {
    const session::THexPattern& p = patterns[k];
    for (std::size_t i = 0; i + p.Bytes.size() <= s.size();) {
      bool hit = true;
      for (std::size_t j = 0; j < p.Bytes.size() && hit; ++j)
        hit = ((s[i + j] ^ p.Bytes[j]) & p.Masks[j]) == 0;
      if (!hit) {
        ++i;
        continue;
      }
      i += p.Bytes.size();
      byEnd.emplace_back(i, k);
    }
  }
  std::stable_sort(byEnd.begin(), byEnd.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  Found found;
  for (const auto& [end, k] : byEnd) found.emplace_back(k, end);
  return found;
}

TEST(PatternSet, FindsWhatAPlainSearchFindsHoweverTheStreamIsCut) {
  std::mt19937 random(17);
  for (int round = 0; round < 40; ++round) {
    // A small alphabet, so patterns, wildcards and overlaps come often.
    std::string stream(3000, '\0');
    const char alphabet[] = {'\x02', '\x03', 'A', 'B', '\x00', '\xFF'};
    for (char& c : stream) c = alphabet[random() % 6];
    std::vector<TPattern> patterns;
    std::vector<session::THexPattern> plain;
    for (int k = 0; k < 12; ++k) {
      const std::size_t length = 1 + random() % (round % 2 ? 3 : 9);
      std::string hex;
      for (std::size_t j = 0; j < length; ++j) {
        const int pick = static_cast<int>(random() % 8);
        hex += pick == 0 ? "??" : pick == 1 ? "0?" : std::string(1, "0F4"[random() % 3]) + "2";
        hex += ' ';
      }
      patterns.push_back({TPatternKind::Hex, hex});
      plain.push_back(session::ParseHexPattern(hex, true));
    }
    const Found expected = PlainSearch(plain, stream);
    TPatternSet whole(patterns);
    Found all;
    for (const TPatternMatch& m : whole.Feed(stream)) all.emplace_back(m.Pattern, m.End);
    EXPECT_EQ(all, expected) << "round " << round;
    TPatternSet cut(patterns);
    EXPECT_EQ(FeedInBlocks(cut, stream, random, round % 3 ? 4 : 40), expected) << "round " << round;
  }
}

TEST(PatternSet, RegexMatchesAcrossBlocksWithinItsWindow) {
  if (!TPatternSet::RegexAvailable()) GTEST_SKIP() << "built without RE2";
  TPatternSet set({{TPatternKind::Regex, "\x02[0-9]{3,6}\x03", 16},
                   {TPatternKind::Text, "kg"}});
  const std::string stream = "x\x02" "12345\x03yy\x02" "9\x03kg\x02" "000\x03";
  std::mt19937 random(3);
  for (std::size_t maxBlock : {1, 2, 5, 20}) {
    set.Reset();
    const Found found = FeedInBlocks(set, stream, random, maxBlock);
    EXPECT_EQ(found, (Found{{0, 8}, {1, 15}, {0, 20}})) << "blocks up to " << maxBlock;
  }
}

TEST(PatternSet, RefusesPatternsThatCannotWork) {
  auto refused = [](TPattern p) {
    try {
      TPatternSet set({p});
    } catch (const TAutomationError& e) {
      return std::string(e.what());
    }
    return std::string("accepted");
  };
  EXPECT_EQ(refused({TPatternKind::Text, ""}), "text pattern: it is empty");
  EXPECT_EQ(refused({TPatternKind::Hex, "02 ?"}), "hex pattern: '?' has an odd number of digits");
  if (TPatternSet::RegexAvailable()) {
    EXPECT_EQ(refused({TPatternKind::Regex, "x*"}),
              "regex pattern: it matches where nothing came (an empty match)");
    EXPECT_EQ(refused({TPatternKind::Regex, "x", 0}), "regex pattern: its window is 1 to 4096 bytes");
  }
}

}  // namespace
}  // namespace veltra::automation
