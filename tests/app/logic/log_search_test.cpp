#include "app/logic/log_search.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "app/logic/line_history.h"
#include "session/hex_dump.h"

namespace veltra::logic {
namespace {

// A received block as the pane logs it: its header, then its dump lines.
void Received(std::vector<std::string>& lines, const char* header, std::string_view block) {
  lines.emplace_back(std::string(header) + "09.12.26 10:00:00 :");
  const std::string dump = session::DumpText(block);
  for (std::size_t at = 0; at < dump.size(); at += session::kDumpLineLength + 1)
    lines.push_back(dump.substr(at, session::kDumpLineLength));
}

// The pane counts line by line, the history scans its packed dump lines: both must agree.
struct TCounts {
  std::uint64_t Pane = 0, History = 0;
};
TCounts Count(const std::vector<std::string>& lines, std::string_view text, TSearchFilter filter = {}) {
  TCounts n;
  TLogSearch pane(text, filter);
  TLineHistory history;
  for (const auto& line : lines) {
    n.Pane += pane.Line(line);
    history.Push(line);
  }
  TLogSearch scan(text, filter);
  n.History = CountInHistory(history, scan);
  return n;
}

std::size_t Naive(std::string_view in, std::string_view what) {
  std::size_t n = 0;
  for (auto at = in.find(what); at != std::string_view::npos; at = in.find(what, at + what.size())) ++n;
  return n;
}

TEST(LogSearch, FindsBytesAcrossDumpLinesButNeverAcrossBlocks) {
  std::vector<std::string> lines;
  Received(lines, "P1:Rec  ", "1234567Hello world");  // "Hello" cut by the 8-byte lines
  Received(lines, "P1:Rec  ", "xxxxxHel");
  Received(lines, "P1:Rec  ", "lo\x1b@");              // the next block does not finish it
  const TCounts hello = Count(lines, "Hello");
  EXPECT_EQ(hello.Pane, 1u);
  EXPECT_EQ(hello.History, 1u);
  const TCounts init = Count(lines, "1B 40");  // hex pairs mean bytes
  EXPECT_EQ(init.Pane, 1u);
  EXPECT_EQ(init.History, 1u);
}

TEST(LogSearch, FiltersKeepOnePortAndOneDirection) {
  std::vector<std::string> lines;
  Received(lines, "P1:Rec  ", "ACK here");
  lines.push_back("P2:Snd 09.12.26 10:00:00 :");
  lines.push_back("ACK here");  // the block forwarded in spy mode, as text
  Received(lines, "P2:RecX ", "no ACK");
  lines.push_back("P1:Msg 09.12.26 10:00:01 : Event Char");
  EXPECT_EQ(Count(lines, "ACK").Pane, 3u);
  EXPECT_EQ(Count(lines, "ACK", {.Port = 2}).Pane, 2u);
  EXPECT_EQ(Count(lines, "ACK", {.Port = 2, .Direction = 1}).History, 1u);
  EXPECT_EQ(Count(lines, "ACK", {.Direction = 2}).History, 1u);
  EXPECT_EQ(Count(lines, "Event", {.Direction = 1}).Pane, 0u) << "an event line is no received data";
}

// Random blocks and a random byte string: pane, history and a plain search of each
// block's bytes give the same count, wherever the dump lines cut the matches.
TEST(LogSearch, PaneHistoryAndTheBlocksAgreeOnRandomTraffic) {
  std::mt19937 rng(7);
  for (int round = 0; round < 40; ++round) {
    const std::string what = {static_cast<char>('a' + rng() % 2), static_cast<char>('a' + rng() % 2),
                              static_cast<char>('a' + rng() % 2)};
    std::vector<std::string> lines;
    std::size_t expected = 0;
    for (int b = 0; b < 20; ++b) {
      std::string block(1 + rng() % 40, 'a');
      for (char& c : block) c = static_cast<char>('a' + rng() % 3);
      expected += Naive(block, what);
      Received(lines, "P1:Rec  ", block);
    }
    const TCounts n = Count(lines, what);
    ASSERT_EQ(n.History, n.Pane) << what;
    ASSERT_EQ(n.Pane, expected) << what;
  }
}

}  // namespace
}  // namespace veltra::logic
