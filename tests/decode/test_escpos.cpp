#include <gtest/gtest.h>

#include "session/device_commands.h"
#include "tests/decode/decode_test_support.h"

namespace veltra::decode {
namespace {

using namespace std::literals;
constexpr auto kTo = Direction::ToDevice, kFrom = Direction::FromDevice;

TEST(EscPos, AReceiptReadsAsItsCommands) {
  auto printer = MakePortDecoder(Protocol::Printer);
  const std::string receipt = "\x1B@\x1B" "a\x01\x1B!\x38" "CAFE\n\x1BM1\x1Bt\x13\x1D" "V\x42\x00"s;
  EXPECT_EQ(Lines(*printer, kTo, {receipt}),
            (V{"ESC @ (initialise)", "ESC a 1 (align centre)",
               "ESC ! 56 (print mode: font A, emphasised, double height, double width)",
               "text \"CAFE\"", "LF (print and line feed)", "ESC M 49 (font B)",
               "ESC t 19 (code page: PC858 Euro)", "GS V 66 0 (feed 0, partial cut)"}));
  // The window's drawer kick: 50 ms on, 500 ms off, counted in 2 ms.
  EXPECT_EQ(Lines(*printer, kTo, {session::DrawerPulseCommand(false, 50, 500)}),
            V{"ESC p 0 25 250 (drawer kick, pin 2, 50/500 ms)"});
  EXPECT_EQ(Lines(*printer, kTo, {session::kDrawerSelectAndInit}),
            (V{"ESC = 1 (peripheral: printer enabled)", "ESC @ (initialise)"}));
}

TEST(EscPos, ACommandCutAcrossBlocksIsToldOnceWhole) {
  auto printer = MakePortDecoder(Protocol::Printer);
  EXPECT_EQ(Lines(*printer, kTo, {"\x1Bp"sv, "\x01\x0A"sv}), V{});
  EXPECT_EQ(printer->Held(kTo), 4u);
  EXPECT_EQ(Lines(*printer, kTo, {"\x14ok"sv}),
            (V{"ESC p 1 10 20 (drawer kick, pin 5, 20/40 ms)", "text \"ok\""}));
  EXPECT_EQ(printer->Held(kTo), 0u);
  // An unfinished command at the end is reported, not lost.
  std::vector<std::string> lines = Lines(*printer, kTo, {"\x1D" "k\x02" "4006"sv});
  printer->Finish(kTo, lines);
  EXPECT_EQ(lines, V{"unfinished, 7 bytes held: 1D 6B 02 34 30 30 36"});
}

TEST(EscPos, ImagesAreCountedNotHeld) {
  auto printer = MakePortDecoder(Protocol::Printer);
  // GS v 0: 48 bytes a row (384 dots), 100 rows.
  std::vector<std::string> lines = Lines(*printer, kTo, {"\x1Dv0\x00\x30\x00\x64\x00"sv});
  const std::string row(48, '\x1B');  // image bytes that look like commands
  for (int i = 0; i < 100; ++i) {
    printer->Feed(kTo, row, lines);
    EXPECT_EQ(printer->Held(kTo), 0u);
  }
  printer->Feed(kTo, "\n", lines);
  EXPECT_EQ(lines, (V{"GS v 0 0 (raster image 384 x 100 dots, 4800 bytes)",
                      "LF (print and line feed)"}));
  lines = Lines(*printer, kTo, {"\x1B*\x21\x02\x00" "abc"sv});
  printer->Finish(kTo, lines);
  EXPECT_EQ(lines, V{"ESC * 33 (bit image, 24-dot, 2 dots wide, 6 bytes), unfinished: 3 of 6 "
                     "data bytes came"});
}

TEST(EscPos, BarcodesAndTheirCheckDigits) {
  auto printer = MakePortDecoder(Protocol::Printer);
  EXPECT_EQ(Lines(*printer, kTo, {"\x1Dk\x02" "4006381333931\x00\x1Dk\x43\x0d" "4006381333932"sv,
                                  "\x1DkI\x03{BA"sv}),
            (V{"GS k 2 (barcode EAN-13 \"4006381333931\", check digit 1 right)",
               "GS k 67 (barcode EAN-13 \"4006381333932\", check digit 2 wrong (should be 1))",
               "GS k 73 (barcode CODE128 \"{BA\")"}));
}

TEST(EscPos, StatusAnswersAreReadByTheirRequest) {
  auto printer = MakePortDecoder(Protocol::Printer);
  Lines(*printer, kTo, {"\x10\x04\x01\x10\x04\x02\x1Dr1\x1DI\x42"sv});
  EXPECT_EQ(Lines(*printer, kFrom, {"\x16\x36\x0C"sv, "_TM-T88V\x00"sv}),
            (V{"16 (printer status: online, drawer pin 3 high)",
               "36 (offline cause: cover open, stopped by paper end)",
               "0C (paper sensor: paper adequate, paper end)", "printer ID \"TM-T88V\""}));
  // Nothing asked: a status byte is told as such, automatic status by its shape.
  EXPECT_EQ(Lines(*printer, kFrom, {"\x12\x14\x00"sv, "\x0C\x00\x13\xAA"sv}),
            (V{"12 (real-time status answer; its request was not seen)",
               "14 00 0C 00 (automatic status: online, drawer pin 3 high, paper end)",
               "XOFF (buffer full)", "not recognised, 1 byte: AA"}));
}

TEST(EscPos, UnknownBytesAreReportedInRuns) {
  auto printer = MakePortDecoder(Protocol::Printer);
  EXPECT_EQ(Lines(*printer, kTo, {"\x1B\x01\x00\x7F" "A"sv}),
            (V{"not recognised, 4 bytes: 1B 01 00 7F", "text \"A\""}));
  // ESC D without its closing NUL within 32 tab stops is no command.
  const std::string tabs = "\x1B" "D" + std::string(40, '\x08');
  const V lines = Lines(*printer, kTo, {tabs});
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "not recognised, 1 byte: 1B");
  EXPECT_EQ(printer->Held(kTo), 0u);
  // Past the line limit the rest is decoded (the state goes on) but only counted.
  printer->SetLineLimit(2);
  EXPECT_EQ(Lines(*printer, kTo, {"a\nb\x01\x1B"sv}),
            (V{"text \"a\"", "LF (print and line feed)", "... 2 more decoded lines in this block"}));
  EXPECT_EQ(Lines(*printer, kTo, {"@"sv}), V{"ESC @ (initialise)"});
}

}  // namespace
}  // namespace veltra::decode
