// The modem lines and the driver's counters of a tty: told by a waiter thread
// blocked in TIOCMIWAIT where the driver has it, else polled; pulses shorter than a
// look are found in the counters, and overruns only there.
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>

#include "platform/tty/dcb_termios.h"
#include "platform/tty/posix_uart.h"

namespace veltra::platform {

using namespace win;  // NOLINT: Win32 constants read better unqualified here

namespace {

// Where the counters count line changes, the line register is still read this often.
constexpr auto kModemCheckPeriod = std::chrono::milliseconds(500);
// How soon to look again whether the waiter is back in its wait.
constexpr auto kRearmLook = std::chrono::milliseconds(1);
constexpr int kWatchedLines = TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG;

bool LineCountersMoved(const serial_icounter_struct& a, const serial_icounter_struct& b) {
  return a.cts != b.cts || a.dsr != b.dsr || a.rng != b.rng || a.dcd != b.dcd;
}

// Lines whose counter moved while the level read back the same: a pulse shorter
// than the poll, which the driver saw and TIOCMGET alone would miss.
DWORD PulsedLines(const serial_icounter_struct& a, const serial_icounter_struct& b, DWORD before,
                  DWORD after) {
  DWORD pulsed = 0;
  const auto pulse = [&](int was, int is, DWORD bit) {
    if (was != is && ((before ^ after) & bit) == 0) pulsed |= bit;
  };
  pulse(a.cts, b.cts, MS_CTS_ON);
  pulse(a.dsr, b.dsr, MS_DSR_ON);
  pulse(a.rng, b.rng, MS_RING_ON);
  pulse(a.dcd, b.dcd, MS_RLSD_ON);
  return pulsed;
}

}  // namespace

// The waiter runs on the side: a refused wait (a pty) leaves the polling on, a
// device gone ends the port as any failed call does.
void PosixUart::StartWaiter() {
  ModemLineWaiter::WaitFn wait = [this] {
    return ioctl(fd_, TIOCMIWAIT, kWatchedLines) == 0 ? 0 : errno;
  };
  if (testLines_ != nullptr && testLines_->wait) {
    wait = [this] { return testLines_->wait(kWatchedLines); };
  }
  waiter_ = std::make_unique<ModemLineWaiter>(std::move(wait), [this](int endError) {
    if (MeansGone(endError)) vanished_.store(true);
    Wake();
  });
}

DWORD PosixUart::ChangeLine(int line, bool on) {
  int err = 0;
  if (testLines_ != nullptr) {
    err = testLines_->change(line, on);
  } else if (ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &line) != 0) {
    err = errno;
  }
  return err == 0 ? ERROR_SUCCESS : FailedCall(err);
}

int PosixUart::ReadCounters(serial_icounter_struct* counters) {
  if (testLines_ != nullptr && testLines_->counters) return testLines_->counters(counters);
  return ioctl(fd_, TIOCGICOUNT, counters) == 0 ? 0 : errno;
}

int PosixUart::ReadLines(int* bits) {
  if (testLines_ != nullptr) return testLines_->get(bits);
  return ioctl(fd_, TIOCMGET, bits) == 0 ? 0 : errno;
}

DWORD PosixUart::GetModemStatus(DWORD* modemStatus) {
  if (!Usable()) return Unusable();
  // Where the counters follow the lines, the I/O thread's word is current: the
  // worker's poll need not cost the adapter a USB transfer every 75 ms.
  if (modemTracked_.load()) {
    *modemStatus = modemStatus_.load();
    return ERROR_SUCCESS;
  }
  int bits = 0;
  if (const int err = ReadLines(&bits)) return FailedCall(err);
  *modemStatus = ModemWordFromTiocm(bits);
  return ERROR_SUCCESS;
}

// The driver's counters are read every poll; the line register (a USB control
// transfer on most adapters) only when they moved, and now and then to learn
// whether this driver counts line changes at all.
void PosixUart::PollLines() {
  if (WaiterWatching()) {
    FollowWaiter();
    return;
  }
  const auto now = Clock::now();
  if (now < nextModemPoll_) return;
  nextModemPoll_ = now + kModemPollPeriod;
  const bool trusted = countersKnown_ && countersCountLines_;
  const bool check = !trusted || now >= nextModemCheck_;
  if (check) nextModemCheck_ = now + kModemCheckPeriod;
  if (ReadLineState(check) && trusted) countersCountLines_ = false;
  modemTracked_.store(countersKnown_ && countersCountLines_ && modemKnown_.load());
}

// The lines are read when the waiter wakes, and again once it is asleep in its next
// wait: a change in between woke nobody, but the counters hold it. Between bytes
// received the counters are read for overruns.
void PosixUart::FollowWaiter() {
  const auto now = Clock::now();
  const bool moved = waiter_->TakeMoved();
  if (countersOwed_ && now >= nextCountersRead_) {
    countersOwed_ = false;
    nextCountersRead_ = now + kModemPollPeriod;
    ReadLineState(false);
  }
  if (!moved && (!armedReadOwed_ || now < nextModemPoll_)) return;
  const bool armed = waiter_->Armed();  // first: a change after the read wakes it
  if (moved || armed) ReadLineState(!countersKnown_);
  armedReadOwed_ = !armed;
  if (!armed) nextModemPoll_ = now + kRearmLook;
  modemTracked_.store(modemKnown_.load());
}

// Reads the counters, then the line register where they moved or readRegister asks,
// and reports the changes, pulses shorter than the last look included. True when a
// level changed while no counter moved.
bool PosixUart::ReadLineState(bool readRegister) {
  PollCounters();
  const serial_icounter_struct countersBefore = lineCounters_;
  lineCounters_ = counters_;
  const bool moved = countersKnown_ && LineCountersMoved(countersBefore, counters_);
  if (!moved && !readRegister) return false;
  const DWORD before = modemStatus_.load();
  PollModem();
  const DWORD after = modemStatus_.load();
  if (vanished_.load()) return false;
  const DWORD pulsed = moved ? PulsedLines(countersBefore, counters_, before, after) : 0;
  if (pulsed != 0) sink_->OnModemStatus(before ^ pulsed);
  if (after != before || pulsed != 0) sink_->OnModemStatus(after);
  return !moved && after != before;
}

void PosixUart::PollModem() {
  if (!modemKnown_.load()) return;
  int bits = 0;
  const int err = ReadLines(&bits);
  if (err == 0) {
    modemStatus_.store(ModemWordFromTiocm(bits));
  } else if (MeansUnsupported(err)) {
    modemKnown_.store(false);  // a pty: nothing to poll, ever
  }
}

// Overruns happen below the tty layer and leave no mark in the data; the driver's
// counters are the only witness.
void PosixUart::PollCounters() {
  if (!countersKnown_) return;
  serial_icounter_struct now{};
  if (const int err = ReadCounters(&now)) {
    countersKnown_ = !MeansUnsupported(err);
    return;
  }
  DWORD errors = 0;
  if (now.overrun != counters_.overrun) errors |= CE_OVERRUN;
  if (now.buf_overrun != counters_.buf_overrun) errors |= CE_RXOVER;
  counters_ = now;
  if (errors != 0) sink_->OnLineError(errors);
}

}  // namespace veltra::platform
