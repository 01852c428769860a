// spy: a relay over two pty pairs that is byte-exact both ways at full speed, and
// the log lines and line ends of a relayed block over virtual cables.
#include <gtest/gtest.h>

#include <random>

#include "cli_test_support.h"
#ifndef _WIN32
#include "tests/platform/test_posix_pty.h"
#endif

namespace veltra::cli::test {
namespace {

using engine::test::Cable;
#ifndef _WIN32
using veltra::test::Pty;
#endif

#ifndef _WIN32  // ptys
std::string RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(n, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

TEST(CliSpy, RelaysTwoPtyPairsByteExactBothWays) {
  Pty left, right;
  ASSERT_TRUE(left.ok() && right.ok());
  TCliRun run({"spy", left.slave(), right.slave(), "--flow", "rtscts", "-q"});
  ASSERT_TRUE(run.ErrHas("P2:Msg ", 5000ms));  // both ports opened
  constexpr std::size_t kBytes = 256 * 1024;
  const std::string toRight = RandomBytes(kBytes, 1), toLeft = RandomBytes(kBytes, 2);
  std::string atRight, atLeft;
  std::thread leftDevice([&] {
    left.Write(toRight);
    atLeft = left.Read(kBytes, 30000ms);
  });
  right.Write(toLeft);
  atRight = right.Read(kBytes, 30000ms);
  leftDevice.join();
  EXPECT_TRUE(atRight == toRight) << atRight.size() << " bytes arrived of " << kBytes;
  EXPECT_TRUE(atLeft == toLeft) << atLeft.size() << " bytes arrived of " << kBytes;
  EXPECT_EQ(run.Stop(), 0);
  EXPECT_EQ(run.Out(), "");
  EXPECT_NE(run.Err().find("; 0 bytes not forwarded\n"), std::string::npos) << run.Err();
}

// A pty fails every DTR, RTS and modem-status call; a pty user cannot act on an
// error for each, so it is one notice, on opening and closing alike.
TEST(CliPty, NoModemLinesIsOneNoticeNotAnErrorPerCall) {
  Pty device;
  ASSERT_TRUE(device.ok());
  TCliRun run({"monitor", device.slave()});
  ASSERT_TRUE(run.ErrHas("has no modem lines", 5000ms)) << run.Err();
  device.Write("hi\r");
  ASSERT_TRUE(run.OutHas(": hi.", 5000ms)) << run.Out();
  EXPECT_EQ(run.Stop(), 0);
  const std::string notice = device.slave() + " has no modem lines (a pseudo-terminal)";
  const std::size_t first = run.Err().find(notice);
  EXPECT_NE(first, std::string::npos) << run.Err();
  EXPECT_EQ(run.Err().find(notice, first + 1), std::string::npos) << run.Err();
  for (const char* place : {" at 601 ", " at 501 ", " at 9905 ", " at 602 ", " at 502 "})
    EXPECT_EQ(run.Out().find(place), std::string::npos) << place << run.Out();
  EXPECT_NE(run.Err().find(", 0 error reports"), std::string::npos) << run.Err();
}
#endif

TEST(CliSpy, LogsBothWaysWithTheWindowsPrefixesAndKeepsTheDataAsItIs) {
  for (const bool addCr : {false, true}) {
    Cable one, two;
    std::vector<std::string> args = {"spy", one.near, two.near, "--rto-extra", "20"};
    if (addCr) args.push_back("--cr");
    TCliRun run(args);
    ASSERT_TRUE(OpenedBy({&one, &two}));
    TFarEnd device1(one.far), device2(two.far);
    device1.Write("AB");
    EXPECT_EQ(device2.Read(addCr ? 3 : 2), addCr ? "AB\r" : "AB");
    device2.Write("C");
    EXPECT_EQ(device1.Read(addCr ? 2 : 1), addCr ? "C\r" : "C");
    ASSERT_TRUE(run.OutHas("C\n"));
    EXPECT_EQ(run.Stop(), 0);
    EXPECT_EQ(WithoutStamps(run.Out()),
              "P1:Rec  <stamp> :\n"
              " 41 42                   : AB      \n"
              "P2:Snd <stamp> :\n"
              "AB\n"
              "P2:Rec  <stamp> :\n"
              " 43                      : C       \n"
              "P1:Snd <stamp> :\n"
              "C\n");
  }
}

}  // namespace
}  // namespace veltra::cli::test
