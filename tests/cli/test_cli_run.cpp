// veltra-cli run: the examples against the built-in devices, the exit statuses, the
// JUnit report, and a stop (Ctrl-C, --timeout) that ends a script in any state.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/cli/cli_test_support.h"

namespace veltra::cli::test {
namespace {

namespace fs = std::filesystem;

std::string Example(const char* name) {
  return std::string(VELTRA_EXAMPLES_DIR) + "/" + name;
}

fs::path WriteScript(const std::string& name, const std::string& text) {
  const fs::path path = fs::temp_directory_path() / ("veltra-cli-run-" + name);
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(CliRun, TheExamplesPassAgainstTheBuiltInDevices) {
  for (const char* example : {"scanner_check.lua", "scale_check.lua", "er650_check.lua"}) {
    // Time-outs for a slow machine; the devices answer within milliseconds.
    const TResult r = RunCli({"run", Example(example), "timeout=20"});
    EXPECT_EQ(r.code, 0) << example << "\n" << r.out << r.err;
    EXPECT_NE(r.out.find("PASS"), std::string::npos) << r.out;
  }
  const fs::path report = fs::temp_directory_path() / "veltra-cli-run-soak.xml";
  const TResult soak =
      RunCli({"run", Example("soak.lua"), "rounds=50", "timeout=20", "--junit", report.string()});
  EXPECT_EQ(soak.code, 0) << soak.out << soak.err;
  EXPECT_NE(soak.out.find("50 rounds: 0 without an answer, 0 wrong\nPASS: 50 rounds, 0 errors\n"),
            std::string::npos)
      << soak.out;
  EXPECT_NE(ReadFile(report).find("<testcase name=\"soak\" classname=\"veltra-cli run\""),
            std::string::npos);
}

TEST(CliRun, ExitStatusesAndTheReport) {
  const fs::path failing = WriteScript("fail.lua", "log('a<b')\nfail('no \"ACK\" & \\1')\n");
  const fs::path report = fs::temp_directory_path() / "veltra-cli-run-fail.xml";
  const TResult failed = RunCli({"run", failing.string(), "--junit", report.string()});
  EXPECT_EQ(failed.code, 1);
  EXPECT_EQ(failed.out, "a<b\nFAIL: no \"ACK\" & \x01\n");
  const std::string xml = ReadFile(report);
  EXPECT_NE(xml.find("<failure message=\"no &quot;ACK&quot; &amp; \\x01\" type=\"FAIL\">"),
            std::string::npos)
      << xml;
  EXPECT_NE(xml.find("<system-out>a&lt;b&#10;</system-out>"), std::string::npos) << xml;

  const fs::path broken = WriteScript("syntax.lua", "log('a')\nlocal = 1\n");
  const TResult error = RunCli({"run", broken.string(), "-q"});
  EXPECT_EQ(error.code, 2);
  EXPECT_EQ(error.out, "");
  EXPECT_EQ(error.err.rfind("veltra-cli: " + broken.string() + ":2: ", 0), 0u) << error.err;

  const fs::path looping = WriteScript("loop.lua", "while true do end\n");
  const TResult timedOut = RunCli({"run", looping.string(), "--timeout", "0.2"});
  EXPECT_EQ(timedOut.code, 1);
  EXPECT_EQ(timedOut.out, "STOPPED: timed out after 0.2 s\n");
  EXPECT_EQ(RunCli({"run"}).code, 2);

  const fs::path args = WriteScript("args.lua", "log(arg[1], arg[2], arg[3], arg.n)\n");
  EXPECT_EQ(RunCli({"run", args.string(), "n=3", "-q", "--", "-v", "--junit"}).out, "PASS\n");
  EXPECT_EQ(RunCli({"run", args.string(), "n=3", "--", "-v", "--junit"}).out,
            "n=3 -v --junit 3\nPASS\n");
}

TEST(CliRun, InterruptEndsAScriptInsideExpect) {
  const fs::path waiting =
      WriteScript("wait.lua", "local p = open('LOOPBACK')\nlog('waiting')\np:expect('x', 600)\n");
  TCliRun run({"run", waiting.string()});
  ASSERT_TRUE(run.OutHas("waiting\n", 30000ms));
  EXPECT_EQ(run.Stop(), 1);
  EXPECT_EQ(run.Out(), "waiting\nSTOPPED: interrupted\n");
}

}  // namespace
}  // namespace veltra::cli::test
