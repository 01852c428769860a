#include "app/logic/port_choice.h"

#include <gtest/gtest.h>

namespace veltra::logic {
namespace {

// Without the simulated devices the two ports still start on different entries.
TEST(PortChoice, FallsBackToTwoDifferentEntries) {
  EXPECT_EQ(OutOfTheBoxPortIndex({"COM3", "COM4", "SIM-SCANNER", "sim-er650"}, false), 2);
  EXPECT_EQ(OutOfTheBoxPortIndex({"COM3", "COM4", "SIM-SCANNER", "sim-er650"}, true), 3);
  EXPECT_EQ(OutOfTheBoxPortIndex({"COM3", "COM4"}, false), 1);
  EXPECT_EQ(OutOfTheBoxPortIndex({"COM3", "COM4"}, true), 0);
  EXPECT_EQ(OutOfTheBoxPortIndex({"COM3"}, true), 0);
  EXPECT_EQ(OutOfTheBoxPortIndex({}, false), -1);
}

}  // namespace
}  // namespace veltra::logic
