#include <gtest/gtest.h>

#include "app/logic/hold_states.h"

namespace veltra::logic {
namespace {

constexpr std::uint8_t kCtlHold = 1 << 0, kXoffHold = 1 << 3, kEof = 1 << 5, kTxim = 1 << 6;
const TLamp kHoldLamps[] = {TLamp::CTSHold, TLamp::DSRHold, TLamp::RLSHold, TLamp::XOffHold,
                            TLamp::XOnSend};

TEST(HoldReport, TwoFlagsGiveOneTextInTableOrderAndTwoRedLamps) {
  const THoldReport r = HoldReport(kXoffHold | kCtlHold);
  EXPECT_EQ(r.Text,
            "Transmission is waiting for the CTS (clear-to-send) signal to be sent.\r\n"
            "Transmission is waiting because the XOFF character was received.\r\n");
  EXPECT_EQ(At(r.Images, TLamp::CTSHold), kLampBrightRed);
  EXPECT_EQ(At(r.Images, TLamp::XOffHold), kLampBrightRed);
  EXPECT_EQ(At(r.Images, TLamp::DSRHold), kLampBrightGreen);
  EXPECT_EQ(At(r.Images, TLamp::CTS), kNoChange);
}

TEST(HoldReport, FlagsWithoutLampReportButLeaveHoldLampsGreen) {
  const THoldReport r = HoldReport(kEof | kTxim);
  EXPECT_EQ(r.Text,
            "The end-of-file (EOF) character has been received.\r\n"
            "There is a character queued for transmission that has come to the communications "
            "device by way of the TransmitCommChar function.\r\n");
  for (TLamp lamp : kHoldLamps) EXPECT_EQ(At(r.Images, lamp), kLampBrightGreen);
  for (TLamp lamp : {TLamp::CTS, TLamp::DCD, TLamp::TxD, TLamp::RxD})
    EXPECT_EQ(At(r.Images, lamp), kNoChange);
}

TEST(HoldReport, NoFlagNoText) {
  const THoldReport r = HoldReport(0);
  EXPECT_TRUE(r.Text.empty());
  for (TLamp lamp : kHoldLamps) EXPECT_EQ(At(r.Images, lamp), kLampBrightGreen);
}

TEST(LineLamps, ShowPortLinesAndOutputBoxes) {
  TLineState s;
  s.CTS = s.DSR = true;
  s.DTRBox = true;
  const TLampImages images = LineLampImages(s);
  EXPECT_EQ(At(images, TLamp::CTS), kLampBrightRed);
  EXPECT_EQ(At(images, TLamp::DSR), kLampBrightRed);
  EXPECT_EQ(At(images, TLamp::DCD), kLampBrightGreen);
  EXPECT_EQ(At(images, TLamp::RI), kLampBrightGreen);
  EXPECT_EQ(At(images, TLamp::DTR), kLampBrightRed);
  EXPECT_EQ(At(images, TLamp::RTS), kLampBrightGreen);
  EXPECT_EQ(At(images, TLamp::TxD), kLampDarkGreen);
  EXPECT_EQ(At(images, TLamp::RxD), kLampDarkGreen);
  for (TLamp lamp : kHoldLamps) EXPECT_EQ(At(images, lamp), kNoChange);

  s.Break = true;
  EXPECT_EQ(At(LineLampImages(s), TLamp::TxD), kLampBrightRed);
}

TEST(ResetLamps, NeutralPicturesEverywhere) {
  const TLampImages images = ResetLampImages();
  for (TLamp lamp : {TLamp::CTS, TLamp::RTS, TLamp::DSR, TLamp::RI, TLamp::DTR, TLamp::DCD})
    EXPECT_EQ(At(images, lamp), kLampEmpty);
  EXPECT_EQ(At(images, TLamp::TxD), kLampDarkGreen);
  EXPECT_EQ(At(images, TLamp::RxD), kLampDarkGreen);
  for (TLamp lamp : kHoldLamps) EXPECT_EQ(At(images, lamp), kLampBrightGreen);
}

}  // namespace
}  // namespace veltra::logic
