#include <gtest/gtest.h>

#include "session/device_commands.h"
#include "session/dle_pair.h"

namespace veltra::session {
namespace {

// The cases the window's CTS tests cannot pin down: a DLE that leaves without its line
// end, and a refused DLE.
TEST(DlePair, PartnerGoesOnlyAfterAWholeDle) {
  TDlePair cut(kACK, "ACK");
  EXPECT_EQ(cut.Byte(), kDLE);
  EXPECT_FALSE(cut.WriteEnded(1, 2));  // DLE out, CR not
  EXPECT_TRUE(cut.LastLeft());
  EXPECT_TRUE(cut.Done());
  EXPECT_EQ(cut.Status(), "DEL sent + ACK not sent ");

  TDlePair refused(kNAK, "NAK");
  EXPECT_FALSE(refused.WriteEnded(0, 1));
  EXPECT_FALSE(refused.LastLeft());
  EXPECT_EQ(refused.Status(), "DEL not sent + NAK not sent ");

  TDlePair whole(kNAK, "NAK");
  EXPECT_EQ(whole.Status(), "DEL waiting ");
  EXPECT_TRUE(whole.WriteEnded(2, 2));
  EXPECT_EQ(whole.Byte(), kNAK);
  EXPECT_EQ(whole.Status(), "DEL sent + NAK waiting ");
  EXPECT_FALSE(whole.WriteEnded(2, 2));
  EXPECT_EQ(whole.Status(), "DEL sent + NAK sent ");
}

}  // namespace
}  // namespace veltra::session
