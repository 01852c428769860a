// The port session on virtual ports, without Qt: what it logs for a received block,
// spy forwarding between two sessions, sends and their completion, short writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/core/comm_api.h"
#include "session/decoded_lines.h"
#include "session/hex_dump.h"
#include "session/port_session.h"
#include "session/session_thread.h"
#include "tests/engine/port_test_support.h"
#include "tests/platform/far_end_open.h"

namespace veltra::session {
namespace {

using namespace std::chrono_literals;

// Every entry with its kind, headers without their time stamp.
struct TRecordingSink : TLogSink {
  std::vector<std::string> Lines;
  std::string Header(std::string_view prefix) override { return std::string(prefix) + "@"; }
  void Traffic(std::string_view e) override { Lines.push_back("T " + std::string(e)); }
  void Dump(std::string_view b) override { Lines.push_back("D " + DumpText(b)); }
  void Event(std::string_view e) override { Lines.push_back("E " + std::string(e)); }
  void Report(std::string_view e) override { Lines.push_back("R " + std::string(e)); }
  bool Has(const std::string& line) const {
    return std::find(Lines.begin(), Lines.end(), line) != Lines.end();
  }
  // The traffic entries and dumps, without the port's own reports and events.
  std::vector<std::string> TrafficLines() const {
    std::vector<std::string> traffic;
    for (const std::string& line : Lines)
      if (line[0] == 'T' || line[0] == 'D') traffic.push_back(line);
    return traffic;
  }
};

// A device on the far end of a virtual cable.
struct TFarDevice {
  engine::test::Cable Cable{false};
  win::HANDLE Handle = testing::OpenFarEnd(Cable.far, 9600);
  ~TFarDevice() { win::CloseHandle(Handle); }
  void Write(const std::string& bytes) {
    win::DWORD written = 0;
    win::WriteFile(Handle, bytes.data(), static_cast<win::DWORD>(bytes.size()), &written, nullptr);
  }
  std::string Read() {
    char buffer[4096];
    win::DWORD got = 0;
    win::ReadFile(Handle, buffer, sizeof buffer, &got, nullptr);
    return std::string(buffer, got);
  }
};

struct TSessionBench {
  engine::TOwnerCallQueue Calls;
  TRecordingSink Sink;
  TFarDevice Dev1, Dev2;
  TPortSession S1{Calls, kPort1Prefixes, Sink}, S2{Calls, kPort2Prefixes, Sink};

  bool Open(TPortSession& s, const std::string& name) {
    s.Port().SetCommPort(name);
    s.Port().SetRTOExtraDelayTime(5);
    // A loaded machine may run the worker late: a write must not time out short.
    if (s.Port().XTOAuto()) {
      s.Port().SetXTOAuto(false);
      s.Port().SetWTOExtraDelayTime(30000);
    }
    std::string why;
    return s.Open(&why);
  }
  // Serves the owner calls while reading from `dev` until `count` bytes came (line
  // ends not counted when `withoutEnds`).
  std::string ReadUntil(TFarDevice& dev, std::size_t count, bool withoutEnds = false) {
    std::string got;
    Calls.PumpUntil(
        [&] {
          got += dev.Read();
          const auto ends = withoutEnds ? std::count(got.begin(), got.end(), '\r') +
                                              std::count(got.begin(), got.end(), '\n')
                                        : 0;
          return got.size() - static_cast<std::size_t>(ends) >= count;
        },
        20s);
    return got;
  }
};

// Each block (the line may cut "Hello" in two): header, dump, the dump observers
// (their lines stand under the dump), then the block observers.
TEST(PortSession, LogsAReceivedBlockAndCallsTheObserversInOrder) {
  TSessionBench b;
  ASSERT_TRUE(b.Open(b.S1, b.Dev1.Cable.near));
  std::vector<std::string> seen, expected, expectedLines;
  b.S1.AddDumpObserver([&](TPortSession& s, std::string_view block, bool errors) {
    EXPECT_EQ(&s, &b.S1);
    EXPECT_FALSE(errors);
    seen.push_back("dump " + std::string(block) + " after " + b.Sink.Lines.back());
    expected.push_back("dump " + std::string(block) + " after D " + DumpText(block));
    expected.push_back("block " + std::string(block));
    expectedLines.push_back("T P1:Rec  @");
    expectedLines.push_back("D " + DumpText(block));
  });
  const int id = b.S1.AddBlockObserver([&](TPortSession&, std::string_view block, bool) {
    seen.push_back("block " + std::string(block));
  });
  b.Dev1.Write("Hello");
  ASSERT_TRUE(b.Calls.PumpUntil([&] { return b.S1.Counters().BytesIn == 5; }, 20s));
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(b.Sink.TrafficLines(), expectedLines);

  b.S1.RemoveBlockObserver(id);
  b.Dev1.Write("x");
  ASSERT_TRUE(b.Calls.PumpUntil([&] { return b.S1.Counters().BytesIn == 6; }, 20s));
  EXPECT_EQ(seen.size(), expected.size() - 1);  // the dump observer only
}

// Decoded lines stand under the blocks a port is handed: forwarded (told once, when a
// command cut across blocks is whole) and sent; none after Detach.
TEST(PortSession, DecodedLinesUnderTheBlocksSentToTheDevice) {
  TSessionBench b;
  TPortDecoding printer;
  printer.SetProtocol(decode::Protocol::Printer);
  printer.Attach(b.S2, b.Sink);
  ASSERT_TRUE(b.Open(b.S1, b.Dev1.Cable.near));
  ASSERT_TRUE(b.Open(b.S2, b.Dev2.Cable.near));
  b.S1.ForwardTo(&b.S2);
  const std::string decoded = "T   >> ESC @ (initialise)";
  const auto count = [&] { return std::count(b.Sink.Lines.begin(), b.Sink.Lines.end(), decoded); };
  b.Dev1.Write("\x1B");
  ASSERT_TRUE(b.Calls.PumpUntil([&] { return b.S1.Counters().BytesIn == 1; }, 20s));
  b.Dev1.Write("@");
  ASSERT_TRUE(b.Calls.PumpUntil([&] { return b.S1.Counters().BytesIn == 2; }, 20s));
  EXPECT_EQ(count(), 1);
  const auto at = std::find(b.Sink.Lines.begin(), b.Sink.Lines.end(), decoded);
  ASSERT_GE(at - b.Sink.Lines.begin(), 2);
  EXPECT_EQ(*(at - 1), "T @");
  EXPECT_EQ(*(at - 2), "T P2:Snd @");

  bool done = false;
  b.S2.Send("\x1B@", [&](const TSendResult&) { done = true; });
  EXPECT_EQ(b.Sink.Lines.back(), decoded);
  EXPECT_EQ(count(), 2);
  ASSERT_TRUE(b.Calls.PumpUntil([&] { return done; }, 20s));

  printer.Detach();
  done = false;
  b.S2.Send("\x1B@", [&](const TSendResult&) { done = true; });
  ASSERT_TRUE(b.Calls.PumpUntil([&] { return done; }, 20s));
  EXPECT_EQ(count(), 2);
}

// Blocks arrive faster than the other port writes them: none is refused or lost,
// each goes out once, in order, with the line end of the port it leaves by.
TEST(PortSession, SpyForwardsEveryBlockInOrderBothWays) {
  TSessionBench b;
  ASSERT_TRUE(b.Open(b.S1, b.Dev1.Cable.near));
  ASSERT_TRUE(b.Open(b.S2, b.Dev2.Cable.near));
  b.S1.ForwardTo(&b.S2);
  b.S2.ForwardTo(&b.S1);
  b.S2.SetLineEnd("\r\n");
  std::string sent;
  for (int i = 0; i < 40; ++i) {
    const std::string block = "block" + std::to_string(i) + ";";
    b.Dev1.Write(block);
    sent += block;
    b.Calls.PumpFor(2ms);
  }
  std::string got = b.ReadUntil(b.Dev2, sent.size(), /*withoutEnds=*/true);
  EXPECT_TRUE(b.Calls.PumpUntil([&] { return b.S2.WritesIdle(); }, 20s));
  const std::size_t blocks = b.S1.Counters().Blocks;
  got += b.ReadUntil(b.Dev2, sent.size() + 2 * blocks - got.size());
  std::string withoutEnds;
  for (char c : got)
    if (c != '\r' && c != '\n') withoutEnds += c;
  EXPECT_EQ(withoutEnds, sent);
  EXPECT_EQ(std::count(got.begin(), got.end(), '\r'), static_cast<long>(blocks));
  EXPECT_EQ(std::count(got.begin(), got.end(), '\n'), static_cast<long>(blocks));
  EXPECT_EQ(b.S2.BytesNotWritten(), 0u);
  EXPECT_EQ(b.S2.Counters().ShortWrites + b.S2.Counters().FailedWrites, 0u);
  EXPECT_TRUE(b.Sink.Has("T P2:Snd @"));

  b.Dev2.Write("back");  // no line end on port 1
  EXPECT_EQ(b.ReadUntil(b.Dev1, 4), "back");
}

TEST(PortSession, SendReportsWhenItsBytesAreWritten) {
  TSessionBench b;
  ASSERT_TRUE(b.Open(b.S1, b.Dev1.Cable.near));
  b.S1.SetLineEnd("\r");
  std::vector<TSendResult> done;
  b.S1.Send("one", [&](const TSendResult& r) { done.push_back(r); });
  b.S1.Send("two", [&](const TSendResult& r) { done.push_back(r); });  // waits for the first
  // Sequences and trigger answers carry their own line ends.
  b.S1.SendAsIs("raw", [&](const TSendResult& r) { done.push_back(r); });
  EXPECT_EQ(b.ReadUntil(b.Dev1, 11), "one\rtwo\rraw");
  ASSERT_TRUE(b.Calls.PumpUntil([&] { return done.size() == 3; }, 20s));
  EXPECT_TRUE(done[0].Whole && done[1].Whole && done[2].Whole);
  EXPECT_EQ(b.S1.Counters().BytesOut, 11u);
  EXPECT_EQ(b.Sink.TrafficLines(), (std::vector<std::string>{"T P1:Snd @", "T one", "T P1:Snd @",
                                                             "T two", "T P1:Snd @", "T raw"}));
}

// A write the line does not take in time ends short: reported as the window does,
// and the Send learns it.
TEST(PortSession, AShortWriteIsReportedAndEndsTheSend) {
  TSessionBench b;
  b.S1.Port().SetXTOAuto(false);
  b.S1.Port().SetWTOCharDelayTime(0);
  b.S1.Port().SetWTOExtraDelayTime(50);
  ASSERT_TRUE(b.Open(b.S1, b.Dev1.Cable.near));
  b.Dev1.Cable.Near()->StallTransmit();
  std::vector<TSendResult> done;
  b.S1.Send(std::string(64, 'x'), [&](const TSendResult& r) { done.push_back(r); });
  ASSERT_TRUE(b.Calls.PumpUntil([&] { return !done.empty(); }, 20s));
  EXPECT_FALSE(done[0].Whole);
  EXPECT_EQ(b.S1.Counters().ShortWrites, 1u);
  EXPECT_TRUE(b.Sink.Has("R P1:Msg  @Code 0 at 1 Text: P1:Not all Bytes send"));
  EXPECT_TRUE(b.S1.WritesIdle());
}

// A session made on a thread of its own gets its events there; code running on that
// thread waits for received bytes while the ports are served.
TEST(SessionThread, ASessionRunsOffTheMainThread) {
  TSessionThread thread("session-test");
  TRecordingSink sink;
  std::unique_ptr<TPortSession> port;
  std::string echoed;
  thread.Run([&] {
    port = std::make_unique<TPortSession>(thread.Calls(), kPort1Prefixes, sink);
    port->Port().SetCommPort("LOOPBACK");
    std::string why;
    ASSERT_TRUE(port->Open(&why)) << why;
    port->AddBlockObserver([&](TPortSession&, std::string_view block, bool) {
      EXPECT_TRUE(thread.IsCurrent());
      echoed += block;
    });
    port->Send("ping");
    EXPECT_TRUE(thread.WaitUntil([&] { return echoed.size() >= 4; }, 20s));
  });
  EXPECT_FALSE(thread.IsCurrent());
  EXPECT_EQ(echoed, "ping");
  thread.Run([&] { port.reset(); });
}

}  // namespace
}  // namespace veltra::session
