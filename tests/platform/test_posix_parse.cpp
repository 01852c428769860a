// The PARMRK input parser of the tty layer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/tty/uart_posix_parse.h"

namespace veltra::test {
namespace {

using platform::MarkedInputState;
using platform::ParseMarkedInput;
using platform::RxPiece;
using Kind = RxPiece::Kind;

RxPiece Data(std::string bytes) {
  return {Kind::kData, std::move(bytes)};
}
RxPiece Bad(char byte) {
  return {Kind::kBadByte, std::string(1, byte)};
}
RxPiece Break() {
  return {Kind::kBreak, {}};
}

std::vector<RxPiece> ParseAll(std::string_view input) {
  MarkedInputState state;
  return ParseMarkedInput(state, input);
}

TEST(MarkedInput, CleanBytesFfNulBadBytesAndBreaks) {
  using namespace std::string_literals;
  EXPECT_EQ(ParseAll("abc"), (std::vector{Data("abc")}));
  EXPECT_EQ(ParseAll("a\377\377b"s), (std::vector{Data("a\377b")}));
  EXPECT_EQ(ParseAll("a\0b"s), (std::vector{Data("a\0b"s)})) << "an unmarked NUL is data";
  EXPECT_EQ(ParseAll("x\377\0Ay"s), (std::vector{Data("x"), Bad('A'), Data("y")}));
  EXPECT_EQ(ParseAll("\377\0\0"s), (std::vector{Break()}));
  EXPECT_EQ(ParseAll("\377\0\377\377\0\0"s), (std::vector{Bad('\377'), Break()}))
      << "a bad 0xFF is marked once, not doubled";
  EXPECT_EQ(ParseAll("\377\377\377\377"s), (std::vector{Data("\377\377")}));
  EXPECT_EQ(ParseAll("\377A"), (std::vector{Data("\377A")})) << "a stray mark keeps both bytes";
  EXPECT_TRUE(ParseAll("").empty());
}

// The kernel hands over whatever it has; a mark can straddle two reads.
TEST(MarkedInput, MarksCutBetweenReadsAreJoined) {
  using namespace std::string_literals;
  const std::string whole = "ab\377\377c\377\0Xd\377\0\0e"s;
  const auto expected = ParseAll(whole);
  for (std::size_t cut = 0; cut <= whole.size(); ++cut) {
    MarkedInputState state;
    auto pieces = ParseMarkedInput(state, std::string_view(whole).substr(0, cut));
    for (RxPiece& p : ParseMarkedInput(state, std::string_view(whole).substr(cut))) {
      if (p.kind == Kind::kData && !pieces.empty() && pieces.back().kind == Kind::kData) {
        pieces.back().bytes += p.bytes;
      } else {
        pieces.push_back(std::move(p));
      }
    }
    EXPECT_EQ(pieces, expected) << "cut at " << cut;
    EXPECT_EQ(state.pending, 0);
  }
  MarkedInputState state;
  EXPECT_TRUE(ParseMarkedInput(state, "\377").empty());
  EXPECT_EQ(state.pending, 1);
  EXPECT_TRUE(ParseMarkedInput(state, std::string(1, '\0')).empty());
  EXPECT_EQ(ParseMarkedInput(state, "Q"), (std::vector{Bad('Q')}));
}

// Which kind of error a marked byte had, from the driver's counters where they tell.
TEST(MarkedInput, BadByteErrorKind) {
  using platform::BadByteError;
  EXPECT_EQ(BadByteError(true, 0, 0), win::CE_RXPARITY);
  EXPECT_EQ(BadByteError(false, 0, 0), win::CE_FRAME);
  EXPECT_EQ(BadByteError(true, 1, 0), win::CE_FRAME) << "a framing error despite parity";
  EXPECT_EQ(BadByteError(false, 0, 2), win::CE_RXPARITY);
  EXPECT_EQ(BadByteError(false, 1, 1), win::CE_FRAME) << "both moved: no telling";
}

}  // namespace
}  // namespace veltra::test
