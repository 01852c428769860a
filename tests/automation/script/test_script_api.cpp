// The script API on the loopback plug: what expect returns and consumes, matches
// across received blocks, hex and pattern forms, time-outs, modem lines, arguments
// and the outcomes.
#include "tests/automation/script/script_test_support.h"

namespace veltra::script::test {
namespace {

TEST(ScriptApi, ExpectMatchesAcrossBlocksAndConsumesUpToTheMatch) {
  const TScriptResult r = RunText(R"(
    local p = open("LOOPBACK", {baud = 115200})
    p:send("abc") ; sleep(0.05) ; p:send("def")   -- two blocks
    assert(p:expect("cd", 2) == "cd")
    assert(p:read(1) == "ef", "the rest stays for the next read")
    p:send_hex("02 41 42 03")
    local m = p:expect_hex("02 ?? ?? 03", 2)
    assert(m == "\2AB\3", m)
    p:send("weight 01234 g", CR)
    local all, grams = p:expect_pattern("weight (%d+) g\r", 2)
    assert(all == "weight 01234 g\r" and grams == "01234")
    p:send_asc("065 066 ")
    assert(p:expect(code("0x42"), 2) == "B")
    local none, why = p:expect("never", 0.05)
    assert(none == nil and why == "timeout")
    log("done", 1, true)
  )");
  EXPECT_EQ(r.Outcome, TScriptOutcome::Passed) << r.Message;
  EXPECT_NE(r.Log.find("done 1 true\n"), std::string::npos);
}

TEST(ScriptApi, ModemLinesFollowTheLoopbackPlug) {
  // The plug joins RTS to CTS and DTR to DSR and DCD.
  const TScriptResult r = RunText(R"(
    local p = open("LOOPBACK")
    local function settled(want)
      for _ = 1, 200 do
        local m = p:modem()
        if m.cts == want.cts and m.dsr == want.dsr and m.dcd == want.dcd then return true end
        sleep(0.01)
      end
    end
    p:rts(false) ; p:dtr(true)
    assert(settled{cts = false, dsr = true, dcd = true}, "RTS low")
    p:rts(true) ; p:dtr(false)
    assert(settled{cts = true, dsr = false, dcd = false}, "DTR low")
    p:send_break(0.01)
    p:configure{baud = 19200, parity = "even", data = 7}
    assert(p.name == "LOOPBACK")
  )");
  EXPECT_EQ(r.Outcome, TScriptOutcome::Passed) << r.Message;
}

TEST(ScriptApi, PassFailAndChecksDecideTheOutcome) {
  EXPECT_EQ(RunText("pass('fine')").Message, "fine");
  const TScriptResult failed = RunText("pcall(fail, 'no ACK') ; error('not reached')");
  EXPECT_EQ(failed.Outcome, TScriptOutcome::Failed);
  EXPECT_EQ(failed.Message, "no ACK");
  const TScriptResult checks = RunText("check(1 == 2, 'one')\ncheck(true)\ncheck(false, 'two')");
  EXPECT_EQ(checks.Outcome, TScriptOutcome::Failed);
  ASSERT_EQ(checks.Failures.size(), 2u);
  EXPECT_EQ(checks.Failures[1], "line 3: two");
  const TScriptResult args = RunText(
      "assert(arg[1] == 'x' and arg.rounds == '50' and arg[2] == 'rounds=50')", {"x", "rounds=50"});
  EXPECT_EQ(args.Outcome, TScriptOutcome::Passed) << args.Message;
}

}  // namespace
}  // namespace veltra::script::test
