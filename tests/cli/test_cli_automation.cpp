// send --seq and --triggers: a sequence's parts and waits on the line, a library
// that cannot be used refused in one line, and the stand-in scale made of
// triggers answering the scale tests on a virtual cable.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "session/device_commands.h"
#include "cli_test_support.h"

namespace veltra::cli::test {
namespace {

namespace fs = std::filesystem;
using engine::test::Cable;

std::string Library(const std::string& name, const std::string& text) {
  const fs::path file = fs::temp_directory_path() / name;
  std::ofstream(file) << text;
  return file.string();
}

const char* kSequences = R"({
  "sequences": [
    {"name": "Weight", "parts": [{"control": "EOT"}, {"wait": 300}, {"hex": "05"}, {"text": "!"}]}
  ]
})";

TEST(CliAutomation, SendSeqSendsThePartsWithTheirWaits) {
  const std::string file = Library("veltra-cli-seq.json", kSequences);
  Cable cable;
  TFarEnd far(cable.far);
  const auto start = std::chrono::steady_clock::now();
  const TResult r = RunCli({"send", cable.near, "--seq", "Weight", "--seq-file", file});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);  // the wait is kept
  EXPECT_EQ(far.Read(3), std::string("\x04\x05!"));
  // Two writes, each logged as sent.
  EXPECT_EQ(WithoutStamps(r.out), "P1:Snd <stamp> :\n\x04\nP1:Snd <stamp> :\n\x05!\n");
  fs::remove(file);
}

TEST(CliAutomation, ALibraryThatCannotBeUsedIsOneLineWithStatus2) {
  const std::string good = Library("veltra-cli-seq-good.json", kSequences);
  const std::string bad = Library("veltra-cli-seq-bad.json",
                                  "{\n  \"triggers\": [\n    {\"name\": \"t\", \"hex\": \"0G\"}]}");
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"send", "LOOPBACK", "--seq", "Nope", "--seq-file", good}, "--seq: no sequence named 'Nope'"},
      {{"send", "LOOPBACK", "--seq", "x", "--seq-file", bad},
       "--seq-file: " + bad + ":3: trigger \"t\": hex pattern: 'G' is not a hex digit or a separator"},
      {{"monitor", "LOOPBACK", "--triggers", bad}, "--triggers: " + bad + ":3:"},
      {{"monitor", "LOOPBACK", "--triggers", "/no/such.json"}, "--triggers: /no/such.json: no such file"},
  };
  for (const auto& [args, message] : cases) {
    const TResult r = RunCli(args);
    EXPECT_EQ(r.code, 2) << r.err;
    EXPECT_EQ(r.err.rfind("veltra-cli: " + message, 0), 0u) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
  }
  fs::remove(good);
  fs::remove(bad);
}

TEST(CliAutomation, TheStandInScaleOfTriggersAnswersTheScaleTests) {
  Cable cable;
  TCliRun monitor({"monitor", cable.near, "--rto-extra", "5", "--triggers",
                   VELTRA_EXAMPLES_DIR "/stand_in_scale.json"});
  ASSERT_TRUE(OpenedBy({&cable}));
  TFarEnd pos(cable.far);
  pos.Write(session::kScaleCommand + "\r");
  EXPECT_EQ(pos.Read(1), "\x06");
  pos.Write(session::kScaleWeightRequest);
  const std::string weight = "\x02" "02\x1B" "3\x1B" "01250\x1B" "000220\x1B" "000275\x03";
  EXPECT_EQ(pos.Read(weight.size()), weight);
  EXPECT_TRUE(monitor.OutHas("P1:Mark weight asked"));
  EXPECT_EQ(monitor.Stop(), 0);
  EXPECT_NE(monitor.Err().find("triggers: P1 \"price record\" 1, P1 \"other record\" 0, "
                               "P1 \"weight request\" 1"),
            std::string::npos)
      << monitor.Err();
}

}  // namespace
}  // namespace veltra::cli::test
