#include <gtest/gtest.h>

#include <string>

#include "session/hex_dump.h"

namespace veltra::session {
namespace {

struct DumpCase {
  const char* name;
  std::string block;
  std::string lines;
};

class DumpLines : public testing::TestWithParam<DumpCase> {};

TEST_P(DumpLines, MatchByteForByte) {
  const DumpCase& c = GetParam();
  EXPECT_EQ(DumpText(c.block), c.lines);
  std::string appended = "x";
  AppendDumpLines(c.block, appended, '|');
  EXPECT_EQ(appended.size(), 1 + DumpSize(c.block.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, DumpLines,
    testing::Values(
        DumpCase{"Empty", "", ""},
        DumpCase{"HelloCrLf", "Hello\r\n", " 48 65 6C 6C 6F 0D 0A    : Hello.. "},
        DumpCase{"EightBytesOneLine", "ABCDEFGH", " 41 42 43 44 45 46 47 48 : ABCDEFGH"},
        DumpCase{"NineBytesTwoLines", "ABCDEFGHI",
                 " 41 42 43 44 45 46 47 48 : ABCDEFGH\n"
                 " 49                      : I       "},
        DumpCase{"ControlAndDelete", std::string("\x1B\x7F\x00\x1F", 4),
                 " 1B 7F 00 1F             : ....    "},
        DumpCase{"HighBytesStay", "\x80\xFF \x7E", " 80 FF 20 7E             : \x80\xFF ~    "},
        DumpCase{"SixteenBytes", "0123456789abcdef",
                 " 30 31 32 33 34 35 36 37 : 01234567\n"
                 " 38 39 61 62 63 64 65 66 : 89abcdef"}),
    [](const testing::TestParamInfo<DumpCase>& info) { return info.param.name; });

TEST(DumpLines, EveryByteValueHasItsHexPairAndTextCharacter) {
  for (int b = 0; b < 256; ++b) {
    const std::string line = DumpText(std::string(1, static_cast<char>(b)));
    ASSERT_EQ(line.size(), kDumpLineLength);
    char hex[4];
    std::snprintf(hex, sizeof hex, "%02X", b);
    EXPECT_EQ(line.substr(0, 3), std::string(" ") + hex);
    const char shown = (b < 0x20 || b == 0x7F) ? '.' : static_cast<char>(b);
    EXPECT_EQ(line[27], shown) << b;
  }
}

TEST(DumpLines, AppendsAfterExistingTextWithChosenLineEnd) {
  std::string out = "head\n";
  AppendDumpLines("ABCDEFGHIJ", out, '\r');
  EXPECT_EQ(out,
            "head\n"
            " 41 42 43 44 45 46 47 48 : ABCDEFGH\r"
            " 49 4A                   : IJ      \r");
}

}  // namespace
}  // namespace veltra::session
