// Modem-line behaviour of the tty lower half. A pty has no modem lines, so a
// stand-in line register takes the place of TIOCMGET/TIOCMBIS/TIOCMBIC while the
// data still flows through a real pty.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <mutex>
#include <utility>
#include <vector>

#include "platform/src/uart_posix_seam.h"
#include "tests/platform/test_driver_support.h"
#include "tests/platform/test_posix_sink.h"

namespace veltra::test {
namespace {

class FakeLineRegister {
 public:
  // `counting`: the driver also counts line changes, as serial_core and most USB
  // adapters do.
  explicit FakeLineRegister(bool counting = false) {
    if (counting) {
      lines_.counters = [this](serial_icounter_struct* c) {
        std::lock_guard lock(mutex_);
        *c = counters_;
        return 0;
      };
    }
    lines_.get = [this](int* bits) {
      std::lock_guard lock(mutex_);
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
  ~FakeLineRegister() { platform::UseTtyModemLinesForTests(nullptr); }

  void Set(int bits, bool on) {
    std::lock_guard lock(mutex_);
    bits_ = on ? (bits_ | bits) : (bits_ & ~bits);
  }
  // Up and down again between two polls: only the counter shows it.
  void Pulse(int line) {
    std::lock_guard lock(mutex_);
    if (line == TIOCM_CTS) counters_.cts += 2;
  }
  bool IsOn(int bits) {
    std::lock_guard lock(mutex_);
    return (bits_ & bits) == bits;
  }
  std::size_t ChangeCount() {
    std::lock_guard lock(mutex_);
    return changes_.size();
  }

 private:
  platform::TtyModemLines lines_;
  std::mutex mutex_;
  int bits_ = 0;
  serial_icounter_struct counters_{};
  std::vector<std::pair<int, bool>> changes_;
};

// The register must outlive the port, so it comes first.
struct LinedPort {
  explicit LinedPort(bool counting = false) : lines(counting), port(pty) {}
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
  auto write = [&](const std::string& bytes) {
    Overlapped o;
    DWORD written = 0;
    if (!WriteFile(port.h(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, &o.ov)) {
      EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
      EXPECT_TRUE(GetOverlappedResult(port.h(), &o.ov, &written, TRUE));
    }
    return written;
  };
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

}  // namespace
}  // namespace veltra::test
