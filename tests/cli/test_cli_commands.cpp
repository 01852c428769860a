// Commands that end by themselves: bad input, ports that cannot be opened, the
// checksum and the port list.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "cli/log_writer.h"
#include "cli_test_support.h"
#include "platform/virtual/virtual_ports.h"
#include "session/traffic_log_path.h"
#ifndef _WIN32
#include "tests/platform/fake_sysfs.h"
#endif

namespace veltra::cli::test {
namespace {

struct BadInput {
  std::vector<std::string> args;
  std::string named;  // what the one-line error must name
};

TEST(CliInput, BadInputIsOneLineNamingTheOptionWithStatus2) {
  const std::vector<BadInput> cases = {
      {{"monitor", "X", "--baud", "96OO"}, "--baud: '96OO'"},
      {{"monitor", "X", "--data", "9"}, "--data"},
      {{"monitor", "X", "--parity", "evn"}, "--parity: 'evn'"},
      {{"monitor", "X", "--stop", "3"}, "--stop"},
      {{"spy", "X", "Y", "--flow2", "cts"}, "--flow2: 'cts'"},
      {{"monitor", "X", "--event-char", "0x1G"}, "--event-char: '0x1G' is not a valid integer"},
      {{"monitor", "X", "--xon-char", "256"}, "--xon-char: 256 is not within the valid range"},
      {{"monitor", "X", "--report", "loud"}, "--report"},
      {{"monitor", "X", "--settings", "ComTest3"}, "--settings: 'ComTest3'"},
      {{"monitor", "X", "--timestamps=us"}, "--timestamps: 'us'"},
      {{"monitor", "X", "--events", "syslog"}, "--events: 'syslog'"},
      {{"monitor", "X", "--decode", "till"}, "--decode: 'till'"},
      {{"spy", "X", "Y", "--decode2", "ER650"}, "--decode2: 'ER650'"},
      {{"monitor"}, "PORT is required"},
      {{"spy", "X"}, "PORT2 is required"},
      {{"send", "X"}, "--text, --hex, --asc, --file"},
      {{"send", "X", "--hex", "48 6"}, "--hex: '6' has an odd number"},
      {{"send", "X", "--asc", "072 300"}, "--asc: '300'"},
      {{"send", "X", "--file", "/no/such/file"}, "--file: cannot read '/no/such/file'"},
      {{"scanner", "wake", "X"}, "scanner: 'wake'"},
      {{"drawer", "--on", "600"}, "--on"},
      {{"drawer", "--drawer", "3"}, "--drawer: '3'"},
      {{"checksum", "123"}, "checksum: '123'"},
      {{"monitor", "X", "--colour"}, "--colour"},
      {{"fly"}, "'fly' is not a command"},
  };
  for (const BadInput& c : cases) {
    const TResult r = RunCli(c.args);
    EXPECT_EQ(r.code, 2) << c.named << ": " << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("veltra-cli: ", 0), 0u) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;  // one line
    EXPECT_NE(r.err.find(c.named), std::string::npos) << r.err;
  }
}

TEST(CliInput, UnopenablePortGivesItsReasonAndStatus1) {
  const std::string file =
      (std::filesystem::temp_directory_path() / "veltra-cli-not-a-tty").string();
  std::ofstream(file) << "x";
  const std::pair<std::string, std::string> cases[] = {
      {"/nonexistent/ttyX", "cannot open /nonexistent/ttyX: No such device"},
      {file, "cannot open " + file + ": " + file + " is not a serial port"}};
  for (const auto& [port, reason] : cases) {
    const TResult r = RunCli({"monitor", port});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find(reason), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("at 112 Text: Error reopening Port"), std::string::npos) << r.err;
  }
  std::filesystem::remove(file);
}

TEST(CliCommands, ChecksumAsTheScalePageShowsIt) {
  EXPECT_EQ(RunCli({"checksum", "99"}).out, "KW: F336 CS Rot: 228E KW Rot: 9B79\n");
  const TResult replaced = RunCli({"checksum", "5"});
  EXPECT_EQ(replaced.code, 0);
  EXPECT_EQ(replaced.err, "veltra-cli: Random number invalid, replaced with 11\n");
  EXPECT_EQ(replaced.out, "KW: F336 CS Rot: 8E22 KW Rot: 799B\n");
}

#ifndef _WIN32  // a fake sysfs tree
TEST(CliCommands, ListShowsDevicesWithAliasesAndTheBuiltInPorts) {
  veltra::test::FakeMachine machine;
  machine.root.UsbAdapter("ttyUSB0", "0001", "usb-Silicon_Labs_CP2102-if00-port0");
  // A descriptor's bytes as sysfs hands them over: a control byte and one not UTF-8.
  machine.root.UsbAdapter("ttyUSB1", "A\x01\xff", "usb-Silicon_Labs_CP2102-if00-port1");
  const TResult text = RunCli({"list"});
  EXPECT_NE(
      text.out.find("ttyUSB0       serial    CP2102 USB to UART Bridge Controller, Silicon Labs "
                    "(10c4:ea60) serial 0001, cp210x\n"
                    "                        alias /dev/serial/by-id/usb-Silicon_Labs"),
      std::string::npos)
      << text.out;
  EXPECT_NE(text.out.find("LOOPBACK      built-in  built-in loopback"), std::string::npos);
  const TResult json = RunCli({"list", "--json"});
  EXPECT_EQ(json.code, 0);
  EXPECT_EQ(json.out.front(), '[');
  for (
      const char* field :
      {R"({"name": "ttyUSB0", "kind": "serial", "path": "/dev/ttyUSB0", "alias": "/dev/serial/by-id/)",
       R"("vendor_id": "10c4", "product_id": "ea60", "manufacturer": "Silicon Labs")",
       R"("serial_number": "0001", "driver": "cp210x"})",
       R"({"name": "SIM-SCALE", "kind": "built-in", "path": "", "alias": "", "description": ")"})
    EXPECT_NE(json.out.find(field), std::string::npos) << field << "\n" << json.out;
  const auto parsed = nlohmann::json::parse(json.out);  // throws on bad JSON
  EXPECT_EQ(parsed.at(1).at("serial_number"), "A\x01\xEF\xBF\xBD");
}
#endif

// The window's rule (one function for both): in the event log's folder, never on it.
TEST(CliCommands, TrafficLogGoesBesideTheEventLogAndNeverOnIt) {
  using session::TrafficLogPath;
  EXPECT_EQ(TrafficLogPath("logs/Veltra.log"), "logs/Veltra.txt");
  EXPECT_EQ(TrafficLogPath("a.b/spy.TXT"), "a.b/spy-traffic.txt");
  EXPECT_EQ(TrafficLogPath("m.l\xC3\xB3g"), "m.txt");  // characters, not bytes
  EXPECT_EQ(TrafficLogPath("caf\xC3\xA9s"), "caf\xC3\xA9s-traffic.txt");
  EXPECT_EQ(TrafficLogPath("d/.x"), "d/.x-traffic.txt");
  EXPECT_EQ(TrafficLogPath("x.t"), "x-traffic.txt");
  EXPECT_EQ(TrafficLogPath("d.log/"), "d.log/traffic.txt");
}

}  // namespace
}  // namespace veltra::cli::test
