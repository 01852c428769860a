// Modem-line behaviour of the tty lower half. A pty has no modem lines, so a
// stand-in line register takes the place of TIOCMGET/TIOCMBIS/TIOCMBIC (and of the
// counters and TIOCMIWAIT where a test asks) while the data still flows through a
// real pty.
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/tty/uart_posix_seam.h"
#include "tests/platform/test_driver_support.h"
#include "tests/platform/test_posix_sink.h"

namespace veltra::test {
namespace {

// What the stand-in driver can do besides TIOCMGET.
struct Driver {
  bool counts = false;  // TIOCGICOUNT counts line changes, as serial_core and most USB adapters do
  bool waits = false;   // TIOCMIWAIT, which counts every Set
  int waitError = 0;    // TIOCMIWAIT fails at once with this
};

// The port takes a waiter that is asleep for one in its wait; a thread blocked on a
// mutex looks asleep too, so the register's lock spins instead.
class SpinLock {
 public:
  void lock() {
    while (held_.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
  }
  void unlock() { held_.clear(std::memory_order_release); }

 private:
  std::atomic_flag held_;
};

class FakeLineRegister {
 public:
  explicit FakeLineRegister(bool counting = false) : FakeLineRegister(Driver{.counts = counting}) {}
  explicit FakeLineRegister(Driver driver) : countsSets_(driver.waits) {
    if (driver.counts) {
      lines_.counters = [this](serial_icounter_struct* c) {
        std::lock_guard lock(mutex_);
        ++looks_;
        seen_ |= kSeenCounters;
        *c = counters_;
        return 0;
      };
    }
    if (driver.waits) lines_.wait = [this, driver](int) { return Wait(driver.waitError); };
    lines_.get = [this](int* bits) {
      std::lock_guard lock(mutex_);
      ++looks_;
      seen_ |= kSeenRegister;
      *bits = bits_;
      return 0;
    };
    lines_.change = [this](int bits, bool on) {
      std::lock_guard lock(mutex_);
      bits_ = on ? (bits_ | bits) : (bits_ & ~bits);
      changes_.emplace_back(bits, on);
      return 0;
    };
    platform::UseTtyModemLinesForTests(&lines_);
  }
  ~FakeLineRegister() {
    platform::UseTtyModemLinesForTests(nullptr);
    close(bell_);
  }

  void Set(int bits, bool on) {
    Update([&] {
      const int was = bits_;
      bits_ = on ? (bits_ | bits) : (bits_ & ~bits);
      if (countsSets_) Count(was ^ bits_, 1);
    });
  }
  // Up and down again between two looks: only the counter shows it.
  void Pulse(int line) {
    Update([&] { Count(line, 2); });
  }
  // The UART lost bytes: only the counters know.
  void Overrun() {
    Update([&] { ++counters_.overrun; });
  }
  // Runs `change` on the waiter's thread as it enters its next wait, once the
  // port has read the lines the last wait woke it for: a change no wait sees.
  // Only a wait entered after one that woke counts: the first wait may still be
  // on its way in when the test asks.
  void BeforeNextWait(std::function<void()> change) {
    std::lock_guard lock(mutex_);
    beforeWait_ = std::move(change);
    wokenBeforeAsk_ = wakes_;
  }
  int Waits() const { return waits_; }
  bool Interrupted() const { return interrupted_; }
  // TIOCMGET and TIOCGICOUNT calls so far.
  int Looks() const { return looks_; }
  bool IsOn(int bits) {
    std::lock_guard lock(mutex_);
    return (bits_ & bits) == bits;
  }
  std::size_t ChangeCount() {
    std::lock_guard lock(mutex_);
    return changes_.size();
  }

 private:
  void Count(int lines, int by) {
    if (lines & TIOCM_CTS) counters_.cts += by;
    if (lines & TIOCM_DSR) counters_.dsr += by;
    if (lines & TIOCM_CAR) counters_.dcd += by;
    if (lines & TIOCM_RNG) counters_.rng += by;
  }
  // Changes under the lock, then wakes a wait.
  template <class Change>
  void Update(Change change) {
    {
      std::lock_guard lock(mutex_);
      change();
      seen_ = 0;
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(bell_, &one, sizeof one);
  }
  int LineCount() {
    std::lock_guard lock(mutex_);
    return counters_.cts + counters_.dsr + counters_.dcd + counters_.rng;  // they only grow
  }
  // As TIOCMIWAIT: the counters at entry, then asleep until one of them moves.
  int Wait(int error) {
    ++waits_;
    if (error != 0) return error;
    std::function<void()> change;
    {
      std::lock_guard lock(mutex_);
      if (wakes_ > wokenBeforeAsk_) change = std::exchange(beforeWait_, nullptr);
    }
    // Once the port has read counters and register since the last change (after the
    // wake, or before it when its own look came first). Spinning, not asleep: only the
    // wait itself may look like one. The bound turns a port that never looks into a
    // failure instead of a hang no signal can end.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (change && seen_ != (kSeenCounters | kSeenRegister) &&
           std::chrono::steady_clock::now() < giveUp) {
      std::this_thread::yield();
    }
    if (change) change();
    const int start = LineCount();
    // A blocking read, as the ioctl: resumed after a signal whose handler asked for it.
    while (LineCount() == start) {
      std::uint64_t rung = 0;
      if (read(bell_, &rung, sizeof rung) < 0) {
        interrupted_ = errno == EINTR;
        return errno;
      }
    }
    std::lock_guard lock(mutex_);
    ++wakes_;
    return 0;
  }

  platform::TtyModemLines lines_;
  const bool countsSets_;
  const int bell_ = eventfd(0, EFD_CLOEXEC);
  SpinLock mutex_;
  int bits_ = 0;
  std::atomic<int> looks_{0};
  static constexpr int kSeenCounters = 1, kSeenRegister = 2;
  std::atomic<int> seen_{0};  // what the port has read since the last change
  serial_icounter_struct counters_{};
  std::function<void()> beforeWait_;
  int wakes_ = 0;  // waits that returned for a change
  int wokenBeforeAsk_ = 0;
  std::atomic<int> waits_{0};
  std::atomic<bool> interrupted_{false};
  std::vector<std::pair<int, bool>> changes_;
};

// The register must outlive the port, so it comes first.
struct LinedPort {
  explicit LinedPort(bool counting = false) : lines(counting), port(pty) {}
  explicit LinedPort(Driver driver) : lines(driver), port(pty) {}
  FakeLineRegister lines;
  Pty pty;
  OpenPort port;
};

TEST(PosixUartLines, APulseShorterThanThePollIsSeenByTheCounters) {
  LinedPort p(/*counting=*/true);
  ASSERT_NE(p.port.uart, nullptr);
  p.port.uart->Start(p.port.sink);
  p.lines.Pulse(TIOCM_CTS);
  EXPECT_TRUE(p.port.sink.WaitFor([&] {
    const auto& m = p.port.sink.modem;
    return m.size() >= 2 && m[m.size() - 2] == MS_CTS_ON && m.back() == 0;
  })) << "CTS up, then down again";
  // A change the counters missed: this driver does not count that line, so the
  // register is read again before long, and from then on at every poll.
  p.lines.Set(TIOCM_DSR, true);
  EXPECT_TRUE(p.port.sink.WaitFor([&] { return p.port.sink.modem.back() == MS_DSR_ON; }));
}

// Where the driver has TIOCMIWAIT the lines are read when it wakes: edges, pulses
// and overruns are reported, an idle port looks at nothing, closing cuts the wait short.
TEST(PosixUartLines, TheWaiterReportsEdgesPulsesAndOverrunsAndIdlesWithoutLooking) {
  LinedPort p(Driver{.counts = true, .waits = true});
  ASSERT_NE(p.port.uart, nullptr);
  p.port.uart->Start(p.port.sink);
  ASSERT_TRUE(WaitUntil([&] { return p.lines.Waits() > 0; }));
  auto& m = p.port.sink.modem;
  p.lines.Set(TIOCM_CTS, true);
  EXPECT_TRUE(p.port.sink.WaitFor([&] { return !m.empty() && m.back() == MS_CTS_ON; }));
  p.lines.Pulse(TIOCM_DSR);
  EXPECT_TRUE(p.port.sink.WaitFor([&] {
    return m.size() >= 2 && m[m.size() - 2] == (MS_CTS_ON | MS_DSR_ON) && m.back() == MS_CTS_ON;
  })) << "DSR up, then down again";
  // With nothing polling, bytes arriving are the cue to look for an overrun.
  p.lines.Overrun();
  ASSERT_TRUE(p.pty.Write("x"));
  EXPECT_TRUE(p.port.sink.WaitFor([&] { return (p.port.sink.errors & CE_OVERRUN) != 0; }));
  // Polling would look about 30 times meanwhile; the waiter's follow-up read may
  // still be on its way. Time must pass to show that nothing looks: no event to wait for.
  const int looks = p.lines.Looks();
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_LE(p.lines.Looks() - looks, 3);
  // Interrupted says the wait was cut short; the bound only guards against a hang.
  const auto start = std::chrono::steady_clock::now();
  p.port.uart->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_TRUE(p.lines.Interrupted());
}

// Each wait compares with the counters at its start: a change after one wait has
// returned and before the next has begun wakes nobody, yet must be reported.
TEST(PosixUartLines, AChangeBetweenTwoWaitsIsNotLost) {
  LinedPort p(Driver{.counts = true, .waits = true});
  ASSERT_NE(p.port.uart, nullptr);
  p.port.uart->Start(p.port.sink);
  ASSERT_TRUE(WaitUntil([&] { return p.lines.Waits() > 0; }));
  p.lines.BeforeNextWait([&] { p.lines.Set(TIOCM_CAR, true); });
  p.lines.Set(TIOCM_CTS, true);
  auto& m = p.port.sink.modem;
  EXPECT_TRUE(
      p.port.sink.WaitFor([&] { return !m.empty() && m.back() == (MS_CTS_ON | MS_RLSD_ON); }))
      << "reports: " << m.size();
}

// A driver without TIOCMIWAIT leaves the lines to the poll; a wait that finds the
// device gone ends the port.
TEST(PosixUartLines, AFailedWaitFallsBackToPollingOrEndsTheGonePort) {
  {
    LinedPort p(Driver{.waits = true, .waitError = ENOTTY});
    ASSERT_NE(p.port.uart, nullptr);
    p.port.uart->Start(p.port.sink);
    p.lines.Set(TIOCM_CTS, true);
    EXPECT_TRUE(p.port.sink.WaitFor(
        [&] { return !p.port.sink.modem.empty() && p.port.sink.modem.back() == MS_CTS_ON; }));
    EXPECT_EQ(p.lines.Waits(), 1);
  }
  LinedPort p(Driver{.waits = true, .waitError = EIO});
  ASSERT_NE(p.port.uart, nullptr);
  p.port.uart->Start(p.port.sink);
  EXPECT_TRUE(p.port.sink.WaitFor([&] { return p.port.sink.vanished == 1; }));
}

TEST(PosixUartLines, ChangesOfTheInputLinesAreReportedAsTheyHappen) {
  LinedPort p;
  ASSERT_NE(p.port.uart, nullptr);
  p.lines.Set(TIOCM_DSR, true);
  p.port.uart->Start(p.port.sink);
  p.lines.Set(TIOCM_CTS | TIOCM_CAR, true);
  EXPECT_TRUE(p.port.sink.WaitFor([&] {
    return !p.port.sink.modem.empty() &&
           p.port.sink.modem.back() == (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);
  }));
  p.lines.Set(TIOCM_RNG, true);
  EXPECT_TRUE(p.port.sink.WaitFor(
      [&] { return !p.port.sink.modem.empty() && (p.port.sink.modem.back() & MS_RING_ON); }));
  p.lines.Set(TIOCM_RNG, false);
  EXPECT_TRUE(p.port.sink.WaitFor(
      [&] { return !p.port.sink.modem.empty() && !(p.port.sink.modem.back() & MS_RING_ON); }));
  DWORD modem = 0;
  EXPECT_EQ(p.port.uart->GetModemStatus(&modem), 0u);
  EXPECT_EQ(modem, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);
}

// No kernel support: output waits for DSR in the I/O thread, DTR follows the
// receive pause.
// A bare pty has no line errors to mark; one standing in for a UART takes the
// UART's marked input path, and a real 0xFF still arrives as one byte.
TEST(PosixUartLines, APtyStandingInForAUartReadsMarkedInput) {
  LinedPort p;
  ASSERT_NE(p.port.uart, nullptr);
  ASSERT_EQ(p.port.uart->Configure(LineDcb(115200)), 0u);
  termios t{};
  ASSERT_EQ(tcgetattr(p.pty.master(), &t), 0);
  EXPECT_EQ(t.c_iflag & (PARMRK | INPCK), static_cast<tcflag_t>(PARMRK | INPCK));
  p.port.uart->Start(p.port.sink);
  const std::string bytes("a\377b\377\377\0c", 7);
  ASSERT_TRUE(p.pty.Write(bytes));
  ASSERT_TRUE(p.port.sink.WaitFor([&] { return p.port.sink.received.size() >= bytes.size(); }));
  std::lock_guard lock(p.port.sink.mutex);
  EXPECT_EQ(p.port.sink.received, bytes);
  EXPECT_EQ(p.port.sink.errors, 0u);
}

TEST(PosixUartLines, DsrDtrHandshakeIsEmulated) {
  LinedPort p;
  ASSERT_NE(p.port.uart, nullptr);
  ASSERT_EQ(p.port.uart->Configure(
                LineDcb(9600, 8, NOPARITY, ONESTOPBIT, DCB_fBinary | DCB_fOutxDsrFlow | 0x0020u)),
            0u);
  EXPECT_TRUE(p.lines.IsOn(TIOCM_DTR)) << "handshake DTR starts raised";
  p.port.uart->Start(p.port.sink);
  p.port.sink.Offer("held");
  p.port.uart->TransmitReady();
  EXPECT_EQ(p.pty.Read(4, milliseconds(100)), "") << "DSR is low";
  EXPECT_EQ(p.port.uart->HoldFlags() & COMSTAT_fDsrHold, COMSTAT_fDsrHold);
  p.lines.Set(TIOCM_DSR, true);
  EXPECT_EQ(p.pty.Read(4), "held");
  EXPECT_TRUE(WaitUntil([&] { return p.port.uart->HoldFlags() == 0; }));

  p.port.uart->PauseReceive(true);
  EXPECT_FALSE(p.lines.IsOn(TIOCM_DTR));
  p.port.uart->PauseReceive(false);
  EXPECT_TRUE(p.lines.IsOn(TIOCM_DTR));
}

TEST(PosixUartLines, CtsHoldFollowsTheLineUnderCtsFlowOnly) {
  LinedPort p;
  ASSERT_NE(p.port.uart, nullptr);
  p.port.uart->Start(p.port.sink);
  ASSERT_EQ(p.port.uart->Configure(LineDcb(9600, 8, NOPARITY, ONESTOPBIT, DCB_fBinary | 0x2000u)),
            0u);
  EXPECT_EQ(p.port.uart->HoldFlags(), 0u) << "RTS handshake alone does not wait for CTS";
  ASSERT_EQ(p.port.uart->Configure(
                LineDcb(9600, 8, NOPARITY, ONESTOPBIT, DCB_fBinary | DCB_fOutxCtsFlow | 0x2000u)),
            0u);
  EXPECT_TRUE(WaitUntil([&] { return p.port.uart->HoldFlags() == COMSTAT_fCtsHold; }));
  p.lines.Set(TIOCM_CTS, true);
  EXPECT_TRUE(WaitUntil([&] { return p.port.uart->HoldFlags() == 0; }));
}

// As on Windows, DTR and RTS follow their control modes only when a mode changes;
// re-applying the same state leaves lines set by EscapeCommFunction alone.
TEST(PosixUartLines, ControlModesApplyOnlyWhenTheyChange) {
  constexpr DWORD kDtrEnable = 0x0010, kRtsEnable = 0x1000;
  LinedPort p;
  ASSERT_NE(p.port.uart, nullptr);
  auto configure = [&](DWORD flags) {
    return p.port.uart->Configure(LineDcb(9600, 8, NOPARITY, ONESTOPBIT, DCB_fBinary | flags));
  };
  p.lines.Set(TIOCM_DTR | TIOCM_RTS, true);
  ASSERT_EQ(configure(0), 0u);
  EXPECT_FALSE(p.lines.IsOn(TIOCM_DTR)) << "the first state sets both lines";
  EXPECT_FALSE(p.lines.IsOn(TIOCM_RTS));
  ASSERT_EQ(p.port.uart->SetDtr(true), 0u);
  ASSERT_EQ(p.port.uart->SetRts(true), 0u);
  ASSERT_EQ(configure(0), 0u);
  EXPECT_TRUE(p.lines.IsOn(TIOCM_DTR | TIOCM_RTS)) << "same modes: lines untouched";
  ASSERT_EQ(p.port.uart->SetDtr(false), 0u);
  ASSERT_EQ(configure(kDtrEnable), 0u);
  EXPECT_TRUE(p.lines.IsOn(TIOCM_DTR)) << "DTR mode changed to enable";
  EXPECT_TRUE(p.lines.IsOn(TIOCM_RTS)) << "RTS mode unchanged";
  ASSERT_EQ(configure(kRtsEnable), 0u);
  EXPECT_FALSE(p.lines.IsOn(TIOCM_DTR)) << "DTR mode back to disable";
}

// RTS_CONTROL_TOGGLE: RTS is up while bytes go out and drops once they have gone.
TEST(PosixUartLines, RtsToggleFramesATransmission) {
  LinedPort p;
  ASSERT_NE(p.port.uart, nullptr);
  ASSERT_EQ(p.port.uart->Configure(LineDcb(9600, 8, NOPARITY, ONESTOPBIT, DCB_fBinary | 0x3000u)),
            0u);
  EXPECT_FALSE(p.lines.IsOn(TIOCM_RTS));
  p.port.uart->Start(p.port.sink);
  const std::size_t before = p.lines.ChangeCount();
  p.port.sink.Offer("frame");
  p.port.uart->TransmitReady();
  EXPECT_EQ(p.pty.Read(5), "frame");
  EXPECT_TRUE(p.port.sink.WaitFor([&] { return p.port.sink.empties > 0; }));
  EXPECT_TRUE(WaitUntil([&] { return !p.lines.IsOn(TIOCM_RTS); }));
  EXPECT_GE(p.lines.ChangeCount(), before + 2) << "raised, then lowered";
}


// Writes and waits for the write to end; returns how many bytes it counted as sent.
DWORD WriteAndCount(HANDLE h, const std::string& bytes) {
  Overlapped o;
  DWORD written = 0;
  if (!WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, &o.ov)) {
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_TRUE(GetOverlappedResult(h, &o.ov, &written, TRUE));
  }
  return written;
}

// Under CTS flow a write waits in the driver while CTS is low. One that times out
// counts only the bytes that reached the far end: what the tty layer still held is
// taken back, and nothing goes out once CTS rises again.
TEST(PosixUartLines, CtsHeldWriteCountsOnlyWhatWentOut) {
  FakeLineRegister lines;
  Pty pty;
  Port port(pty.slave());
  ASSERT_TRUE(port.ok()) << GetLastError();
  SetLine(port.h(), 921600, 8, NOPARITY, ONESTOPBIT, DCB_fBinary | DCB_fOutxCtsFlow | 0x2000u);
  ImmediateReads(port.h(), 400);
  auto write = [&](const std::string& bytes) { return WriteAndCount(port.h(), bytes); };
  EXPECT_EQ(write("held"), 0u) << "CTS low";
  EXPECT_EQ(pty.Read(4, milliseconds(50)), "");

  // The far end reads nothing: the pty fills, one chunk waits in the tty layer.
  lines.Set(TIOCM_CTS, true);
  const std::string big(1 << 18, 'x');
  DWORD written = 0;
  std::thread writer([&] { written = write(big); });
  ASSERT_TRUE(WaitUntil([&] {
    COMSTAT stat{};
    DWORD errors = 0;
    return ClearCommError(port.h(), &errors, &stat) && stat.cbOutQue > 0 &&
           stat.cbOutQue + 8192 < big.size();
  }));
  lines.Set(TIOCM_CTS, false);
  writer.join();
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, big.size());
  lines.Set(TIOCM_CTS, true);
  EXPECT_EQ(pty.Read(big.size(), milliseconds(300)).size(), written);
}

// On a machine too loaded to run the I/O thread before a write's deadline, a write
// that nothing holds still goes out whole; one that CTS holds still ends at its
// deadline, not after the grace a late thread gets.
TEST(PosixUartLines, LateIoThreadDelaysOnlyAWriteNothingHolds) {
  FakeLineRegister lines;
  Pty pty;
  Port port(pty.slave());
  ASSERT_TRUE(port.ok()) << GetLastError();
  SetLine(port.h(), 921600, 8, NOPARITY, ONESTOPBIT, DCB_fBinary | DCB_fOutxCtsFlow | 0x2000u);
  ImmediateReads(port.h(), 50);
  struct Clear {
    ~Clear() { platform::InjectTtyIoFaultsForTests({}); }
  } clear;
  platform::InjectTtyIoFaultsForTests({.lateTakeMs = 300});
  auto write = [&](const std::string& bytes) { return WriteAndCount(port.h(), bytes); };
  ASSERT_TRUE(WaitUntil([&] { return Holds(port.h()) & COMSTAT_fCtsHold; }));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(write("held"), 0u);
  // Its deadline is 50 ms away; given the late thread's grace (at most 1 s, in 20 ms
  // steps) it could not end before 1050 ms, however fast the machine.
  EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(1000));

  lines.Set(TIOCM_CTS, true);
  ASSERT_TRUE(WaitUntil([&] { return Holds(port.h()) == 0; }));
  EXPECT_EQ(write("late"), 4u);
  EXPECT_EQ(pty.Read(4, milliseconds(1000)), "late");
}

}  // namespace
}  // namespace veltra::test
