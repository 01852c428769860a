// The overlapped-request contract the engine relies on, on instant virtual pairs.
#include <chrono>
#include <cstring>
#include <thread>

#include "tests/platform/test_driver_support.h"

namespace veltra::test {
namespace {

using Clock = std::chrono::steady_clock;

TEST(DriverContract, ImmediateReadReturnsWhatIsQueuedEvenNothing) {
  Pair pair;
  Port a(pair.a), b(pair.b);
  ASSERT_TRUE(a.ok() && b.ok());
  ImmediateReads(b.h());
  Overlapped o;
  char buf[16];
  DWORD got = 99;
  ASSERT_TRUE(ReadFile(b.h(), buf, sizeof buf, &got, &o.ov));
  EXPECT_EQ(got, 0u);
  EXPECT_TRUE(o.Signalled()) << "a read completing at once still sets its event";

  ASSERT_TRUE(Send(a.h(), "abc"));
  ASSERT_TRUE(ReadFile(b.h(), buf, sizeof buf, &got, &o.ov));
  EXPECT_EQ(std::string(buf, got), "abc");
}

TEST(DriverContract, LinesCrossBothWaysWithBinaryBytes) {
  Pair pair;
  Port a(pair.a), b(pair.b);
  ImmediateReads(a.h());
  ImmediateReads(b.h());
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  ASSERT_TRUE(Send(a.h(), all));
  EXPECT_EQ(ReadQueued(b.h()), all);
  ASSERT_TRUE(Send(b.h(), "back"));
  EXPECT_EQ(ReadQueued(a.h()), "back");
  EXPECT_EQ(ReadQueued(b.h()), "") << "no echo on the sending side";
}

TEST(DriverContract, WriteOnInstantLineCompletesAtOnceAndSetsEvent) {
  Pair pair;
  Port a(pair.a), b(pair.b);
  Overlapped o;
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(a.h(), "xyz", 3, &written, &o.ov));
  EXPECT_EQ(written, 3u);
  EXPECT_TRUE(o.Signalled());
}

TEST(DriverContract, WaitCommEventPendsThenCompletesWithMask) {
  Pair pair;
  Port a(pair.a), b(pair.b);
  ASSERT_TRUE(SetCommMask(b.h(), EV_RXCHAR | EV_RXFLAG));
  Overlapped o;
  DWORD mask = 0xDEAD;
  ASSERT_FALSE(WaitCommEvent(b.h(), &mask, &o.ov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  DWORD bytes = 0;
  EXPECT_FALSE(GetOverlappedResult(b.h(), &o.ov, &bytes, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
  EXPECT_FALSE(o.Signalled());
  DWORD again = 0;
  Overlapped o2;
  EXPECT_FALSE(WaitCommEvent(b.h(), &again, &o2.ov));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << "only one wait at a time";

  ASSERT_TRUE(Send(a.h(), "x"));
  ASSERT_TRUE(o.Signalled(2000));
  EXPECT_EQ(mask, EV_RXCHAR);
  EXPECT_TRUE(GetOverlappedResult(b.h(), &o.ov, &bytes, FALSE));
}

TEST(DriverContract, EventsBeforeTheWaitCompleteItAtOnce) {
  Pair pair;
  Port a(pair.a), b(pair.b);
  ASSERT_TRUE(SetCommMask(b.h(), EV_RXCHAR));
  ASSERT_TRUE(Send(a.h(), "x"));
  Overlapped o;
  DWORD mask = 0;
  ASSERT_TRUE(WaitCommEvent(b.h(), &mask, &o.ov));
  EXPECT_EQ(mask, EV_RXCHAR);
  EXPECT_TRUE(o.Signalled());
  // History was consumed: the next wait pends.
  EXPECT_FALSE(WaitCommEvent(b.h(), &mask, &o.ov));
  EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
}

TEST(DriverContract, SetCommMaskCompletesPendingWaitWithZero) {
  Pair pair;
  Port a(pair.a);
  ASSERT_TRUE(SetCommMask(a.h(), 0x1FF));
  Overlapped o;
  DWORD mask = 0xDEAD;
  ASSERT_FALSE(WaitCommEvent(a.h(), &mask, &o.ov));
  ASSERT_TRUE(SetCommMask(a.h(), 0));
  ASSERT_TRUE(o.Signalled());
  EXPECT_EQ(mask, 0u);
  DWORD bytes = 0;
  EXPECT_TRUE(GetOverlappedResult(a.h(), &o.ov, &bytes, FALSE));
  // With an empty mask there is nothing to wait for.
  EXPECT_FALSE(WaitCommEvent(a.h(), &mask, &o.ov));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  DWORD read = 0;
  EXPECT_TRUE(GetCommMask(a.h(), &read));
  EXPECT_EQ(read, 0u);
}

// Starts a write on a that b holds back with CTS low; it ends after timeoutMs.
void StartHeldWrite(Port& a, Port& b, DWORD timeoutMs, const std::string& bytes, Overlapped& o) {
  SetLine(a.h(), 9600, 8, NOPARITY, ONESTOPBIT, DCB_fBinary | DCB_fOutxCtsFlow);
  ASSERT_TRUE(EscapeCommFunction(b.h(), CLRRTS));
  COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, timeoutMs};
  ASSERT_TRUE(SetCommTimeouts(a.h(), &t));
  DWORD written = 0;
  ASSERT_FALSE(WriteFile(a.h(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, &o.ov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
}

TEST(DriverContract, WriteHeldByCtsEndsAtItsTimeoutWithShortCount) {
  Pair pair;
  Port a(pair.a), b(pair.b);
  Overlapped o;
  DWORD written = 0;
  const auto start = Clock::now();
  ASSERT_NO_FATAL_FAILURE(StartHeldWrite(a, b, 120, "held back", o));
  COMSTAT stat;
  DWORD errors = 0;
  ASSERT_TRUE(ClearCommError(a.h(), &errors, &stat));
  EXPECT_EQ(stat.Flags & COMSTAT_fCtsHold, COMSTAT_fCtsHold);
  EXPECT_EQ(stat.cbOutQue, 9u);
  ASSERT_TRUE(GetOverlappedResult(a.h(), &o.ov, &written, TRUE)) << "a time-out is a success";
  const auto elapsed = Clock::now() - start;
  EXPECT_EQ(written, 0u);
  EXPECT_GE(elapsed, std::chrono::milliseconds(115));
  EXPECT_LT(elapsed, std::chrono::milliseconds(5000)) << "held long past its time-out";
  ASSERT_TRUE(ClearCommError(a.h(), &errors, &stat));
  EXPECT_EQ(stat.cbOutQue, 0u) << "the rest of a timed-out write is dropped";
}

// The driver's timer sleeps until the earliest deadline it knows of; a request
// that comes later with a sooner deadline must still end on time.
TEST(DriverContract, ASoonerDeadlineArrivingLaterStillEndsOnTime) {
  Pair pair;
  Port a(pair.a), b(pair.b);
  Overlapped w;
  ASSERT_NO_FATAL_FAILURE(StartHeldWrite(a, b, 60000, "held", w));
  DWORD n = 0;

  COMMTIMEOUTS quickRead{0, 0, 80, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(a.h(), &quickRead));
  Overlapped r;
  char buf[8];
  const auto start = Clock::now();
  ASSERT_FALSE(ReadFile(a.h(), buf, sizeof buf, &n, &r.ov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  ASSERT_TRUE(GetOverlappedResult(a.h(), &r.ov, &n, TRUE));
  const auto elapsed = Clock::now() - start;
  EXPECT_EQ(n, 0u);
  EXPECT_GE(elapsed, std::chrono::milliseconds(75));
  EXPECT_LT(elapsed, std::chrono::milliseconds(30000)) << "not held until the write's deadline";
  EXPECT_FALSE(w.Signalled()) << "the write keeps its own time-out";
  ASSERT_TRUE(PurgeComm(a.h(), PURGE_TXABORT | PURGE_TXCLEAR));
}

TEST(DriverContract, PurgeAbortEndsPendingReadAndWriteWith995) {
  Pair pair;
  Port a(pair.a), b(pair.b);
  ASSERT_TRUE(platform::ControlVirtualEnd(pair.a));
  platform::ControlVirtualEnd(pair.a)->StallTransmit();
  COMMTIMEOUTS noTimeouts{};
  ASSERT_TRUE(SetCommTimeouts(a.h(), &noTimeouts));
  Overlapped r, w;
  char buf[8];
  DWORD n = 0;
  ASSERT_FALSE(ReadFile(a.h(), buf, sizeof buf, &n, &r.ov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  ASSERT_FALSE(WriteFile(a.h(), "stuck", 5, &n, &w.ov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  ASSERT_TRUE(PurgeComm(a.h(), PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR));
  ASSERT_TRUE(r.Signalled() && w.Signalled());
  EXPECT_FALSE(GetOverlappedResult(a.h(), &r.ov, &n, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_FALSE(GetOverlappedResult(a.h(), &w.ov, &n, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
}

TEST(DriverContract, CancelIoExEndsOneRequestOrReportsNotFound) {
  Pair pair;
  Port a(pair.a);
  ASSERT_TRUE(SetCommMask(a.h(), EV_RXCHAR));
  Overlapped o;
  DWORD mask = 0;
  ASSERT_FALSE(WaitCommEvent(a.h(), &mask, &o.ov));
  ASSERT_TRUE(CancelIoEx(a.h(), &o.ov));
  DWORD n = 0;
  EXPECT_FALSE(GetOverlappedResult(a.h(), &o.ov, &n, TRUE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_FALSE(CancelIoEx(a.h(), &o.ov));
  EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
}

TEST(DriverContract, ReadTimeoutsEndPendingReadsWithWhatCame) {
  Pair pair;
  Port a(pair.a), b(pair.b);
  char buf[32];
  DWORD n = 0;
  {  // total time-out: constant + multiplier x count
    COMMTIMEOUTS t{0, 1, 50, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(b.h(), &t));
    ASSERT_TRUE(Send(a.h(), "ab"));
    Overlapped o;
    const auto start = Clock::now();
    ASSERT_FALSE(ReadFile(b.h(), buf, 10, &n, &o.ov));
    ASSERT_TRUE(GetOverlappedResult(b.h(), &o.ov, &n, TRUE));
    EXPECT_EQ(std::string(buf, n), "ab");
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(55));
  }
  {  // wait for the first byte, then return at once
    COMMTIMEOUTS t{MAXDWORD, MAXDWORD, 2000, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(b.h(), &t));
    Overlapped o;
    ASSERT_FALSE(ReadFile(b.h(), buf, sizeof buf, &n, &o.ov));
    EXPECT_FALSE(o.Signalled(30));
    ASSERT_TRUE(Send(a.h(), "q"));
    ASSERT_TRUE(o.Signalled(1000));
    ASSERT_TRUE(GetOverlappedResult(b.h(), &o.ov, &n, FALSE));
    EXPECT_EQ(std::string(buf, n), "q");
  }
  {  // a full buffer completes without any time-out
    COMMTIMEOUTS t{};
    ASSERT_TRUE(SetCommTimeouts(b.h(), &t));
    Overlapped o;
    ASSERT_FALSE(ReadFile(b.h(), buf, 4, &n, &o.ov));
    ASSERT_TRUE(Send(a.h(), "12"));
    EXPECT_FALSE(o.Signalled(20));
    ASSERT_TRUE(Send(a.h(), "3456"));
    ASSERT_TRUE(GetOverlappedResult(b.h(), &o.ov, &n, TRUE));
    EXPECT_EQ(std::string(buf, n), "1234");
    ImmediateReads(b.h());
    EXPECT_EQ(ReadQueued(b.h()), "56");
  }
}

TEST(DriverContract, CallsWithoutOverlappedBlockUntilDone) {
  Pair pair;
  Port a(pair.a), b(pair.b);
  COMMTIMEOUTS t{0, 0, 200, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(b.h(), &t));
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(a.h(), "sync", 4, &n, nullptr));
  EXPECT_EQ(n, 4u);
  char buf[8];
  ASSERT_TRUE(ReadFile(b.h(), buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(std::string(buf, n), "sync");
}

TEST(DriverContract, SetCommStateValidatesLikeWindows) {
  Port p(platform::kLoopbackPortName);
  ASSERT_TRUE(p.ok());
  DCB good;
  ASSERT_TRUE(GetCommState(p.h(), &good));
  EXPECT_EQ(good.BaudRate, 9600u);
  auto rejected = [&](auto change) {
    DCB d = good;
    change(d);
    const BOOL ok = SetCommState(p.h(), &d);
    return !ok && GetLastError() == ERROR_INVALID_PARAMETER;
  };
  EXPECT_TRUE(rejected([](DCB& d) { d.ByteSize = 4; }));
  EXPECT_TRUE(rejected([](DCB& d) { d.ByteSize = 9; }));
  EXPECT_TRUE(rejected([](DCB& d) { d.BaudRate = 0; }));
  EXPECT_TRUE(rejected([](DCB& d) { d.Parity = 5; }));
  EXPECT_TRUE(rejected([](DCB& d) { d.StopBits = 3; }));
  EXPECT_TRUE(rejected([](DCB& d) { d.StopBits = ONE5STOPBITS; }));
  EXPECT_TRUE(rejected([](DCB& d) {
    d.ByteSize = 5;
    d.StopBits = TWOSTOPBITS;
  }));
  EXPECT_FALSE(rejected([](DCB& d) {
    d.ByteSize = 5;
    d.StopBits = ONE5STOPBITS;
  }));
  DCB now;
  ASSERT_TRUE(GetCommState(p.h(), &now));
  EXPECT_EQ(now.ByteSize, 5);
  EXPECT_EQ(now.StopBits, ONE5STOPBITS);

  DCB odd = good;
  odd.BaudRate = 115000;
  odd.Flags = 0x2805;
  odd.XonLim = 1351;
  ASSERT_TRUE(SetCommState(p.h(), &odd));
  ASSERT_TRUE(GetCommState(p.h(), &now));
  EXPECT_EQ(now.BaudRate, 115000u);
  EXPECT_EQ(now.Flags, 0x2805u);
  EXPECT_EQ(now.XonLim, 1351);

  // Flow limits beyond the input queue are refused; a grown queue admits them.
  EXPECT_TRUE(rejected([](DCB& d) { d.XonLim = 4097; }));
  EXPECT_TRUE(rejected([](DCB& d) { d.XoffLim = 10240; }));
  ASSERT_TRUE(SetupComm(p.h(), 10240, 4096));
  EXPECT_FALSE(rejected([](DCB& d) { d.XoffLim = 10240; }));
}

TEST(DriverContract, OpenIsExclusiveAndClosedHandlesAreInvalid) {
  Pair pair;
  HANDLE h = INVALID_HANDLE_VALUE;
  {
    Port first(pair.a);
    ASSERT_TRUE(first.ok());
    Port second(pair.a);
    EXPECT_FALSE(second.ok());
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    Port otherCase("vtest" + pair.a.substr(5));
    EXPECT_FALSE(otherCase.ok()) << "names compare without regard to case";
    h = first.h();
  }
  DCB dcb;
  EXPECT_FALSE(GetCommState(h, &dcb));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  Port again(pair.a);
  EXPECT_TRUE(again.ok()) << "closing frees the end";
}

TEST(DriverContract, CloseEndsPendingRequestsWith995) {
  Pair pair;
  HANDLE h = CreateFileA(pair.a.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, 0);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
  Overlapped o;
  DWORD mask = 0;
  ASSERT_FALSE(WaitCommEvent(h, &mask, &o.ov));
  ASSERT_TRUE(CloseHandle(h));
  ASSERT_TRUE(o.Signalled());
  EXPECT_EQ(o.ov.Internal, ERROR_OPERATION_ABORTED);
}

TEST(DriverContract, UnpluggedDeviceFailsEveryCallWith1167) {
  Pair pair;
  Port a(pair.a);
  ASSERT_TRUE(SetCommMask(a.h(), EV_RXCHAR));
  Overlapped o;
  DWORD mask = 0;
  ASSERT_FALSE(WaitCommEvent(a.h(), &mask, &o.ov));
  platform::ControlVirtualEnd(pair.a)->Unplug();
  ASSERT_TRUE(o.Signalled(1000));
  DWORD n = 0;
  EXPECT_FALSE(GetOverlappedResult(a.h(), &o.ov, &n, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);

  DCB dcb;
  COMSTAT stat;
  DWORD value = 0;
  char buf[4];
  auto failsWith1167 = [](BOOL ok) { return !ok && GetLastError() == ERROR_DEVICE_NOT_CONNECTED; };
  EXPECT_TRUE(failsWith1167(GetCommState(a.h(), &dcb)));
  EXPECT_TRUE(failsWith1167(ClearCommError(a.h(), &value, &stat)));
  EXPECT_TRUE(failsWith1167(GetCommModemStatus(a.h(), &value)));
  EXPECT_TRUE(failsWith1167(EscapeCommFunction(a.h(), SETDTR)));
  EXPECT_TRUE(failsWith1167(ReadFile(a.h(), buf, 4, &n, &o.ov)));
  EXPECT_TRUE(failsWith1167(WriteFile(a.h(), buf, 4, &n, &o.ov)));
  EXPECT_TRUE(failsWith1167(WaitCommEvent(a.h(), &mask, &o.ov)));
  EXPECT_TRUE(failsWith1167(SetCommMask(a.h(), 0)));
  EXPECT_TRUE(failsWith1167(PurgeComm(a.h(), PURGE_RXCLEAR)));
  EXPECT_TRUE(failsWith1167(SetupComm(a.h(), 100, 100)));

  Port reopened(pair.a);
  EXPECT_FALSE(reopened.ok());
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

// Closing both ends while a writer and a reader are busy on them must neither
// deadlock nor leave a callback running into a freed driver (ASan/TSan watch this).
TEST(DriverContract, ClosingWhileTrafficFlowsIsSafe) {
  for (const bool instant : {true, false}) {
    for (const DWORD flow : {DWORD{0}, DCB_fOutxCtsFlow | (RTS_CONTROL_HANDSHAKE << 12)}) {
      Pair pair(instant);
      HANDLE a = CreateFileA(pair.a.c_str(), 0, 0, nullptr, OPEN_EXISTING, 0, 0);
      HANDLE b = CreateFileA(pair.b.c_str(), 0, 0, nullptr, OPEN_EXISTING, 0, 0);
      ASSERT_NE(a, INVALID_HANDLE_VALUE);
      ASSERT_NE(b, INVALID_HANDLE_VALUE);
      for (HANDLE h : {a, b}) {
        SetLine(h, 921600, 8, NOPARITY, ONESTOPBIT, DCB_fBinary | flow);
        ASSERT_TRUE(SetupComm(h, 256, 256));
      }
      ImmediateReads(b);
      std::atomic<bool> stop{false};
      std::atomic<int> writes{0}, reads{0};
      std::thread writer([&] {
        const std::string chunk(1000, 'w');
        while (!stop) {
          ++writes;
          Overlapped o;
          DWORD n = 0;
          if (!WriteFile(a, chunk.data(), 1000, &n, &o.ov) && GetLastError() == ERROR_IO_PENDING)
            GetOverlappedResult(a, &o.ov, &n, TRUE);
          if (GetLastError() == ERROR_INVALID_HANDLE) return;
        }
      });
      std::thread reader([&] {
        while (!stop) {
          ++reads;
          char buf[64];
          Overlapped o;
          DWORD n = 0;
          if (!ReadFile(b, buf, sizeof buf, &n, &o.ov) && GetLastError() == ERROR_INVALID_HANDLE)
            return;
        }
      });
      // Both are well under way before the closes.
      EXPECT_TRUE(WaitUntil([&] { return writes > 2 && reads > 2; }, std::chrono::seconds(10)));
      EXPECT_TRUE(CloseHandle(b));
      // A moment with one end closed and the other busy: the interleaving is the
      // test, not a wait for anything.
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      EXPECT_TRUE(CloseHandle(a));
      stop = true;
      writer.join();
      reader.join();
    }
  }
}

}  // namespace
}  // namespace veltra::test
