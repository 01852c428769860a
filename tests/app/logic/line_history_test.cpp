#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "app/logic/line_history.h"
#include "session/hex_dump.h"

namespace veltra::logic {
namespace {

struct TLine {
  std::string Text;
  bool Utf8 = false;
  bool operator==(const TLine&) const = default;
};

std::vector<TLine> All(const TLineHistory& history) {
  std::vector<TLine> lines;
  history.ForEach([&](std::string_view l, bool utf8) { lines.push_back({std::string(l), utf8}); });
  return lines;
}

void Push(TLineHistory& history, const TLine& line) {
  line.Utf8 ? history.PushUtf8(line.Text) : history.Push(line.Text);
}

// Received blocks as the pane logs them: a header, then the dump lines; in spy mode
// then the block as forwarded, a line break in it starting a new line.
std::vector<TLine> Traffic(int blocks, unsigned seed, bool spy = false) {
  std::mt19937 rng(seed);
  std::vector<TLine> lines;
  for (int b = 0; b < blocks; ++b) {
    lines.push_back({"P1:Rec  07.12.26 14:03:" + std::to_string(10 + b % 50) + " :"});
    std::string block(1 + rng() % 300, '\0');
    for (char& c : block) c = static_cast<char>(rng());
    std::string dump = session::DumpText(block);
    for (std::size_t at = 0; at < dump.size(); at += session::kDumpLineLength + 1)
      lines.push_back({dump.substr(at, session::kDumpLineLength)});
    if (!spy) continue;
    lines.push_back({"P2:Snd 07.12.26 14:03:" + std::to_string(10 + b % 50) + " :"});
    lines.push_back({});
    for (std::size_t i = 0; i < block.size(); ++i) {
      if (block[i] != '\r' && block[i] != '\n') {
        lines.back().Text += block[i];
        continue;
      }
      if (block[i] == '\r' && i + 1 < block.size() && block[i + 1] == '\n') ++i;
      lines.push_back({});
    }
  }
  return lines;
}

TEST(LineHistory, GivesBackEveryLineAsItCameAndKeepsDumpsSmall) {
  std::vector<TLine> lines = Traffic(1000, 1);
  const std::vector<TLine> spy = Traffic(1000, 4, true);
  lines.insert(lines.end(), spy.begin(), spy.end());
  const std::size_t data = 3000 * 150;  // about, the blocks are 1-300 bytes
  // Lines that look like dump lines but are not exactly one stay as typed.
  std::string edited = lines[1].Text;
  edited[30] = edited[30] == 'x' ? 'y' : 'x';
  lines.insert(lines.begin() + 5, {{edited}, {" 41 42" + std::string(18, ' ') + " : AB      "},
                                   {" 4a                      : J       "}, {""},
                                   {std::string(" 41 80 FF A0             : A\x80\xFF\xA0    ")},
                                   {"caf\xC3\xA9 \xE2\x82\xAC", true},
                                   {std::string(3 * TLineHistory::kChunkBytes, '\x90')},
                                   {std::string("NUL\0inside", 10)}});
  TLineHistory history;
  for (const TLine& line : lines) Push(history, line);
  EXPECT_EQ(All(history), lines);
  EXPECT_EQ(history.Lines(), lines.size());
  // About one byte of memory per logged byte, besides the long line (in spy mode a
  // received byte is logged twice).
  const double perByte =
      static_cast<double>(history.MemoryBytes() - 3 * TLineHistory::kChunkBytes) / data;
  EXPECT_LT(perByte, 1.3);
}

TEST(LineHistory, NeverHoldsMoreThanItsBudgetAndKeepsTheNewestLinesInOrder) {
  const std::vector<TLine> lines = Traffic(3000, 2);
  TLineHistory history(5 * TLineHistory::kChunkBytes);
  for (const TLine& line : lines) {
    Push(history, line);
    ASSERT_LE(history.MemoryBytes(), history.Budget());
  }
  EXPECT_GT(history.LinesDropped(), 0u);
  EXPECT_GT(history.MemoryBytes(), 3 * TLineHistory::kChunkBytes);
  EXPECT_EQ(history.Lines() + history.LinesDropped(), lines.size());
  const std::vector<TLine> kept(lines.end() - static_cast<std::ptrdiff_t>(history.Lines()),
                                lines.end());
  EXPECT_EQ(All(history), kept);
}

TEST(LineHistory, TakesTheNewestBlocksBackWithoutGaps) {
  const std::vector<TLine> lines = Traffic(1500, 3);
  TLineHistory history;
  for (const TLine& line : lines) Push(history, line);
  std::vector<TLine> back;  // as the pane gets them: each block above the one before
  for (std::size_t block : {1u, 7000u, 3u, 100000u}) {
    std::vector<TLine> got;
    EXPECT_EQ(history.TakeNewest(block, [&](std::string_view l, bool utf8) {
      got.push_back({std::string(l), utf8});
    }), std::min(block, lines.size() - back.size()));
    back.insert(back.begin(), got.begin(), got.end());
    std::vector<TLine> whole = All(history);
    EXPECT_EQ(history.Lines(), whole.size());
    whole.insert(whole.end(), back.begin(), back.end());
    ASSERT_EQ(whole, lines) << "after taking " << block;
  }
  EXPECT_EQ(history.Lines(), 0u);
  EXPECT_EQ(history.MemoryBytes(), 0u);
}

}  // namespace
}  // namespace veltra::logic
