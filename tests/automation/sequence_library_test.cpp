// Sequences and the library file: the bytes the parts give, the file's round trip,
// one clear message with the line for a bad file, the settings' file checks.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "automation/library.h"

namespace veltra::automation {
namespace {

using std::chrono::milliseconds;

TSequence Parts(std::vector<TSequencePart> parts) {
  return TSequence{"s", 1, "", std::move(parts)};
}

TEST(Sequence, PartsUseTheCommandSendersSyntaxAndWaitsSplitTheWrites) {
  const TSequence s = Parts({{TPartKind::Control, "EOT STX"},
                             {TPartKind::Text, "01"},
                             {TPartKind::Code, "0x1B"},
                             {TPartKind::Wait, "", milliseconds(20)},
                             {TPartKind::Wait, "", milliseconds(5)},
                             {TPartKind::Asc, "048 048 027"},
                             {TPartKind::Hex, "03:0D"}});
  const std::vector<TSendStep> steps = SendSteps(s);
  ASSERT_EQ(steps.size(), 2u);
  EXPECT_EQ(steps[0].WaitBefore, milliseconds(0));
  EXPECT_EQ(steps[0].Bytes, std::string("\x04\x02" "01\x1B"));
  EXPECT_EQ(steps[1].WaitBefore, milliseconds(25));
  EXPECT_EQ(steps[1].Bytes, std::string("00\x1B\x03\x0D"));
}

TEST(Sequence, BadPartsSayWhatIsWrong) {
  auto why = [](TPartKind kind, const std::string& value) {
    try {
      PartBytes({kind, value});
    } catch (const TAutomationError& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(why(TPartKind::Hex, "0G"), "'G' is not a hex digit or a separator");
  EXPECT_EQ(why(TPartKind::Asc, "004 300"), "'300' is not a code from 000 to 255 (three characters, one separator)");
  EXPECT_EQ(why(TPartKind::Control, "EOT BOGUS"), "'BOGUS' is not a control character name (NUL..US, SP, DEL)");
  EXPECT_EQ(why(TPartKind::Code, "256"), "256 is not within the valid range of 0..255");
}

const char* kLibrary = R"({
  "sequences": [
    {
      "name": "Weight",
      "port": 2,
      "key": "Ctrl+2",
      "parts": [
        {"control": "STX"},
        {"text": "0.125 kg \u00b5"},
        {"wait": 50},
        {"hex": "03"}
      ]
    }
  ],
  "triggers": [
    {
      "name": "poll",
      "hex": "04 ?5",
      "send": "Weight",
      "delay": 10,
      "mark": "asked",
      "count": true
    },
    {
      "name": "frame",
      "port": 2,
      "regex": "\\x02[0-9]+\\x03",
      "window": 64,
      "once": true,
      "stop_recording": true,
      "sound": true,
      "max_rate": 5,
      "enabled": false
    }
  ]
}
)";

TEST(Library, ReadsEveryFieldAndWritesWhatItRead) {
  const TLibrary lib = ParseLibrary(kLibrary);
  ASSERT_EQ(lib.Sequences.size(), 1u);
  const TSequence& s = lib.Sequences[0];
  EXPECT_EQ(s.Port, 2);
  EXPECT_EQ(s.Shortcut, "Ctrl+2");
  EXPECT_EQ(SequenceBytes(s), std::string("\x02" "0.125 kg \xB5\x03"));  // Latin-1
  ASSERT_EQ(lib.Triggers.size(), 2u);
  EXPECT_EQ(lib.Triggers[0].Pattern.Kind, TPatternKind::Hex);
  EXPECT_EQ(lib.Triggers[0].Delay, milliseconds(10));
  EXPECT_EQ(lib.Triggers[1].Pattern.Window, 64u);
  EXPECT_FALSE(lib.Triggers[1].Enabled);
  EXPECT_TRUE(lib.Triggers[1].Once && lib.Triggers[1].StopRecording && lib.Triggers[1].Sound);
  EXPECT_EQ(lib.Triggers[1].MaxRate, 5);
  // Written and read again, nothing changes; written again, the text is the same.
  const std::string text = FormatLibrary(lib);
  EXPECT_EQ(FormatLibrary(ParseLibrary(text)), text);
  EXPECT_NE(text.find("{\"text\": \"0.125 kg \u00b5\"}"), std::string::npos) << text;
}

TEST(Library, AFaultIsOneMessageWithItsLine) {
  struct Case {
    std::string text;
    int line;
    std::string message;
  };
  const std::string head = "{\n  \"sequences\": [\n    {\"name\": \"A\",\n     \"parts\": [\n";
  const Case cases[] = {
      {head + "       {\"hex\": \"02 3\"}]}]}", 5, "sequence \"A\", part 1 (hex): '3' has an odd number of digits"},
      {head + "       {\"text\": \"x\"},\n       {\"pause\": 5}]}]}", 6, "sequence \"A\", part 2: \"pause\" is not one of text, hex, asc, control, code, wait"},
      {head + "       {\"text\": \"x\"}]\n     ,}]}", 6, "syntax error while parsing object key - unexpected '}'; expected string literal"},
      {head + "       {\"text\": \"\u20ac\"}]}]}", 5, "sequence \"A\", part 1 (text): a character beyond Latin-1 (U+00FF): write it as hex"},
      {"{\"triggers\": [\n {\"name\": \"t\", \"text\": \"x\",\n  \"send\": \"nothing\"}]}", 2, "trigger \"t\": it sends \"nothing\", which is not a sequence here"},
      {"{\"triggers\": [\n {\"name\": \"t\", \"text\": \"x\"},\n {\"name\": \"t\", \"hex\": \"01\"}]}", 3, "two triggers are named \"t\""},
      {"{\"triggers\": [\n {\"name\": \"t\",\n  \"regex\": \"(\"}]}", 2, "trigger \"t\": regex pattern: missing ): ("},
      {"{\"sequence\": []}", 1, "the library: \"sequence\" is not a field of it"},
  };
  for (const Case& c : cases) {
    try {
      ParseLibrary(c.text);
      ADD_FAILURE() << "no error for " << c.text;
    } catch (const TLibraryError& e) {
      EXPECT_EQ(e.Line(), c.line) << c.text;
      EXPECT_EQ(std::string(e.what()), c.message) << c.text;
    }
  }
}

class LibraryFile : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto name = "veltra_seq_" + std::to_string(std::random_device{}()) + "_" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name();
    const auto dir = std::filesystem::temp_directory_path() / name;
    ASSERT_TRUE(std::filesystem::create_directory(dir));
    dir_ = dir.generic_string();
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  std::string Why(const std::string& path) {
    try {
      LoadLibraryFile(path);
    } catch (const TLibraryError& e) {
      return e.what();
    }
    return "loaded";
  }
  std::string dir_;
};

TEST_F(LibraryFile, SavedAndLoadedInOneStepAndRefusedAsTheSettingsAre) {
  const std::string path = dir_ + "/sub/sequences.json";
  TLibrary lib = ParseLibrary(kLibrary);
  SaveLibraryFile(path, lib);
  EXPECT_EQ(FormatLibrary(LoadLibraryFile(path)), FormatLibrary(lib));
  EXPECT_EQ(LoadLibraryFile(dir_ + "/none.json", true).Sequences.size(), 0u);
  EXPECT_EQ(Why(dir_ + "/none.json"), dir_ + "/none.json: no such file");

#ifndef _WIN32  // no FIFOs there
  const std::string fifo = dir_ + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(Why(fifo), fifo + ": not a regular file of at most 4 MiB");  // and does not block
  EXPECT_EQ(Why("/dev/null"), "/dev/null: not a regular file of at most 4 MiB");
#endif
  const std::string big = dir_ + "/big.json";
  std::ofstream(big) << std::string((4u << 20) + 1, ' ');
  EXPECT_EQ(Why(big), big + ": not a regular file of at most 4 MiB");

  const std::string bad = dir_ + "/bad.json";
  std::ofstream(bad) << "{\n\"sequences\": [\n  {\"name\": \"x\", \"parts\": [{\"wait\": -1}]}]}";
  EXPECT_EQ(Why(bad), bad + ":3: sequence \"x\", part 1 (wait, ms) is a whole number from 0 to 600000");
}

}  // namespace
}  // namespace veltra::automation
