#include <gtest/gtest.h>

#include "session/device_commands.h"
#include "tests/decode/decode_test_support.h"

namespace veltra::decode {
namespace {

using namespace std::literals;
constexpr auto kTo = Direction::ToDevice, kFrom = Direction::FromDevice;

TEST(Dialog06, TheScaleTestAndItsAnswers) {
  auto scale = MakePortDecoder(Protocol::Scale);
  EXPECT_EQ(Lines(*scale, kTo, {session::kScaleCommand + "\r", session::kScaleWeightRequest}),
            (V{"EOT STX record 01 (unit price): unit price \"000220\" ETX", "CR",
               "EOT ENQ (weight request)"}));
  // The weight record cut in three.
  EXPECT_EQ(Lines(*scale, kFrom, {"\x06\x02" "02\x1B" "3\x1B" "01"sv, "234\x1B" "000220"sv,
                                  "\x1B" "000271\x03\x15"sv}),
            (V{"ACK (accepted)",
               "STX record 02 (weight): status \"3\", weight \"01234\", unit price \"000220\", "
               "to pay \"000271\" ETX",
               "NAK (refused, or no stable weight)"}));
}

TEST(Dialog06, BrokenAndMalformedRecords) {
  auto scale = MakePortDecoder(Protocol::Scale);
  EXPECT_EQ(Lines(*scale, kTo, {"\x04\x02" "01\x1B" "22O\x1B\x03"sv,
                                "\x04\x02" "01\x1B\x04\x05"sv, "\x04\x02" "77\x03"sv}),
            (V{"EOT STX record 01 (unit price), fields not as they should be: "
               "\"01\\x1B22O\\x1B\" ETX",
               "EOT STX record broken off: \"01\\x1B\"", "EOT ENQ (weight request)",
               "EOT STX record of unknown kind: \"77\" ETX"}));
  // A record that never ends is let go at its bound.
  const V lines = Lines(*scale, kTo, {"\x02" + std::string(200, '1')});
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "not recognised, 201 bytes: 02 31 31 31 31 31 31 31 31 31 31 31 31 31 31 31 ...");
  EXPECT_EQ(scale->Held(kTo), 0u);
}

TEST(Er650, FramesAndTheirCheckByte) {
  auto ecr = MakePortDecoder(Protocol::CashRegister);
  EXPECT_EQ(Lines(*ecr, kTo, {session::kEr650ReportRequest}),
            V{"frame, 19 bytes: 01 00 00 00 00 00 00 00 01 00 00 00 03 01 00 00 00 01 00, "
              "check D3 right"});
  std::string bad = session::kEr650ReportRequest;
  bad.back() = '\xD4';
  EXPECT_EQ(Lines(*ecr, kTo, {bad}), V{"frame, 19 bytes: 01 00 00 00 00 00 00 00 01 00 00 00 "
                                       "03 01 00 00 00 01 00, check D4 wrong (should be D3)"});
  // A doubled DLE is one payload byte; the frame cut after its DLE ETX waits for the check.
  const std::string framed = "\x06\x10\x02\x01" "AB\x10\x10" "C\x10\x03"s;
  const std::uint8_t check = static_cast<std::uint8_t>(~(0x10 + 0x02 + 0x01 + 'A' + 'B' + 0x10 +
                                                          0x10 + 'C' + 0x10 + 0x03));
  EXPECT_EQ(Lines(*ecr, kFrom, {framed}), V{"ACK (accepted)"});
  EXPECT_EQ(ecr->Held(kFrom), 10u);
  EXPECT_EQ(Lines(*ecr, kFrom, {std::string(1, static_cast<char>(check))}),
            V{"frame, 5 bytes: 01 41 42 10 43, check F3 right"});
}

TEST(Er650, BrokenFramesAndNoise) {
  auto ecr = MakePortDecoder(Protocol::CashRegister);
  EXPECT_EQ(Lines(*ecr, kFrom, {"xy\x10\x02" "ab\x10\x02\x10\x03\xDA\x10\x05\x15"sv}),
            (V{"not recognised, 2 bytes: 78 79", "frame broken off after 2 bytes by DLE STX: 61 62",
               "frame, 0 bytes, check DA right", "not recognised, 2 bytes: 10 05",
               "NAK (refused)"}));
}

TEST(Scanner, LabelsWithTheirCheckDigit) {
  auto scanner = MakePortDecoder(Protocol::Scanner);
  EXPECT_EQ(Lines(*scanner, kFrom, {"40063813"sv, "33931\r"sv, "4006381333932\r\n96385074\n"sv,
                                    "036000291452\rF5901234123457\rAB-1\r\x06"sv}),
            (V{"EAN-13 4006381333931, check digit 1 right",
               "EAN-13 4006381333932, check digit 2 wrong (should be 1)",
               "EAN-8 96385074, check digit 4 right", "UPC-A 036000291452, check digit 2 right",
               "EAN-13 F5901234123457, check digit 7 right",
               "label \"AB-1\" (4 characters, not EAN or UPC)", "ACK (accepted)"}));
  EXPECT_EQ(Lines(*scanner, kTo, {session::kMagellanEnable + "\r" + session::kMagellanDisable +
                                  session::kMagellanNotOnFileBeep + "X"}),
            (V{"E (enable)", "CR", "D (disable)", "F (not-on-file beep)",
               "not recognised, 1 byte: 58"}));
  // Printable bytes without an end are no label once past any label's length.
  const V lines = Lines(*scanner, kFrom, {std::string(100, '7')});
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0].substr(0, 26), "not recognised, 36 bytes: ");
  EXPECT_EQ(scanner->Held(kFrom), 64u);
}

TEST(Gs1, CheckDigit) {
  EXPECT_EQ(Gs1CheckDigit("4006381333931"), 1);
  EXPECT_EQ(Gs1CheckDigit("036000291452"), 2);
  EXPECT_EQ(Gs1CheckDigit("96385074"), 4);
  EXPECT_EQ(Gs1CheckDigit("9638507x"), -1);
  EXPECT_EQ(Gs1CheckDigit("7"), -1);
  EXPECT_EQ(ProtocolFromName("ecr"), Protocol::CashRegister);
  EXPECT_EQ(ProtocolFromName("till"), std::nullopt);
  EXPECT_EQ(MakePortDecoder(Protocol::None), nullptr);
}

}  // namespace
}  // namespace veltra::decode
