// The text form of one-byte settings and the panel's integer reader.
#include <QtTest>

#include "app/char_code.h"

using veltra::app::CharCodeToText;
using veltra::app::EConvertError;
using veltra::app::StrToInt;
using veltra::app::TextToCharCode;

class TestCharCode : public QObject {
  Q_OBJECT

 private slots:
  void textToCharCode_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("previous");
    QTest::addColumn<int>("code");
    QTest::newRow("0xff") << QByteArray("0xff") << 0 << 255;
    QTest::newRow("0x13") << QByteArray("0x13") << 0 << 19;
    QTest::newRow("0xFF upper") << QByteArray("0xFF") << 0 << 255;
    QTest::newRow("decimal") << QByteArray("255") << 0 << 255;
    QTest::newRow("dollar hex") << QByteArray("$41") << 0 << 65;
    QTest::newRow("letter") << QByteArray("A") << 0 << 65;
    QTest::newRow("digit is a character") << QByteArray("5") << 0 << 53;
    QTest::newRow("blank") << QByteArray(" ") << 0 << 32;
    QTest::newRow("empty keeps previous") << QByteArray("") << 17 << 17;
    QTest::newRow("leading zeros") << QByteArray("007") << 0 << 7;
    QTest::newRow("0x00") << QByteArray("0x00") << 9 << 0;
    QTest::newRow("plus sign") << QByteArray("+12") << 0 << 12;
    QTest::newRow("latin-1 char") << QByteArray("\xE9") << 0 << 0xE9;
  }
  void textToCharCode() {
    QFETCH(QByteArray, text);
    QFETCH(int, previous);
    QFETCH(int, code);
    QCOMPARE(int(TextToCharCode(text.toStdString(), std::uint8_t(previous))), code);
  }

  void textToCharCodeErrors_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("message");
    QTest::newRow("256") << QByteArray("256") << "256 is not within the valid range of 0..255";
    QTest::newRow("-1") << QByteArray("-1") << "-1 is not within the valid range of 0..255";
    QTest::newRow("300") << QByteArray("300") << "300 is not within the valid range of 0..255";
    QTest::newRow("0x100") << QByteArray("0x100") << "256 is not within the valid range of 0..255";
    QTest::newRow("0x1G") << QByteArray("0x1G") << "'0x1G' is not a valid integer value";
    QTest::newRow("12a") << QByteArray("12a") << "'12a' is not a valid integer value";
    QTest::newRow("0x alone") << QByteArray("0x") << "'0x' is not a valid integer value";
    QTest::newRow("0x-1") << QByteArray("0x-1") << "'0x-1' is not a valid integer value";
    QTest::newRow("trailing blank") << QByteArray("12 ") << "'12 ' is not a valid integer value";
    QTest::newRow("huge") << QByteArray("99999999999")
                          << "'99999999999' is not a valid integer value";
  }
  void textToCharCodeErrors() {
    QFETCH(QByteArray, text);
    QFETCH(QString, message);
    try {
      TextToCharCode(text.toStdString(), 0);
      QFAIL("no error raised");
    } catch (const EConvertError& error) {
      QCOMPARE(QString::fromLatin1(error.what()), message);
    }
  }

  void charCodeToText_data() {
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("17") << 17 << QByteArray("0x11");
    QTest::newRow("0") << 0 << QByteArray("0x00");
    QTest::newRow("31") << 31 << QByteArray("0x1F");
    QTest::newRow("127") << 127 << QByteArray("0x7F");
    QTest::newRow("255") << 255 << QByteArray("0xFF");
    QTest::newRow("65") << 65 << QByteArray("A");
    QTest::newRow("32") << 32 << QByteArray(" ");
    QTest::newRow("128") << 128 << QByteArray("\x80");
    QTest::newRow("254") << 254 << QByteArray("\xFE");
  }
  void charCodeToText() {
    QFETCH(int, code);
    QFETCH(QByteArray, text);
    QCOMPARE(QByteArray::fromStdString(CharCodeToText(std::uint8_t(code))), text);
  }

  // Every code survives the way through its text and back.
  void roundTrip() {
    for (int code = 0; code < 256; ++code)
      QCOMPARE(int(TextToCharCode(CharCodeToText(std::uint8_t(code)), 99)), code);
  }

  void strToInt() {
    QCOMPARE(StrToInt("1100"), 1100);
    QCOMPARE(StrToInt("  42"), 42);
    QCOMPARE(StrToInt("-7"), -7);
    QCOMPARE(StrToInt("$ff"), 255);
    QCOMPARE(StrToInt("-$10"), -16);
    QCOMPARE(StrToInt("2147483647"), 2147483647);
    QCOMPARE(StrToInt("-2147483648"), std::int32_t(-2147483647 - 1));
    for (const char* bad : {"", " ", "-", "$", "abc", "1.5", "2147483648", "0x10", "1e3"})
      QVERIFY_THROWS_EXCEPTION(EConvertError, StrToInt(bad));
  }
};

QTEST_APPLESS_MAIN(TestCharCode)
#include "test_char_code.moc"
