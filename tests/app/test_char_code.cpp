// The text form of one-byte settings and the panel's integer reader.
#include <QtTest>

#include "session/char_code.h"

using veltra::session::CharCodeToText;
using veltra::session::EConvertError;
using veltra::session::StrToInt;
using veltra::session::TextToCharCode;

class TestCharCode : public QObject {
  Q_OBJECT

 private slots:
  void textToCharCode() {
    const std::pair<const char*, int> cases[] = {
        {"0xff", 255}, {"0x13", 19}, {"255", 255}, {"$41", 65}, {"A", 65},
        {"5", 53},     {" ", 32},    {"007", 7},   {"+12", 12}, {"\xE9", 0xE9}};
    for (const auto& [text, code] : cases) QCOMPARE(int(TextToCharCode(text, 0)), code);
    QCOMPARE(int(TextToCharCode("", 17)), 17);  // empty keeps the previous value
  }

  void textToCharCodeErrors() {
    const std::pair<const char*, const char*> cases[] = {
        {"256", "256 is not within the valid range of 0..255"},
        {"-1", "-1 is not within the valid range of 0..255"},
        {"0x100", "256 is not within the valid range of 0..255"},
        {"0x1G", "'0x1G' is not a valid integer value"},
        {"12a", "'12a' is not a valid integer value"},
        {"0x", "'0x' is not a valid integer value"},
        {"0x-1", "'0x-1' is not a valid integer value"},
        {"12 ", "'12 ' is not a valid integer value"},
        {"99999999999", "'99999999999' is not a valid integer value"}};
    for (const auto& [text, message] : cases) {
      try {
        TextToCharCode(text, 0);
        QFAIL(text);
      } catch (const EConvertError& error) {
        QCOMPARE(QString(error.what()), QString(message));
      }
    }
  }

  void charCodeToText() {
    const std::pair<int, const char*> cases[] = {{17, "0x11"},  {0, "0x00"},  {127, "0x7F"},
                                                 {255, "0xFF"}, {65, "A"},    {32, " "},
                                                 {31, "0x1F"},  {128, "\x80"}};
    for (const auto& [code, text] : cases)
      QCOMPARE(QByteArray::fromStdString(CharCodeToText(std::uint8_t(code))), QByteArray(text));
    // Every code survives the way through its text and back.
    for (int code = 0; code < 256; ++code)
      QCOMPARE(int(TextToCharCode(CharCodeToText(std::uint8_t(code)), 99)), code);
  }

  void strToInt() {
    QCOMPARE(StrToInt("  42"), 42);
    QCOMPARE(StrToInt("-$10"), -16);
    QCOMPARE(StrToInt("-2147483648"), std::int32_t(-2147483647 - 1));
    for (const char* bad : {"", "-", "$", "1.5", "2147483648", "0x10"})
      QVERIFY_THROWS_EXCEPTION(EConvertError, StrToInt(bad));
  }
};

QTEST_APPLESS_MAIN(TestCharCode)
#include "test_char_code.moc"
