// The virtual cable: pacing, line-setting mismatches, flow control holds, the
// loopback port, port names and the idle cost of the pacing thread.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <optional>

#include "platform/driver/uart.h"
#include "tests/platform/test_driver_support.h"

namespace veltra::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

void SetFlow(HANDLE h, DWORD flags, WORD queue, WORD xonLim, WORD xoffLim) {
  ASSERT_TRUE(SetupComm(h, queue, queue));
  DCB dcb;
  ASSERT_TRUE(GetCommState(h, &dcb));
  dcb.Flags = DCB_fBinary | flags;
  dcb.XonLim = xonLim;
  dcb.XoffLim = xoffLim;
  ASSERT_TRUE(SetCommState(h, &dcb));
}

// Starts a write and leaves it running; the caller keeps `o` alive.
void StartWrite(HANDLE h, const std::string& bytes, Overlapped& o) {
  DWORD n = 0;
  if (!WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &n, &o.ov)) {
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  }
}

TEST(VirtualLine, PacesCharactersAtTheSendersRate) {
  struct Case {
    DWORD baud;
    BYTE size, parity, stop;
    std::size_t count;
    double expectedMs;
  };
  const Case cases[] = {
      {9600, 8, NOPARITY, ONESTOPBIT, 100, 104.2},   // 10 bits a character
      {4800, 7, EVENPARITY, TWOSTOPBITS, 40, 91.7},  // 11 bits
      {1200, 5, NOPARITY, ONE5STOPBITS, 16, 100.0},  // 7.5 bits
      {115200, 8, NOPARITY, ONESTOPBIT, 1000, 86.8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.baud);
    Pair pair(false);
    Port a(pair.a), b(pair.b);
    SetLine(a.h(), c.baud, c.size, c.parity, c.stop);
    SetLine(b.h(), c.baud, c.size, c.parity, c.stop);
    ImmediateReads(b.h());
    const std::string data(c.count, c.size == 5 ? '\x15' : 'U');
    // A busy machine only ever makes a transfer later, never sooner: every try keeps
    // the lower bound, which is what shows the pace. A late pump leaves the line idle
    // meanwhile (as a late sender would), so on a loaded machine a transfer takes
    // several times its line time; the upper bound, on the quickest of a few tries,
    // only catches a line that stalls.
    double quickest = 1e9;
    for (int attempt = 0; attempt < 3 && quickest >= c.expectedMs * 2 + 200; ++attempt) {
      Overlapped o;
      const auto start = Clock::now();
      StartWrite(a.h(), data, o);
      ASSERT_TRUE(WaitUntil([&] { return InQueue(b.h()) == c.count; }, milliseconds(10000)));
      const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
      EXPECT_GT(ms, c.expectedMs * 0.95);
      quickest = std::min(quickest, ms);
      EXPECT_EQ(ReadQueued(b.h()), data);
      EXPECT_TRUE(WaitUntil([&] { return o.Signalled(); }));  // ended before the next
    }
    EXPECT_LT(quickest, c.expectedMs * 2 + 3000);
  }
}

TEST(VirtualLine, PacedWriteGoesPendingAndShowsItsQueue) {
  Pair pair(false);
  Port a(pair.a), b(pair.b);
  SetLine(a.h(), 1200);
  Overlapped o;
  DWORD n = 0;
  ASSERT_FALSE(WriteFile(a.h(), "0123456789", 10, &n, &o.ov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  COMSTAT stat;
  Holds(a.h(), &stat);
  EXPECT_GT(stat.cbOutQue, 5u);
  EXPECT_FALSE(GetOverlappedResult(a.h(), &o.ov, &n, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
  ASSERT_TRUE(GetOverlappedResult(a.h(), &o.ov, &n, TRUE));
  EXPECT_EQ(n, 10u);
}

TEST(VirtualLine, MismatchedSettingsGiveTheErrorsARealUartWould) {
  Pair pair;
  Port a(pair.a), b(pair.b);
  ImmediateReads(b.h());

  SetLine(a.h(), 9600);
  SetLine(b.h(), 4800);
  ASSERT_TRUE(Send(a.h(), "hello"));
  EXPECT_EQ(Errors(b.h()) & CE_FRAME, CE_FRAME) << "rate mismatch";
  ReadQueued(b.h());

  SetLine(a.h(), 9700);  // within a UART's tolerance
  SetLine(b.h(), 9600);
  ASSERT_TRUE(Send(a.h(), "hello"));
  EXPECT_EQ(Errors(b.h()), 0u);
  EXPECT_EQ(ReadQueued(b.h()), "hello");

  // 8N1 into 8E1: the stop bit is taken for the parity bit.
  SetLine(a.h(), 9600);
  SetLine(b.h(), 9600, 8, EVENPARITY, ONESTOPBIT, DCB_fBinary | DCB_fParity);
  ASSERT_TRUE(Send(a.h(), "\x01"));
  EXPECT_EQ(Errors(b.h()), 0u);
  ASSERT_TRUE(Send(a.h(), "\x03"));
  EXPECT_EQ(Errors(b.h()), CE_RXPARITY);
  EXPECT_EQ(ReadQueued(b.h()), "\x01\x03");

  // 7E1 into 8N1: no error, the parity bit shows as bit 7.
  SetLine(a.h(), 9600, 7, EVENPARITY);
  SetLine(b.h(), 9600);
  ASSERT_TRUE(Send(a.h(), "AC"));
  EXPECT_EQ(Errors(b.h()), 0u);
  EXPECT_EQ(ReadQueued(b.h()), "A\xC3");

  // 8N1 into 7N1: the eighth data bit lands where the stop bit is expected.
  SetLine(a.h(), 9600);
  SetLine(b.h(), 9600, 7);
  ASSERT_TRUE(Send(a.h(), "\x41"));
  EXPECT_EQ(Errors(b.h()), CE_FRAME);
  ASSERT_TRUE(Send(a.h(), "\xC1"));
  EXPECT_EQ(Errors(b.h()), 0u);
  EXPECT_EQ(ReadQueued(b.h()), "\x41\x41");
}

TEST(VirtualLine, RtsCtsHandshakeHoldsTheSenderWithoutLoss) {
  Pair pair;
  Port a(pair.a), b(pair.b);
  SetFlow(a.h(), DCB_fOutxCtsFlow | (RTS_CONTROL_HANDSHAKE << 12), 4096, 0, 0);
  SetFlow(b.h(), DCB_fOutxCtsFlow | (RTS_CONTROL_HANDSHAKE << 12), 4096, 20, 100);
  ImmediateReads(b.h());
  const std::string data(4200, 'r');
  Overlapped o;
  StartWrite(a.h(), data, o);
  ASSERT_TRUE(WaitUntil([&] { return (Holds(a.h()) & COMSTAT_fCtsHold) != 0; }));
  DWORD modem = 0;
  ASSERT_TRUE(GetCommModemStatus(a.h(), &modem));
  EXPECT_EQ(modem & MS_CTS_ON, 0u);
  // Held once fewer than XoffLim bytes were free, give or take a FIFO or two.
  EXPECT_GT(InQueue(b.h()), 3996u);
  EXPECT_LE(InQueue(b.h()), 4046u);
  EXPECT_FALSE(o.Signalled());
  EXPECT_EQ(Receive(b.h(), data.size()), data);
  EXPECT_EQ(Errors(b.h()), 0u) << "no overflow";
  EXPECT_TRUE(o.Signalled(1000));
}

TEST(VirtualLine, DsrDtrHandshakeHoldsTheSender) {
  Pair pair;
  Port a(pair.a), b(pair.b);
  SetFlow(a.h(), DCB_fOutxDsrFlow, 4096, 0, 0);
  SetFlow(b.h(), DTR_CONTROL_HANDSHAKE << 4, 4096, 20, 100);
  ImmediateReads(b.h());
  const std::string data(4200, 'd');
  Overlapped o;
  StartWrite(a.h(), data, o);
  ASSERT_TRUE(WaitUntil([&] { return (Holds(a.h()) & COMSTAT_fDsrHold) != 0; }));
  EXPECT_EQ(Receive(b.h(), data.size()), data);
  EXPECT_EQ(Errors(b.h()), 0u);

  // A peer that drops DTR by hand holds the sender too.
  SetFlow(b.h(), DTR_CONTROL_ENABLE << 4, 4096, 20, 100);
  ASSERT_TRUE(EscapeCommFunction(b.h(), CLRDTR));
  Overlapped o2;
  StartWrite(a.h(), "x", o2);
  EXPECT_EQ(Holds(a.h()) & COMSTAT_fDsrHold, COMSTAT_fDsrHold);
  EXPECT_FALSE(o2.Signalled(20));
  ASSERT_TRUE(EscapeCommFunction(b.h(), SETDTR));
  EXPECT_TRUE(o2.Signalled(1000));
}

TEST(VirtualLine, XonXoffHoldsTheSenderAndShowsXoffSent) {
  Pair pair;
  Port a(pair.a), b(pair.b);
  SetFlow(a.h(), DCB_fOutX | DCB_fInX, 4096, 0, 0);
  SetFlow(b.h(), DCB_fOutX | DCB_fInX, 4096, 20, 100);  // no fTXContinueOnXoff
  ImmediateReads(b.h());
  const std::string data(4200, 'x');
  Overlapped o;
  StartWrite(a.h(), data, o);
  ASSERT_TRUE(WaitUntil([&] { return (Holds(a.h()) & COMSTAT_fXoffHold) != 0; }));
  EXPECT_EQ(Holds(b.h()) & COMSTAT_fXoffSent, COMSTAT_fXoffSent);
  EXPECT_EQ(Receive(b.h(), data.size()), data) << "XON/XOFF never reach the reader";
  EXPECT_TRUE(WaitUntil([&] { return (Holds(a.h()) & COMSTAT_fXoffHold) == 0; }));
  EXPECT_TRUE(o.Signalled(1000));
  EXPECT_EQ(Errors(b.h()), 0u);

  // SETXOFF / SETXON act on the port's own transmission.
  ASSERT_TRUE(EscapeCommFunction(a.h(), SETXOFF));
  EXPECT_EQ(Holds(a.h()) & COMSTAT_fXoffHold, COMSTAT_fXoffHold);
  ASSERT_TRUE(EscapeCommFunction(a.h(), SETXON));
  EXPECT_EQ(Holds(a.h()) & COMSTAT_fXoffHold, 0u);
}

TEST(VirtualLine, StalledTransmitWaitsForUnstall) {
  Pair pair;
  Port a(pair.a), b(pair.b);
  ImmediateReads(b.h());
  auto control = platform::ControlVirtualEnd(pair.a);
  control->StallTransmit();
  Overlapped o;
  StartWrite(a.h(), "later", o);
  EXPECT_FALSE(o.Signalled(30));
  EXPECT_EQ(InQueue(b.h()), 0u);
  control->Unstall();
  EXPECT_TRUE(o.Signalled(1000));
  EXPECT_EQ(ReadQueued(b.h()), "later");
}

TEST(VirtualLine, UnpluggingOneEndDropsThePeersLines) {
  Pair pair;
  Port a(pair.a);
  std::optional<Port> b;
  b.emplace(pair.b);
  DWORD modem = 0;
  ASSERT_TRUE(GetCommModemStatus(a.h(), &modem));
  EXPECT_EQ(modem, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);
  platform::ControlVirtualEnd(pair.b)->Unplug();
  ASSERT_TRUE(GetCommModemStatus(a.h(), &modem));
  EXPECT_EQ(modem, 0u);
  EXPECT_TRUE(Send(a.h(), "into the void")) << "the surviving end still works";

  auto control = platform::ControlVirtualEnd(pair.b);
  control->Replug();
  DCB dcb;
  EXPECT_FALSE(GetCommState(b->h(), &dcb)) << "a handle open across the unplug stays vanished";
  b.reset();
  Port again(pair.b);
  ASSERT_TRUE(again.ok());
  ImmediateReads(again.h());
  ASSERT_TRUE(Send(a.h(), "back"));
  EXPECT_EQ(ReadQueued(again.h()), "back");
}

TEST(VirtualLine, LoopbackPortEchoesDataAndLines) {
  Port p(platform::kLoopbackPortName);
  ASSERT_TRUE(p.ok());
  SetLine(p.h(), 115200);
  ImmediateReads(p.h());
  DWORD modem = 0;
  ASSERT_TRUE(GetCommModemStatus(p.h(), &modem));
  EXPECT_EQ(modem, 0u) << "disabling DTR and RTS control lowers the lines";
  ASSERT_TRUE(EscapeCommFunction(p.h(), SETDTR));
  ASSERT_TRUE(EscapeCommFunction(p.h(), SETRTS));
  ASSERT_TRUE(Send(p.h(), "echo"));
  EXPECT_EQ(Receive(p.h(), 4), "echo");
  ASSERT_TRUE(GetCommModemStatus(p.h(), &modem));
  EXPECT_EQ(modem, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);
  ASSERT_TRUE(EscapeCommFunction(p.h(), CLRRTS));
  ASSERT_TRUE(GetCommModemStatus(p.h(), &modem));
  EXPECT_EQ(modem, MS_DSR_ON | MS_RLSD_ON);
  ASSERT_TRUE(EscapeCommFunction(p.h(), CLRDTR));
  ASSERT_TRUE(GetCommModemStatus(p.h(), &modem));
  EXPECT_EQ(modem, 0u);
}

TEST(VirtualLine, NamesAreUniqueCaseInsensitiveAndLoopbackFirst) {
  Pair pair;
  auto names = platform::VirtualPortNames();
  ASSERT_FALSE(names.empty());
  EXPECT_EQ(names.front(), platform::kLoopbackPortName);
  EXPECT_NE(std::find(names.begin(), names.end(), pair.b), names.end());
  EXPECT_FALSE(platform::CreateVirtualPair("fresh1", "loopback"));
  EXPECT_FALSE(platform::CreateVirtualPair("same", "SAME"));
  EXPECT_TRUE(platform::IsVirtualPortName("Loopback"));
  EXPECT_FALSE(platform::IsVirtualPortName("fresh1"));
  EXPECT_EQ(platform::ControlVirtualEnd("nope"), nullptr);
  EXPECT_FALSE(platform::VirtualPortDescription("loopback").empty());
  platform::SetVirtualPortDescription(pair.b, "far end");
  EXPECT_EQ(platform::VirtualPortDescription(pair.b), "far end");

  Port open(pair.a);
  ASSERT_TRUE(open.ok());
  EXPECT_TRUE(platform::ControlVirtualEnd(pair.a)->IsOpen());
  platform::RemoveVirtualPair(pair.a);
  EXPECT_FALSE(platform::IsVirtualPortName(pair.b));
  DCB dcb;
  EXPECT_FALSE(GetCommState(open.h(), &dcb));
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED) << "removed while open: unplugged";
}

TEST(VirtualLine, RtsToggleIsOnOnlyWhileSending) {
  Pair pair(false);
  Port a(pair.a), b(pair.b);
  SetLine(a.h(), 1200, 8, NOPARITY, ONESTOPBIT, DCB_fBinary | (RTS_CONTROL_TOGGLE << 12));
  DWORD modem = 0;
  ASSERT_TRUE(GetCommModemStatus(b.h(), &modem));
  EXPECT_EQ(modem & MS_CTS_ON, 0u);
  Overlapped o;
  StartWrite(a.h(), "1234", o);
  ASSERT_TRUE(GetCommModemStatus(b.h(), &modem));
  EXPECT_EQ(modem & MS_CTS_ON, MS_CTS_ON);
  EXPECT_TRUE(
      WaitUntil([&] { return GetCommModemStatus(b.h(), &modem) && (modem & MS_CTS_ON) == 0; }));
  EXPECT_TRUE(o.Signalled());
}

double CpuMs() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec * 1e3 + usage.ru_utime.tv_usec / 1e3 + usage.ru_stime.tv_sec * 1e3 +
         usage.ru_stime.tv_usec / 1e3;
}

TEST(VirtualLine, IdleOpenPortsCostNoCpu) {
  Pair pair(false);
  Port a(pair.a), b(pair.b);
  ASSERT_TRUE(Send(a.h(), "wake up"));
  const double before = CpuMs();
  // Time must pass to show that nothing runs meanwhile: there is no event to wait for.
  std::this_thread::sleep_for(milliseconds(500));
  EXPECT_LT(CpuMs() - before, 25.0) << "pacing and service threads must sleep while idle";
}

}  // namespace
}  // namespace veltra::test
