// Bad scripts: one message with the line, and a stop that always ends the script,
// whatever it is doing.
#include <thread>

#include "tests/automation/script/script_test_support.h"

namespace veltra::script::test {
namespace {

using namespace std::chrono_literals;

TEST(ScriptErrors, NameTheFileAndLine) {
  const TScriptResult syntax = RunText("log('a')\n\nlocal x = = 1\n");
  EXPECT_EQ(syntax.Outcome, TScriptOutcome::Error);
  EXPECT_EQ(syntax.Line, 3);
  EXPECT_EQ(syntax.Message.rfind("test.lua:3:", 0), 0u) << syntax.Message;

  const TScriptResult runtime = RunText("local function f()\n  return nil + 1\nend\nf()\n");
  EXPECT_EQ(runtime.Line, 2);
  EXPECT_EQ(runtime.Message.rfind("test.lua:2:", 0), 0u) << runtime.Message;

  const TScriptResult api = RunText("\nopen('/dev/veltra-no-such-port')");
  EXPECT_EQ(api.Outcome, TScriptOutcome::Error);
  EXPECT_EQ(api.Line, 2);
  EXPECT_NE(api.Message.find("cannot open /dev/veltra-no-such-port"), std::string::npos);

  const TScriptResult bad = RunText("hex('0G')");
  EXPECT_EQ(bad.Message, "test.lua:1: 'G' is not a hex digit or a separator");
  EXPECT_EQ(RunText("error({})").Message, "test.lua:1: error (table)");
  EXPECT_EQ(RunText("os.exit(0)").Outcome, TScriptOutcome::Error);
  EXPECT_EQ(RunScript({"/nonexistent/x.lua", "", {}}).Outcome, TScriptOutcome::Error);
}

// Stops the script once it has shown `marker` as its progress, then waits for it.
TScriptResult StopWhileRunning(const std::string& text, const std::string& marker) {
  TScriptRunner runner;
  std::atomic<bool> there{false};
  runner.OnProgress = [&](const std::string& p) {
    there = there || p.find(marker) != std::string::npos;
  };
  runner.Start({"test.lua", text, {}});
  while (!there && runner.Running()) std::this_thread::sleep_for(1ms);
  const auto asked = std::chrono::steady_clock::now();
  runner.Stop();
  TScriptResult r = runner.Wait();
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 10s) << text;  // 600 s without the stop
  return r;
}

TEST(ScriptStop, EndsLoopsWaitsAndCatchers) {
  for (const auto& [text, marker] : std::initializer_list<std::pair<const char*, const char*>>{
           {"progress('loop') while true do end", "loop"},
           {"progress('loop') while true do pcall(function() while true do end end) end", "loop"},
           {"progress('loop') coroutine.wrap(function() while true do end end)()", "loop"},
           {"progress('loop') local t = os.time() + 600 repeat until os.time() > t", "loop"},
           {"sleep(600)", "sleep"},
           {"local p = open('LOOPBACK') p:expect('never', 600)", "expect"},
       }) {
    const TScriptResult r = StopWhileRunning(text, marker);
    EXPECT_EQ(r.Outcome, TScriptOutcome::Stopped) << text << ": " << r.Message;
    EXPECT_EQ(r.Message, "stopped");
  }
}

TEST(ScriptStop, BeforeTheScriptHasStarted) {
  TScriptRunner runner;
  runner.Start({"test.lua", "while true do end", {}});
  runner.Stop("timed out");
  EXPECT_EQ(runner.Wait().Message, "timed out");
}

}  // namespace
}  // namespace veltra::script::test
