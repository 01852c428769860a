// The JUnit report and the byte forms: what a CI system or a device gets must be
// exactly right, whatever bytes a script logged.
#include "automation/script/junit_report.h"
#include "automation/script/script_patterns.h"
#include "tests/automation/script/script_test_support.h"

namespace veltra::script::test {
namespace {

TEST(ScriptReport, EscapesMarkupControlsAndForeignBytes) {
  EXPECT_EQ(XmlText("<a href=\"x\">&'</a>"), "&lt;a href=&quot;x&quot;&gt;&amp;&apos;&lt;/a&gt;");
  EXPECT_EQ(XmlText(std::string("\x06\x00\x1B\t\r\n", 6)), "\\x06\\x00\\x1B&#9;&#13;&#10;");
  EXPECT_EQ(XmlText("Pr\xC3\xBC"
                    "fung"),
            "Pr\xC3\xBC"
            "fung");                                               // UTF-8 stays
  EXPECT_EQ(XmlText("\xFC\xC3"), "\xC3\xBC\xC3\x83");              // Latin-1 becomes UTF-8
  EXPECT_EQ(XmlText("\xED\xA0\x80"), "\xC3\xAD\xC2\xA0\xC2\x80");  // no surrogates
}

TEST(ScriptReport, CarriesTheOutcome) {
  TScriptResult r;
  r.Outcome = TScriptOutcome::Failed;
  r.Message = "no <ACK>";
  r.Failures = {"line 3: one"};
  r.Log = "a\x06\n";
  const std::string xml = JUnitReport("suite", "scale_check", r);
  EXPECT_NE(xml.find("<testsuite name=\"suite\" tests=\"1\" failures=\"1\" errors=\"0\""),
            std::string::npos);
  EXPECT_NE(
      xml.find("<failure message=\"no &lt;ACK&gt;\" type=\"FAIL\">line 3: one&#10;</failure>"),
      std::string::npos);
  EXPECT_NE(xml.find("<system-out>a\\x06&#10;</system-out>"), std::string::npos);
  r.Outcome = TScriptOutcome::Error;
  EXPECT_NE(JUnitReport("s", "n", r).find("<error message="), std::string::npos);
  r.Outcome = TScriptOutcome::Passed;
  EXPECT_EQ(JUnitReport("s", "n", r).find("<failure"), std::string::npos);
}

TEST(ScriptBytes, ReadersRefuseWhatTheyCannotRead) {
  EXPECT_EQ(ReadHex("02 30:31-03,0a"), std::string("\x02\x30\x31\x03\x0A"));
  EXPECT_THROW(ReadHex("023"), TPatternError);
  EXPECT_THROW(ReadHex("??"), TPatternError);
  EXPECT_EQ(ReadAsciiCodes("004 005 "), std::string("\x04\x05"));
  EXPECT_THROW(ReadAsciiCodes("004 256 "), TPatternError);
  EXPECT_EQ(ReadCharCode("0x1B"), "\x1B");
  EXPECT_EQ(ReadCharCode("5"), "5");
  EXPECT_THROW(ReadCharCode("300"), TPatternError);
  EXPECT_THROW(ReadHexPattern("0?"), TPatternError);
  EXPECT_THROW(ReadHexPattern(""), TPatternError);
  const auto found = FindHex(std::string("xx\x02\x07\x03", 5), ReadHexPattern("02 ?? 03"));
  ASSERT_TRUE(found);
  EXPECT_EQ(found->Begin, 2u);
  EXPECT_EQ(found->End, 5u);
}

}  // namespace
}  // namespace veltra::script::test
