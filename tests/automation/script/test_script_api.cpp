// The script API on the loopback plug: what expect returns and consumes, matches
// across received blocks, hex and pattern forms, time-outs, modem lines, arguments
// and the outcomes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "tests/automation/script/script_test_support.h"

namespace veltra::script::test {
namespace {

TEST(ScriptApi, ExpectMatchesAcrossBlocksAndConsumesUpToTheMatch) {
  const TScriptResult r = RunText(R"(
    local p = open("LOOPBACK", {baud = 115200})
    p:send("abc") ; sleep(0.05) ; p:send("def")   -- two blocks
    assert(p:expect("cd", 10) == "cd")
    assert(p:expect_pattern("^ef", 10) == "ef", "the rest stays for the next expect")
    p:send_hex("02 41 42 03")
    local m = p:expect_hex("02 ?? ?? 03", 10)
    assert(m == "\2AB\3", m)
    p:send("weight 01234 g", CR)
    local all, grams = p:expect_pattern("weight (%d+) g\r", 10)
    assert(all == "weight 01234 g\r" and grams == "01234")
    p:send_asc("065 066 ")
    assert(p:expect(code("0x42"), 10) == "B")
    local none, why = p:expect("never", 0.05)
    assert(none == nil and why == "timeout")
    log("done", 1, true)
  )");
  EXPECT_EQ(r.Outcome, TScriptOutcome::Passed) << r.Message;
  EXPECT_NE(r.Log.find("done 1 true\n"), std::string::npos);
}

TEST(ScriptApi, TraceReportsAndAWriteThatTimesOut) {
  // Nobody on the cable's other end: with RTS/CTS its CTS stays low and the write stalls.
  const TScriptResult r = RunText(R"(
    local a = open("NULL-MODEM-A", {flow = "rtscts", wto_char = 0, wto_extra = 100})
    a:trace()
    local ok, why = pcall(a.send, a, "abc")
    assert(not ok and why:find("send: NULL%-MODEM%-A wrote 0 of 3 bytes"), why)
    local b = open("NULL-MODEM-B", {flow = "rtscts"})
    a:send("xyz")   -- the stalled write is over: the next goes out
    assert(b:expect("xyz", 10))
    b:send(ACK)
    assert(a:expect(ACK, 10))
  )");
  EXPECT_EQ(r.Outcome, TScriptOutcome::Passed) << r.Message << "\n" << r.Log;
  for (const char* line : {"NULL-MODEM-A > abc\n", "NULL-MODEM-A > xyz\n", "NULL-MODEM-A < <06>\n",
                           "Text: Error write TimeOut\n"})
    EXPECT_NE(r.Log.find(line), std::string::npos) << line << " in\n" << r.Log;
  EXPECT_EQ(r.Log.find("NULL-MODEM-B >"), std::string::npos) << "only a traced port logs traffic";
  EXPECT_EQ(r.Log.find("Not all Bytes send"), std::string::npos) << "the send's error says it";
  EXPECT_NE(r.Log.find("\nNULL-MODEM-A: Code "), std::string::npos) << r.Log;
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

// A local TCP server that answers "pong" to "ping", once.
class TPingServer {
 public:
  TPingServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    ::bind(listener_, reinterpret_cast<sockaddr*>(&a), size);
    ::listen(listener_, 1);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &size);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] {
      pollfd p{listener_, POLLIN, 0};
      if (::poll(&p, 1, 10000) != 1) return;
      const int peer = ::accept(listener_, nullptr, nullptr);
      std::string got;
      char buffer[64];
      while (got.find("ping") == std::string::npos) {
        const ssize_t n = ::read(peer, buffer, sizeof buffer);
        if (n <= 0) break;
        got.append(buffer, static_cast<std::size_t>(n));
      }
      if (::write(peer, "pong", 4) != 4) got.clear();
      [[maybe_unused]] const ssize_t end =
          ::read(peer, buffer, sizeof buffer);  // the script closes
      ::close(peer);
    });
  }
  ~TPingServer() {
    thread_.join();
    ::close(listener_);
  }
  std::string Name() const { return "tcp://127.0.0.1:" + std::to_string(port_); }

 private:
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
};

TEST(ScriptApi, OpensPtysAndNetworkPorts) {
  TPingServer server;
  const TScriptResult tcp =
      RunText("local p = open(arg[1]) p:send('ping') assert(p:expect('pong', 5)) p:close()",
              {server.Name()});
  EXPECT_EQ(tcp.Outcome, TScriptOutcome::Passed) << tcp.Message;

  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master) | ::unlockpt(master), 0);
  std::thread far([master] {
    std::string got;
    char buffer[64];
    pollfd p{master, POLLIN, 0};
    while (got.find("ping") == std::string::npos && ::poll(&p, 1, 10000) == 1) {
      const ssize_t n = ::read(master, buffer, sizeof buffer);
      if (n <= 0) return;
      got.append(buffer, static_cast<std::size_t>(n));
    }
    if (::write(master, "pong", 4) != 4) return;
  });
  const TScriptResult pty = RunText(
      "local p = open(arg[1]) p:send('ping') assert(p:expect('pong', 5))", {::ptsname(master)});
  far.join();
  ::close(master);
  EXPECT_EQ(pty.Outcome, TScriptOutcome::Passed) << pty.Message;
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
