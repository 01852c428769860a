// The lower half over a kernel tty (ttyS*, ttyUSB*, ttyACM*, ptys): the calls from
// the driver, and one I/O thread per open port that waits in epoll on the tty and an
// eventfd (the other threads' way to wake it), reads into the driver, writes what
// the driver hands over and follows the modem lines (tty_lines_posix.cpp).
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <string_view>

#include "platform/core/errno_map.h"
#include "platform/tty/dcb_termios.h"
#include "platform/tty/posix_uart.h"
#include "platform/tty/termios2_linux.h"

namespace veltra::platform {

using namespace win;  // NOLINT: Win32 constants read better unqualified here

namespace {

constexpr std::size_t kReadChunk = 4096;
// Bytes handed to the kernel at a time (kMinWriteChunk at least). n_tty wakes a
// writer once fewer than 256 bytes are queued, so a UART's kernel queue stays within
// a chunk plus 256 bytes: the rest waits in the driver, where write time-outs and
// purges reach it. A chunk covers about 10 ms of the line, so a fast line is not
// starved between wakes.
constexpr std::size_t kMaxUartWriteChunk = 4096;  // the serial core's transmit buffer
// A pty has no line to pace: what it accepts is already with the reader at the far
// end, so it takes as much as the kernel will hold.
constexpr std::size_t kPtyWriteChunk = 65536;
constexpr double kWriteChunkSeconds = 0.010;
constexpr double kBitsPerCharacter = 10.0;  // start, 8 data, stop: close enough to size a chunk
constexpr int kReadsPerWake = 16;           // then look at stop/pause requests again
constexpr auto kDrainPollPeriod = std::chrono::milliseconds(2);
constexpr int kQuickDrainChecks = 10;

ssize_t WriteTty(int fd, const void* bytes, std::size_t n) {
  if (const int fault = g_ttyWriteFault.load()) {
    errno = fault;
    return -1;
  }
  return write(fd, bytes, n);
}

int WaitForEvents(FdLoop& loop, FdLoop::Ready* ready, int timeoutMs) {
  if (const int fault = g_ttyEpollFault.load()) {
    errno = fault;
    return -1;
  }
  return loop.Wait(timeoutMs, ready);
}

DWORD DeviceError(int err) {
  return Win32ErrorFromErrno(err, ErrnoStage::kOpen);
}

std::size_t WriteChunkFor(bool pseudo, std::uint32_t baud) {
  if (pseudo) return kPtyWriteChunk;
  const double perChunk = baud / kBitsPerCharacter * kWriteChunkSeconds;
  return std::clamp(static_cast<std::size_t>(perChunk), kMinWriteChunk, kMaxUartWriteChunk);
}

}  // namespace

// --- calls from the driver ------------------------------------------------------------

void PosixUart::Start(UartSink& sink) {
  if (started_.exchange(true) || stopped_.load()) return;
  sink_ = &sink;
  if (ReadCounters(&counters_) != 0) countersKnown_ = false;
  lineCounters_ = counters_;
  PollModem();  // the baseline; changes from here on are reported
  if (modemKnown_.load()) StartWaiter();
  io_ = std::thread([this] { Run(); });
}

void PosixUart::Stop() {
  if (stopped_.exchange(true)) return;
  stopping_.store(true);
  Wake();
  if (io_.joinable()) io_.join();
  if (waiter_) waiter_->Stop();
  ioctl(fd_, TIOCNXCL);
  close(fd_);  // also gives up the flock
}

// A call that finds the device gone marks it so; the I/O thread tells the driver.
DWORD PosixUart::FailedCall(int err) {
  if (MeansGone(err) && !vanished_.exchange(true)) Wake();
  return DeviceError(err);
}

DWORD PosixUart::Configure(const DCB& dcb) {
  if (!Usable()) return Unusable();
  tty::LineSettings wanted;
  if (!LineSettingsFromDcb(dcb, &wanted)) return ERROR_INVALID_PARAMETER;
  wanted.markLineErrors = !pseudo_;
  tty::SavedTermios before{};
  if (const int err = tty::SaveTermios(fd_, &before)) return FailedCall(err);
  if (const int err = tty::ApplyLineSettings(fd_, wanted)) return FailedCall(err);
  tty::LineSettings got;
  if (const int err = tty::ReadLineSettings(fd_, &got)) return FailedCall(err);
  if (!KernelTookSettings(wanted, got, !pty_)) {
    tty::RestoreTermios(fd_, before);
    return ERROR_INVALID_PARAMETER;
  }
  {
    std::lock_guard hold(holdMutex_);
    ctsFlow_.store((dcb.Flags & DCB_fOutxCtsFlow) != 0);
    dsrFlow_.store((dcb.Flags & DCB_fOutxDsrFlow) != 0);
  }
  parityOn_.store(wanted.parity != tty::Parity::kNone);
  writeChunk_.store(WriteChunkFor(pseudo_, got.baud));
  dsrSensitive_.store((dcb.Flags & DCB_fDsrSensitivity) != 0);
  ApplyLineModes(dcb);
  Wake();  // flow settings may release or hold output
  return ERROR_SUCCESS;
}

// As a Windows driver does, DTR and RTS are set from their control modes only when a
// mode changes; in between, EscapeCommFunction owns the lines. Ttys without modem
// lines (ptys) refuse, which is no reason to fail the configuration.
void PosixUart::ApplyLineModes(const DCB& dcb) {
  const int dtrMode = static_cast<int>(DcbDtrControl(dcb.Flags));
  const int rtsMode = static_cast<int>(DcbRtsControl(dcb.Flags));
  dtrHandshake_.store(dtrMode == static_cast<int>(DTR_CONTROL_HANDSHAKE));
  rtsToggle_.store(rtsMode == static_cast<int>(RTS_CONTROL_TOGGLE));
  if (dtrMode != lastDtrMode_) {
    const bool on = dtrMode == static_cast<int>(DTR_CONTROL_ENABLE) ||
                    (dtrHandshake_.load() && !paused_.load());
    ChangeLine(TIOCM_DTR, on);
    lastDtrMode_ = dtrMode;
  }
  if (rtsMode != lastRtsMode_) {
    // Under RTS_CONTROL_HANDSHAKE the kernel lowers RTS itself when its input fills.
    ChangeLine(TIOCM_RTS, rtsMode == static_cast<int>(RTS_CONTROL_ENABLE) ||
                              rtsMode == static_cast<int>(RTS_CONTROL_HANDSHAKE));
    lastRtsMode_ = rtsMode;
  }
}

DWORD PosixUart::SetBreak(bool on) {
  if (!Usable()) return Unusable();
  return ioctl(fd_, on ? TIOCSBRK : TIOCCBRK) == 0 ? ERROR_SUCCESS : FailedCall(errno);
}

DWORD PosixUart::SetTransmitHeld(bool held) {
  if (!Usable()) return Unusable();
  std::lock_guard hold(holdMutex_);
  if (const int err = tty::SuspendOutput(fd_, held)) return FailedCall(err);
  outputSuspended_.store(held);
  if (!held) Wake();
  return ERROR_SUCCESS;
}

DWORD PosixUart::OutputPending() {
  if (!Usable()) return 0;
  int queued = 0;
  if (ioctl(fd_, TIOCOUTQ, &queued) != 0 || queued < 0) queued = 0;
  return static_cast<DWORD>(txBuffered_.load() + static_cast<std::size_t>(queued));
}

// The kernel reports no hold states; as on Windows they follow from the flow
// settings and the last polled modem lines, whether or not output is waiting.
DWORD PosixUart::HoldFlags() {
  if (!Usable()) return 0;
  const DWORD modem = modemStatus_.load();
  DWORD flags = 0;
  if (modemKnown_.load()) {
    if (ctsFlow_.load() && !(modem & MS_CTS_ON)) flags |= COMSTAT_fCtsHold;
    if (dsrFlow_.load() && !(modem & MS_DSR_ON)) flags |= COMSTAT_fDsrHold;
  }
  if (outputSuspended_.load()) flags |= COMSTAT_fXoffHold;
  return flags;
}

void PosixUart::PauseReceive(bool paused) {
  if (paused_.exchange(paused) == paused || !Usable()) return;
  if (dtrHandshake_.load()) ChangeLine(TIOCM_DTR, !paused);
  Wake();
}

void PosixUart::PurgeTransmit() {
  if (!Usable()) return;
  std::lock_guard lock(txMutex_);
  txPurges_.fetch_add(1);
  tty::FlushOutput(fd_);
  Wake();
}

void PosixUart::PurgeReceive() {
  if (!Usable()) return;
  rxPurges_.fetch_add(1);
  tty::FlushInput(fd_);
}

void PosixUart::Wake() {
  loop_->Wake();
}

// --- the I/O thread ----------------------------------------------------------------

void PosixUart::Run() {
  while (!stopping_.load()) {
    // Whoever found the device gone (a write in this thread, a call in another),
    // it is reported before the thread waits: a vanished port waits without end.
    if (vanished_.load()) Vanish();
    // One look at the pause serves both the interest and the time-out: a wish
    // withdrawn between two looks would leave the input unwatched, with no
    // PauseReceive ever coming to wake the thread.
    const bool paused = paused_.load();
    const bool wished = sink_->ReceivePauseWanted();
    UpdateInterest(paused || wished);
    FdLoop::Ready ready;
    const int n = WaitForEvents(*loop_, &ready, NextTimeoutMs(!paused && wished));
    if (n < 0 && errno != EINTR) {
      // Nothing can be waited for any more: to the driver the device is lost.
      Vanish();
      return;
    }
    const bool ttyReady = ready.events & EPOLLIN;
    const bool ttyWritable = ready.events & EPOLLOUT;
    const bool ttyHangup = ready.events & (EPOLLHUP | EPOLLERR);
    if (stopping_.load()) break;
    if (!vanished_.load() && (ttyReady || ttyHangup)) ReadInput();
    if (ttyHangup || vanished_.load()) {
      Vanish();
      UpdateInterest(true);
      continue;
    }
    if (ttyWritable) waitingForRoom_ = false;
    PollLines();
    ServiceTransmit();
    WatchDrain();
  }
}

// Paused, or about to be: the driver's wish counts before its PauseReceive arrives.
bool PosixUart::ReceiveHeld() const {
  return paused_.load() || sink_->ReceivePauseWanted();
}

int PosixUart::NextTimeoutMs(bool pauseOnlyWished) const {
  if (vanished_.load()) return -1;
  // A wish not yet applied may also be withdrawn without a PauseReceive: look again soon.
  if (pauseOnlyWished) return 1;
  if (sentSinceEmpty_ && !waitingForRoom_ && txBuffered_.load() == 0) {
    // Quick looks while the last bytes go out; a line held by flow control is
    // looked at as seldom as the modem lines.
    return static_cast<int>(drainChecks_ < kQuickDrainChecks ? kDrainPollPeriod.count()
                                                             : kModemPollPeriod.count());
  }
  if (WaiterWatching()) return WaiterTimeoutMs();
  if (!modemKnown_.load() && !countersKnown_) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(nextModemPoll_ - Clock::now());
  return static_cast<int>(std::max<std::int64_t>(0, left.count()));
}

// Idle with the waiter in its wait: no time-out at all.
int PosixUart::WaiterTimeoutMs() const {
  Clock::time_point due = Clock::time_point::max();
  if (armedReadOwed_) due = nextModemPoll_;
  if (countersOwed_) due = std::min(due, nextCountersRead_);
  if (due == Clock::time_point::max()) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now());
  return static_cast<int>(std::max<std::int64_t>(0, left.count()));
}

// A device gone leaves the set: its hang-up would wake every wait.
void PosixUart::UpdateInterest(bool receiveHeld) {
  if (vanished_.load()) {
    loop_->Forget();
    return;
  }
  std::uint32_t want = 0;
  if (!receiveHeld) want |= EPOLLIN;  // a paused port leaves bytes to the kernel's throttling
  if (waitingForRoom_) want |= EPOLLOUT;
  loop_->Watch(want);
}

void PosixUart::ReadInput() {
  std::string buffer(kReadChunk, '\0');
  for (int round = 0; round < kReadsPerWake && !ReceiveHeld() && !stopping_.load(); ++round) {
    const ssize_t n = read(fd_, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return;
    if (n <= 0) {  // 0 after a hang-up, EIO once the device has gone
      Vanish();
      return;
    }
    if (!countersOwed_ && countersKnown_ && WaiterWatching()) {
      countersOwed_ = true;  // overruns come with bytes: the counters are read soon
      nextCountersRead_ = std::max(nextCountersRead_, Clock::now());
    }
    if (const std::uint64_t purges = rxPurges_.load(); purges != rxPurgesSeen_) {
      rxPurgesSeen_ = purges;
      marks_ = {};
    }
    const bool dropped =
        dsrSensitive_.load() && modemKnown_.load() && !(modemStatus_.load() & MS_DSR_ON);
    if (pseudo_) {  // unmarked input: the bytes as they came
      if (!dropped)
        sink_->OnReceive(reinterpret_cast<const std::uint8_t*>(buffer.data()),
                         static_cast<std::size_t>(n));
      continue;
    }
    const auto pieces = ParseMarkedInput(marks_, std::string_view(buffer.data(), n));
    if (!dropped) Deliver(pieces);
  }
}

void PosixUart::Deliver(const std::vector<RxPiece>& pieces) {
  const bool anyBad = std::any_of(pieces.begin(), pieces.end(), [](const RxPiece& p) {
    return p.kind == RxPiece::Kind::kBadByte;
  });
  DWORD badByteError = 0;
  if (anyBad) {
    const serial_icounter_struct before = counters_;
    PollCounters();  // also reports overruns that came with the bad bytes
    const auto grew = [](int now, int then) {
      return static_cast<std::uint32_t>(now) - static_cast<std::uint32_t>(then);  // wraps
    };
    badByteError = BadByteError(parityOn_.load(), grew(counters_.frame, before.frame),
                                grew(counters_.parity, before.parity));
  }
  for (const RxPiece& piece : pieces) {
    switch (piece.kind) {
      case RxPiece::Kind::kData:
        sink_->OnReceive(reinterpret_cast<const std::uint8_t*>(piece.bytes.data()),
                         piece.bytes.size());
        break;
      case RxPiece::Kind::kBadByte:
        sink_->OnReceiveError(static_cast<std::uint8_t>(piece.bytes[0]), badByteError);
        break;
      case RxPiece::Kind::kBreak:
        sink_->OnReceiveError(0, CE_BREAK);
        break;
    }
  }
}

void PosixUart::Vanish() {
  vanished_.store(true);
  if (vanishReported_) return;
  vanishReported_ = true;
  sink_->OnVanished();
}

// Writes until the kernel pushes back, then waits for EPOLLOUT, which n_tty gives
// once fewer than 256 bytes are queued: the driver's bytes stay in the driver (where
// write time-outs count them) instead of piling up in the kernel.
void PosixUart::ServiceTransmit() {
  while (!waitingForRoom_ && !TransmitHeld() && !stopping_.load()) {
    if (txBuffered_.load() == 0 && !TakeMore()) return;
    std::lock_guard lock(txMutex_);
    if (txPurges_.load() != txPurgesSeen_) {
      txPurgesSeen_ = txPurges_.load();
      txBuffer_.clear();
      txBuffered_.store(0);
      continue;
    }
    if (txBuffer_.empty()) continue;  // taken back meanwhile (a write timed out)
    if (rtsToggle_.load()) ChangeLine(TIOCM_RTS, true);
    const ssize_t n = WriteTty(fd_, txBuffer_.data(), txBuffer_.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      waitingForRoom_ = true;
      return;
    }
    if (n < 0) {
      if (MeansGone(errno)) vanished_.store(true);  // reported by the loop, outside the lock
      return;
    }
    txBuffer_.erase(txBuffer_.begin(), txBuffer_.begin() + n);
    txBuffered_.store(txBuffer_.size());
    sentSinceEmpty_ = true;
    drainChecks_ = 0;
    waitingForRoom_ = true;  // the next chunk when the kernel has room again
  }
}

// Output waits in the driver while the line says stop: under CTS and DSR flow
// here, not in the kernel, whose queue would count as sent and go out whenever
// the line rises, long after the write timed out. The kernel's own CRTSCTS still
// stops the bytes already handed to it.
bool PosixUart::TransmitHeld() const {
  if (outputSuspended_.load()) return true;
  if (!modemKnown_.load()) return false;
  const DWORD modem = modemStatus_.load();
  return (ctsFlow_.load() && !(modem & MS_CTS_ON)) || (dsrFlow_.load() && !(modem & MS_DSR_ON));
}

// A write timed out: what was taken for it and has not left is dropped and counted,
// so the driver reports only what went out. The kernel's queue is flushed only as
// far as TIOCOUTQ counts it (a pty counts nothing, and its flush would drop bytes
// already on their way to the other side).
std::size_t PosixUart::TakeBackUnsent() {
  if (!Usable()) return 0;
  std::lock_guard lock(txMutex_);
  std::size_t dropped = txBuffer_.size();
  txBuffer_.clear();
  txBuffered_.store(0);
  int before = 0;
  if (ioctl(fd_, TIOCOUTQ, &before) == 0 && before > 0) {
    tty::FlushOutput(fd_);
    int after = 0;
    if (ioctl(fd_, TIOCOUTQ, &after) != 0 || after < 0) after = 0;
    if (before > after) dropped += static_cast<std::size_t>(before - after);
  }
  return dropped;
}

// Under CTS or DSR flow with the lines not yet read, a hold cannot be ruled out.
bool PosixUart::ReadyToTake() {
  const bool flowByLines = ctsFlow_.load() || dsrFlow_.load();
  return Usable() && !TransmitHeld() && (modemKnown_.load() || !flowByLines) &&
         OutputPending() == 0;
}

bool PosixUart::TakeMore() {
  if (const int late = g_ttyLateTakeMs.load())
    std::this_thread::sleep_for(std::chrono::milliseconds(late));
  // Flow settings changed before a write was queued must hold that write's bytes:
  // looking and taking is one step against Configure and SetTransmitHeld.
  std::lock_guard hold(holdMutex_);
  if (TransmitHeld()) return false;
  const std::uint64_t purgesBefore = txPurges_.load();
  txScratch_.resize(writeChunk_.load());
  const std::size_t n = sink_->TakeTransmit(txScratch_.data(), txScratch_.size());
  if (n == 0) return false;
  std::lock_guard lock(txMutex_);
  if (txPurges_.load() != purgesBefore) return true;  // taken before a purge: dropped below
  txBuffer_.insert(txBuffer_.end(), txScratch_.begin(), txScratch_.begin() + n);
  txBuffered_.store(txBuffer_.size());
  return true;
}

// EV_TXEMPTY once everything handed over has left the UART: the kernel's queue
// is empty and, where the driver reports it, the line status register says TEMT
// (the shift register too).
void PosixUart::WatchDrain() {
  if (!sentSinceEmpty_ || waitingForRoom_ || txBuffered_.load() != 0) return;
  int queued = 0;
  bool drained = ioctl(fd_, TIOCOUTQ, &queued) != 0 || queued == 0;
  unsigned lsr = 0;
  if (drained && !lsrUnsupported_) {
    if (ioctl(fd_, TIOCSERGETLSR, &lsr) == 0) {
      drained = (lsr & TIOCSER_TEMT) != 0;
    } else {
      lsrUnsupported_ = true;
    }
  }
  if (!drained) {
    ++drainChecks_;
    return;
  }
  sentSinceEmpty_ = false;
  if (rtsToggle_.load()) ChangeLine(TIOCM_RTS, false);
  sink_->OnTransmitterEmpty();
}

}  // namespace veltra::platform
