// send and the device tests over a virtual cable: the exact bytes, the exit status of
// a write held by CTS, and a port's saved settings.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "cli_test_support.h"
#include "session/device_commands.h"
#include "session/port_settings.h"

namespace veltra::cli::test {
namespace {

namespace fs = std::filesystem;
using engine::test::Cable;

struct Sent {
  std::vector<std::string> args;  // after the port
  std::string bytes;
};

TEST(CliSend, EveryFormSendsExactlyItsBytes) {
  const fs::path file = fs::temp_directory_path() / "veltra-cli-send.bin";
  std::ofstream(file, std::ios::binary) << std::string("\x00\xFF\r\n", 4);
  const std::vector<Sent> cases = {
      {{"send", "--text", "Hello"}, "Hello"},
      {{"send", "--hex", "48 65,6C:6c-6F0D"}, "Hello\r"},
      {{"send", "--asc", "072 101"}, "He"},
      {{"send", "--file", file.string()}, std::string("\x00\xFF\r\n", 4)},
      {{"send", "--text", "x", "--cr", "--lf"}, "x\r\n"},
      {{"scanner", "enable"}, "E\r"},
      {{"scanner", "beep", "--no-cr"}, "F"},
      {{"scale", "test"}, session::kScaleCommand + "\r"},
      {{"scale", "weight", "--no-cr"}, std::string("\x04\x05", 2)},
      {{"er650", "--no-cr"}, session::kEr650ReportRequest},
  };
  for (const Sent& c : cases) {
    Cable cable;
    TFarEnd far(cable.far);
    std::vector<std::string> args = c.args;
    args.insert(args.begin() + (c.args[0] == "send" || c.args[0] == "er650" ? 1 : 2), cable.near);
    args.insert(args.end(), {"--listen", "0"});
    const TResult r = RunCli(args);
    EXPECT_EQ(r.code, 0) << c.args[0] << " " << c.args[1] << "\n" << r.err;
    EXPECT_EQ(far.Read(c.bytes.size()), c.bytes) << c.args[0] << " " << c.args[1];
    EXPECT_EQ(r.out.rfind("P1:Snd ", 0), 0u) << r.out;
  }
  fs::remove(file);
}

TEST(CliSend, WriteHeldByCtsEndsWithStatus1) {
  Cable cable;  // nobody at the far end: CTS stays low
  const auto start = std::chrono::steady_clock::now();
  const TResult r =
      RunCli({"send", cable.near, "--flow", "rtscts", "--wto-extra", "100", "--text", "hello"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("at 9701 Text: Error write TimeOut"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("P1:Not all Bytes send"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("not all bytes sent to " + cable.near + ": the port took 0 of 5 bytes"),
            std::string::npos)
      << r.err;
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST(CliSend, SavedSettingsGiveThePortAndItsLine) {
  const fs::path home = fs::temp_directory_path() / "veltra-cli-settings";
  ::setenv("XDG_CONFIG_HOME", home.c_str(), 1);
  Cable cable, other;
  {
    engine::TOwnerCallQueue owner;
    engine::TSerialPort saved(owner);
    saved.SetCommPort(cable.near);
    saved.SetBaudRate(4800);
    saved.WriteSettings(session::kSettingsKey, session::kPort1Section);
  }
  TFarEnd far(cable.far, 4800);  // a rate mismatch would garble the bytes
  const TResult r = RunCli({"send", "--settings", "ComTest1", "--text", "x"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(far.Read(1), "x");
  TFarEnd elsewhere(other.far, 4800);  // an explicit port wins over the saved one
  EXPECT_EQ(RunCli({"send", other.near, "--settings", "ComTest1", "--text", "y"}).code, 0);
  EXPECT_EQ(elsewhere.Read(1), "y");
  ::unsetenv("XDG_CONFIG_HOME");
  fs::remove_all(home);
}

}  // namespace
}  // namespace veltra::cli::test
