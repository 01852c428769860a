#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "session/integer_text.h"

namespace veltra::session {
namespace {

TEST(ReadInteger, AcceptsDecimalHexSignsAndLeadingSpaces) {
  EXPECT_EQ(ReadInteger("065"), 65);
  EXPECT_EQ(ReadInteger("  7"), 7);
  EXPECT_EQ(ReadInteger("-5"), -5);
  EXPECT_EQ(ReadInteger("+12"), 12);
  EXPECT_EQ(ReadInteger("$41"), 0x41);
  EXPECT_EQ(ReadInteger("x42"), 0x42);
  EXPECT_EQ(ReadInteger("X4f"), 0x4F);
  EXPECT_EQ(ReadInteger("0x1F"), 0x1F);
  EXPECT_EQ(ReadInteger("0XaB"), 0xAB);
  EXPECT_EQ(ReadInteger("-$10"), -16);
  EXPECT_EQ(ReadInteger("2147483647"), 2147483647);
  EXPECT_EQ(ReadInteger("-2147483648"), -2147483647 - 1);
  EXPECT_EQ(ReadInteger("-$80000000"), -2147483647 - 1);
}

TEST(ReadInteger, RejectsEverythingElse) {
  for (const char* text : {"", " ", "-", "+", "$", "0x", "x", "65 ", "6 5", "1a", "$G1", "0x1G",
                           "12a", "--1", "2147483648", "$100000000", "1.0", "\t1", "$FFFFFFFF",
                           "$80000000", "+-7", "$-5", "0x-3", "-2147483649",
                           "--9223372036854775808", "99999999999999999999999"})
    EXPECT_EQ(ReadInteger(text), std::nullopt) << '"' << text << '"';
}

TEST(MaxErrors, NonIntegerCountsAs256) {
  EXPECT_EQ(MaxErrorsFromText("999"), 999);
  EXPECT_EQ(MaxErrorsFromText("$10"), 16);
  EXPECT_EQ(MaxErrorsFromText("0"), 0);
  EXPECT_EQ(MaxErrorsFromText("abc"), 256);
  EXPECT_EQ(MaxErrorsFromText(""), 256);
  EXPECT_EQ(MaxErrorsFromText("-3"), -3);
}

TEST(MaxErrors, TrimKeepsAtMostTheLimitAndStopsAtAnEmptyPane) {
  EXPECT_EQ(LinesToTrim(5, 3), 2u);
  EXPECT_EQ(LinesToTrim(3, 3), 0u);
  EXPECT_EQ(LinesToTrim(1, 999), 0u);
  EXPECT_EQ(LinesToTrim(4, 0), 4u);
  EXPECT_EQ(LinesToTrim(4, -1), 4u);
  EXPECT_EQ(LinesToTrim(0, -2147483647 - 1), 0u);
}

struct AscCase {
  const char* text;
  std::string bytes;
};

class SendAsAsc : public testing::TestWithParam<AscCase> {};

TEST_P(SendAsAsc, ParsesThreeCharacterCodes) {
  EXPECT_EQ(ParseAsciiCodes(GetParam().text), GetParam().bytes) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SendAsAsc,
    testing::Values(AscCase{"065 066 067", "ABC"}, AscCase{"065,066", "AB"},
                    AscCase{"065\r066", "AB"}, AscCase{"065 300 066", "AB"},  // 300 is skipped
                    AscCase{"65 66", ""},  // tokens "65 " and "6" (trailing blank)
                    AscCase{"$41 x42", "AB"}, AscCase{"", ""}, AscCase{"7", ""},
                    AscCase{"065 6", "A"},    // a token on the last character is not read
                    AscCase{"065 66", "AB"},  // a shorter last token is
                    AscCase{"-01", "\xFF"},   // negative values give their low 8 bits
                    AscCase{"000", std::string(1, '\0')}, AscCase{"255 256", "\xFF"},
                    AscCase{" 65 066", "AB"},
                    AscCase{"065\r\n066", "A"}));  // after CR LF the token is LF "06"

TEST(SendAsAscSkipped, NamesTheFirstCodeLeftOut) {
  EXPECT_EQ(FirstSkippedAsciiCode("065 066 067"), "");
  EXPECT_EQ(FirstSkippedAsciiCode("065 300 066 abc"), "300");
  EXPECT_EQ(FirstSkippedAsciiCode("65 66"), "65 ");
  EXPECT_EQ(FirstSkippedAsciiCode("065 6"), "6");
  EXPECT_EQ(FirstSkippedAsciiCode(""), "");
}

}  // namespace
}  // namespace veltra::session
