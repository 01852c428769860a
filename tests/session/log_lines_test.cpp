#include <gtest/gtest.h>

#include <string>

#include "session/log_lines.h"

namespace veltra::session {
namespace {

std::tm At(int year, int month, int day, int hour, int min, int sec) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = min;
  t.tm_sec = sec;
  return t;
}

TEST(LogHeader, PrefixStampAndColon) {
  EXPECT_EQ(LogHeader(kPort1Prefixes.Rec, At(2026, 12, 7, 14, 3, 59)),
            "P1:Rec  07.12.26 14:03:59 :");
  EXPECT_EQ(LogHeader(kPort2Prefixes.RecX, At(2000, 1, 2, 0, 0, 0)), "P2:RecX 02.01.00 00:00:00 :");
  EXPECT_EQ(LogHeader(kPort1Prefixes.Snd, At(2099, 10, 31, 23, 59, 9)),
            "P1:Snd 31.10.99 23:59:09 :");
}

TEST(EntryTexts, ErrorComEventAndRing) {
  EXPECT_EQ(ErrorReportText(0, 1, "P1:Not all Bytes send"),
            "Code 0 at 1 Text: P1:Not all Bytes send");
  EXPECT_EQ(ErrorReportText(997, 9701, "Error write TimeOut"),
            "Code 997 at 9701 Text: Error write TimeOut");
  EXPECT_EQ(ErrorReportText(4294967295u, 0, ""), "Code 4294967295 at 0 Text: ");
  EXPECT_EQ(ComEventText(48), "ComEvent48");
  EXPECT_EQ(ComEventText(0), "ComEvent0");
  EXPECT_STREQ(kEventCharText, " RxEventCharEvent occours");
}

}  // namespace
}  // namespace veltra::session
