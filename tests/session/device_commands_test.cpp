#include <gtest/gtest.h>

#include <string>

#include "session/device_commands.h"

namespace veltra::session {
namespace {

TEST(DeviceCommands, Er650FrameEndsWithTheComplementOfItsSum) {
  ASSERT_EQ(kEr650ReportRequest.size(), 24u);
  EXPECT_EQ(ComplementSum(kEr650ReportRequest.substr(0, 23)),
            static_cast<std::uint8_t>(kEr650ReportRequest[23]));
}

struct ChecksumCase {
  const char* text;
  bool replaced;
  const char* message;
};

class ScaleChecksum : public testing::TestWithParam<ChecksumCase> {};

TEST_P(ScaleChecksum, MessageForRandomNumber) {
  const TScaleChecksum c = ComputeScaleChecksum(GetParam().text);
  EXPECT_EQ(c.Replaced, GetParam().replaced);
  EXPECT_EQ(ScaleChecksumMessage(c), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    RandomNumbers, ScaleChecksum,
    testing::Values(ChecksumCase{"11", false, "KW: F336 CS Rot: 8E22 KW Rot: 799B"},
                    ChecksumCase{"99", false, "KW: F336 CS Rot: 228E KW Rot: 9B79"},
                    ChecksumCase{"-5", false, "KW: F336 CS Rot: 4711 KW Rot: B799"},
                    ChecksumCase{"00", false, "KW: F336 CS Rot: 4711 KW Rot: F336"},
                    ChecksumCase{"1", true, "KW: F336 CS Rot: 8E22 KW Rot: 799B"},
                    ChecksumCase{"", true, "KW: F336 CS Rot: 8E22 KW Rot: 799B"},
                    ChecksumCase{"9x", true, "KW: F336 CS Rot: 8E22 KW Rot: 799B"}));

TEST(ScaleChecksum, RotationsWrapWithinSixteenBits) {
  // Eight right rotations swap the two bytes.
  EXPECT_EQ(ComputeScaleChecksum("90").CSRot, 0x228E);
  EXPECT_EQ(ComputeScaleChecksum("08").KWRot, 0x36F3);
}

}  // namespace
}  // namespace veltra::session
