// monitor over a virtual cable: blocks, line errors, the event character, comm
// events and reports, the "Save Logs" files, time stamps, a terminal, the summary.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli_test_support.h"
#include "tests/platform/rfc2217_peer.h"

namespace veltra::cli::test {
namespace {

namespace fs = std::filesystem;
using engine::test::Cable;

std::string FileBytes(const fs::path& path) {
  std::stringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}

std::string CrLf(const std::string& lines) {
  std::string converted;
  for (char c : lines) converted += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return converted;
}

// Quick cuts, and 0x01 as the event character so NUL bytes in the data cut nothing.
std::vector<std::string> Monitor(const Cable& cable, std::vector<std::string> more) {
  std::vector<std::string> args = {"monitor", cable.near,     "--rto-extra",
                                   "20",      "--event-char", "0x01"};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

TEST(CliMonitor, ShowsWhatThePanesShowAndLogsItAsSaveLogsDoes) {
  Cable cable;
  const fs::path dir = fs::temp_directory_path() / "veltra-cli-monitor";
  fs::create_directories(dir);
  TCliRun run(Monitor(cable, {"--log", (dir / "m.log").string()}));
  ASSERT_TRUE(OpenedBy({&cable}));
  TFarEnd far(cable.far);
  far.Write("ABCDEFGHI");
  ASSERT_TRUE(run.OutHas(" 49                      : I       \n"));
  cable.Far()->CorruptNextBytes(1, win::CE_FRAME);  // one byte: bytes with errors come one by one
  far.Write("!");
  ASSERT_TRUE(run.OutHas(" 21                      : !       \n"));
  far.Write(std::string("\x1B\x00 \x80\xFF\x01", 6));
  ASSERT_TRUE(run.OutHas("P1:Msg "));
  ASSERT_TRUE(run.OutHas(" 1B 00 20 80 FF 01       : .. \x80\xFF.  \n"));
  EXPECT_EQ(run.Stop(), 0);

  EXPECT_EQ(WithoutStamps(run.Out()),
            "P1:Rec  <stamp> :\n"
            " 41 42 43 44 45 46 47 48 : ABCDEFGH\n"
            " 49                      : I       \n"
            "P1:RecX <stamp> :\n"
            " 21                      : !       \n"
            "P1:Msg <stamp> : RxEventCharEvent occours\n"
            "P1:Rec  <stamp> :\n"
            " 1B 00 20 80 FF 01       : .. \x80\xFF.  \n");
  const std::string err = WithoutStamps(run.Err());
  EXPECT_NE(err.find("P1:Msg  <stamp> :ComEvent"), std::string::npos) << err;
  EXPECT_NE(err.find("ended after"), std::string::npos) << err;
  EXPECT_NE(err.find(": 16 bytes in 3 blocks, 1 with line errors, 0 error reports\n"),
            std::string::npos)
      << err;
  // The files: the traffic beside the event log, CR LF, bytes as received.
  EXPECT_EQ(FileBytes(dir / "m.txt"), CrLf(run.Out()));
  const std::string events = FileBytes(dir / "m.log");
  EXPECT_NE(events.find(" :ComEvent"), std::string::npos);
  EXPECT_NE(events.find("Msg start deactivating Port\r\n"), std::string::npos);
  EXPECT_EQ(events.find("ended after"), std::string::npos);  // the summary is not a pane line
  fs::remove_all(dir);
}

TEST(CliMonitor, EventsInlineAndMillisecondStamps) {
  Cable cable;
  TCliRun run(Monitor(cable, {"--events", "inline", "--timestamps=ms"}));
  ASSERT_TRUE(OpenedBy({&cable}));
  TFarEnd far(cable.far);
  far.Write("x");
  ASSERT_TRUE(run.OutHas(" 78                      : x       \n"));
  EXPECT_EQ(run.Stop(), 0);
  const std::string out = run.Out();
  EXPECT_NE(out.find("at 110 Text: Msg start reactivating Port\n"), std::string::npos) << out;
  EXPECT_TRUE(
      std::regex_search(out, std::regex(R"(P1:Rec  \d\d\.\d\d\.\d\d \d\d:\d\d:\d\d\.\d\d\d :)")))
      << out;
}

// A network port goes by its name as a local one does; a refused connection is told
// in the words that name the server.
TEST(CliMonitor, NetworkPortByNameShowsWhatTheServerSendsOrWhyItCannotOpen) {
  veltra::test::Rfc2217Peer server(veltra::test::Rfc2217Peer::Mode::kRaw);
  server.Send({'H', 'E', 'L', 'L', 'O'});  // goes out once the monitor connects
  TCliRun run({"monitor", server.Name("tcp"), "--events", "off"});
  ASSERT_TRUE(run.OutHas(" 48 45 4C 4C 4F          : HELLO   \n", 10000ms)) << run.Err();
  EXPECT_EQ(run.Stop(), 0);

  int port = 0;
  const veltra::test::TestSocket closed = veltra::test::LoopbackTcp(false, &port);
  TCliRun refused({"monitor", "tcp://127.0.0.1:" + std::to_string(port), "--events", "off"});
  EXPECT_NE(refused.Wait(), 0);
  EXPECT_NE(refused.Err().find("127.0.0.1:" + std::to_string(port) + " refused the connection"),
            std::string::npos)
      << refused.Err();
  veltra::test::CloseTestSocket(closed);
}

TEST(CliMonitor, TerminalGetsNoControlBytesAndAStatusLine) {
  Cable cable;
  TCliRun run(Monitor(cable, {"--report", "nothing"}), /*terminal=*/true);
  ASSERT_TRUE(OpenedBy({&cable}));
  TFarEnd far(cable.far);
  far.Write("\x9B");  // C1 CSI: a terminal would start an escape sequence
  ASSERT_TRUE(run.OutHas(" 9B                      : .       \n"));
  ASSERT_TRUE(run.ErrHas("P1 in 1 B"));
  EXPECT_EQ(run.Stop(), 0);
  EXPECT_EQ(run.Out().find('\x9B'), std::string::npos);
}

// --decode: the same lines as without it, and decoded lines under each block; the
// printer's automatic status cut across two blocks is told once, when whole.
TEST(CliMonitor, DecodedLinesUnderTheBlocksAndNothingElseChanged) {
  Cable plain, decoded;
  TCliRun without(Monitor(plain, {"--events", "off"}));
  TCliRun with(Monitor(decoded, {"--events", "off", "--decode", "printer"}));
  ASSERT_TRUE(OpenedBy({&plain, &decoded}));
  TFarEnd farPlain(plain.far), farDecoded(decoded.far);
  const std::string blocks[] = {std::string("\x16\xAA\x14\x00", 4), std::string("\x0C\x00", 2)};
  for (const std::string& block : blocks) {
    farPlain.Write(block);
    farDecoded.Write(block);
    const std::string dumped = block.size() == 4 ? " 16 AA 14 00 " : " 0C 00 ";
    ASSERT_TRUE(without.OutHas(dumped));
    ASSERT_TRUE(with.OutHas(dumped));
  }
  ASSERT_TRUE(with.OutHas("  >> 14 00 0C 00 (automatic status: online, drawer pin 3 high, paper end)\n"));
  without.Stop();
  with.Stop();
  // The decoded run's lines without its decoded ones, headers without their stamps.
  const auto undecoded = [](const std::string& out) {
    std::string kept;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
      if (!line.starts_with("  >> ")) kept += (line.starts_with("P1:") ? line.substr(0, 8) : line) + "\n";
    return kept;
  };
  EXPECT_EQ(undecoded(with.Out()), undecoded(without.Out()));
  EXPECT_NE(with.Out().find("  >> 16 (real-time status answer; its request was not seen)\n"
                            "  >> not recognised, 1 byte: AA\n"),
            std::string::npos)
      << with.Out();
}

}  // namespace
}  // namespace veltra::cli::test
