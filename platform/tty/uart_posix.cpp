// The lower half over a kernel tty (ttyS*, ttyUSB*, ttyACM*, ptys). One I/O thread
// per open port waits in epoll on the tty and an eventfd (the other threads' way to
// wake it), reads into the driver, writes what the driver hands over, and follows
// the modem lines and the line-error counters where the tty has them: told by a
// waiter thread blocked in TIOCMIWAIT where the driver has it, else by polling.
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/core/errno_map.h"
#include "platform/core/open_failure.h"
#include "platform/driver/uart.h"
#include "platform/tty/modem_waiter_posix.h"
#include "platform/tty/termios2_linux.h"
#include "platform/tty/tty_node_posix.h"
#include "platform/tty/uart_posix_parse.h"
#include "platform/tty/uart_posix_seam.h"

namespace veltra::platform {
namespace {

using namespace win;  // NOLINT: Win32 constants read better unqualified here
using Clock = std::chrono::steady_clock;

constexpr std::size_t kReadChunk = 4096;
// Bytes handed to the kernel at a time. n_tty wakes a writer once fewer than 256
// bytes are queued, so a UART's kernel queue stays within a chunk plus 256 bytes:
// the rest waits in the driver, where write time-outs and purges reach it. A chunk
// covers about 10 ms of the line, so a fast line is not starved between wakes.
constexpr std::size_t kMinWriteChunk = 256;
constexpr std::size_t kMaxUartWriteChunk = 4096;  // the serial core's transmit buffer
// A pty has no line to pace: what it accepts is already with the reader at the far
// end, so it takes as much as the kernel will hold.
constexpr std::size_t kPtyWriteChunk = 65536;
constexpr double kWriteChunkSeconds = 0.010;
constexpr double kBitsPerCharacter = 10.0;  // start, 8 data, stop: close enough to size a chunk
constexpr int kReadsPerWake = 16;           // then look at stop/pause requests again
constexpr auto kModemPollPeriod = std::chrono::milliseconds(10);
// Where the counters count line changes, the line register is still read this often.
constexpr auto kModemCheckPeriod = std::chrono::milliseconds(500);
// How soon to look again whether the waiter is back in its wait.
constexpr auto kRearmLook = std::chrono::milliseconds(1);
constexpr int kWatchedLines = TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG;
constexpr auto kDrainPollPeriod = std::chrono::milliseconds(2);
constexpr int kQuickDrainChecks = 10;
// A tty that reads back a rate further off than this cannot do the rate asked for.
constexpr double kBaudTolerance = 0.04;

std::atomic<const TtyModemLines*> g_testLines{nullptr};
std::atomic<int> g_writeFault{0};
std::atomic<int> g_epollFault{0};
std::atomic<int> g_lateTakeMs{0};

ssize_t WriteTty(int fd, const void* bytes, std::size_t n) {
  if (const int fault = g_writeFault.load()) {
    errno = fault;
    return -1;
  }
  return write(fd, bytes, n);
}

int WaitForEvents(int epollFd, epoll_event* events, int max, int timeoutMs) {
  if (const int fault = g_epollFault.load()) {
    errno = fault;
    return -1;
  }
  return epoll_wait(epollFd, events, max, timeoutMs);
}

DWORD OpenError(int err) {
  return Win32ErrorFromErrno(err, ErrnoStage::kOpening);
}
DWORD DeviceError(int err) {
  return Win32ErrorFromErrno(err, ErrnoStage::kOpen);
}

bool MeansGone(int err) {
  return err == EIO || err == ENODEV || err == ENXIO || err == EPIPE;
}
bool MeansUnsupported(int err) {
  return err == ENOTTY || err == EINVAL || err == EOPNOTSUPP;
}

DWORD ModemWordFromTiocm(int bits) {
  DWORD status = 0;
  if (bits & TIOCM_CTS) status |= MS_CTS_ON;
  if (bits & TIOCM_DSR) status |= MS_DSR_ON;
  if (bits & TIOCM_RNG) status |= MS_RING_ON;
  if (bits & TIOCM_CAR) status |= MS_RLSD_ON;
  return status;
}

tty::Parity ParityFromDcb(BYTE parity) {
  switch (parity) {
    case ODDPARITY:
      return tty::Parity::kOdd;
    case EVENPARITY:
      return tty::Parity::kEven;
    case MARKPARITY:
      return tty::Parity::kMark;
    case SPACEPARITY:
      return tty::Parity::kSpace;
    default:
      return tty::Parity::kNone;
  }
}

// The DCB as line settings; false for what no tty can do.
bool LineSettingsFromDcb(const DCB& dcb, tty::LineSettings* s) {
  if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY) {
    return false;
  }
  if (dcb.StopBits > TWOSTOPBITS) return false;
  // A UART sends 1.5 stop bits only for 5-bit characters, where CSTOPB means 1.5.
  if (dcb.StopBits == ONE5STOPBITS && dcb.ByteSize != 5) return false;
  s->baud = dcb.BaudRate;
  s->dataBits = dcb.ByteSize;
  s->parity = ParityFromDcb(dcb.Parity);
  s->twoStopBits = dcb.StopBits != ONESTOPBIT;
  s->rtsCts = (dcb.Flags & DCB_fOutxCtsFlow) || DcbRtsControl(dcb.Flags) == RTS_CONTROL_HANDSHAKE;
  s->xonXoffOut = (dcb.Flags & DCB_fOutX) != 0;
  s->xonXoffIn = (dcb.Flags & DCB_fInX) != 0;
  s->xonChar = static_cast<std::uint8_t>(dcb.XonChar);
  s->xoffChar = static_cast<std::uint8_t>(dcb.XoffChar);
  if ((s->xonXoffOut || s->xonXoffIn) && s->xonChar == s->xoffChar) return false;
  return true;
}

// A pty drops parity and data size; a UART driver that cannot do 5 bits or mark
// parity quietly keeps 8 bits or plain parity, which only reading back shows.
bool KernelTookSettings(const tty::LineSettings& asked, const tty::LineSettings& got,
                        bool keepsFrame) {
  const double off = std::abs(static_cast<double>(got.baud) - static_cast<double>(asked.baud));
  const bool frame = !keepsFrame || (got.dataBits == asked.dataBits && got.parity == asked.parity);
  return frame && off <= kBaudTolerance * asked.baud && got.twoStopBits == asked.twoStopBits &&
         got.rtsCts == asked.rtsCts;
}

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

// Unix98 pty slaves (majors 136 to 143) and the legacy BSD ones (major 3).
bool IsPseudoTerminal(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  const unsigned int m = major(st.st_rdev);
  return (m >= 136 && m <= 143) || m == 3;
}

// A pty standing in for a UART in a test (with a stand-in line register) is
// treated as one, marks and pacing included.
bool HasNoLine(int fd) {
  return g_testLines.load() == nullptr && IsPseudoTerminal(fd);
}

std::size_t WriteChunkFor(bool pseudo, std::uint32_t baud) {
  if (pseudo) return kPtyWriteChunk;
  const double perChunk = baud / kBitsPerCharacter * kWriteChunkSeconds;
  return std::clamp(static_cast<std::size_t>(perChunk), kMinWriteChunk, kMaxUartWriteChunk);
}

class PosixUart final : public Uart {
 public:
  PosixUart(int fd, bool noLine, bool pty, int wakeFd, int epollFd)
      : fd_(fd),
        wakeFd_(wakeFd),
        epollFd_(epollFd),
        pseudo_(noLine),
        pty_(pty),
        testLines_(g_testLines.load()) {}
  ~PosixUart() override {
    Stop();
    CloseAll();
  }

  void Start(UartSink& sink) override;
  void Stop() override;
  DWORD Configure(const DCB& dcb) override;
  DWORD SetRts(bool on) override { return Usable() ? ChangeLine(TIOCM_RTS, on) : Unusable(); }
  DWORD SetDtr(bool on) override { return Usable() ? ChangeLine(TIOCM_DTR, on) : Unusable(); }
  DWORD SetBreak(bool on) override;
  DWORD GetModemStatus(DWORD* modemStatus) override;
  void TransmitReady() override { Wake(); }
  DWORD OutputPending() override;
  DWORD HoldFlags() override;
  void PauseReceive(bool paused) override;
  void PurgeTransmit() override;
  void PurgeReceive() override;
  std::size_t TakeBackUnsent() override;
  bool ReadyToTake() override;
  DWORD SetTransmitHeld(bool held) override;
  bool AcceptsCallsFromSink() const override { return true; }

 private:
  bool Usable() const { return !stopped_.load() && !vanished_.load(); }
  DWORD Unusable() const {
    return stopped_.load() ? ERROR_INVALID_HANDLE : ERROR_DEVICE_NOT_CONNECTED;
  }
  DWORD FailedCall(int err);
  DWORD ChangeLine(int line, bool on);
  int ReadLines(int* bits);
  int ReadCounters(serial_icounter_struct* counters);
  void ApplyLineModes(const DCB& dcb);
  void Wake();
  void CloseAll();

  // I/O thread
  void Run();
  bool ReceiveHeld() const;
  int NextTimeoutMs(bool pauseOnlyWished) const;
  void UpdateInterest(bool receiveHeld);
  void DrainWakeups();
  void ReadInput();
  void Deliver(const std::vector<RxPiece>& pieces);
  void ServiceTransmit();
  bool TransmitHeld() const;
  bool TakeMore();
  void WatchDrain();
  void StartWaiter();
  bool WaiterWatching() const { return waiter_ && waiter_->Watching(); }
  int WaiterTimeoutMs() const;
  void PollLines();
  void FollowWaiter();
  bool ReadLineState(bool readRegister);
  void PollModem();
  void PollCounters();
  void Vanish();

  const int fd_;
  const int wakeFd_;
  const int epollFd_;
  const bool pseudo_;  // a pty: no line, no line errors, nothing marked in its input
  const bool pty_;     // a pty even with the test seam: it keeps no data size or parity
  const TtyModemLines* const testLines_;
  UartSink* sink_ = nullptr;
  std::thread io_;
  std::atomic<bool> started_{false};
  std::atomic<bool> stopping_{false};
  std::atomic<bool> stopped_{false};
  std::atomic<bool> vanished_{false};
  std::atomic<bool> paused_{false};

  // Written by Configure, read by the I/O thread.
  std::atomic<bool> ctsFlow_{false};       // fOutxCtsFlow: output waits for CTS (kernel)
  std::atomic<bool> dsrFlow_{false};       // fOutxDsrFlow: emulated, output waits for DSR
  std::atomic<bool> dsrSensitive_{false};  // fDsrSensitivity: input dropped while DSR is off
  std::atomic<bool> dtrHandshake_{false};  // DTR follows the receive pause
  std::atomic<bool> rtsToggle_{false};     // RTS on while bytes go out
  std::atomic<bool> parityOn_{false};
  std::atomic<std::size_t> writeChunk_{kMinWriteChunk};
  int lastDtrMode_ = -1;  // Configure only: modes re-applied when they change
  int lastRtsMode_ = -1;

  std::atomic<bool> modemKnown_{true};  // false once TIOCMGET says the tty has no lines
  std::atomic<bool> modemTracked_{false};  // modemStatus_ follows the counters: no TIOCMGET needed
  std::atomic<DWORD> modemStatus_{0};
  std::atomic<bool> outputSuspended_{false};

  // Transmit path. txMutex_ orders writes against PurgeTransmit; no sink call is made
  // while it is held. holdMutex_ orders the flow settings against taking bytes.
  std::mutex txMutex_;
  std::mutex holdMutex_;
  std::vector<std::uint8_t> txBuffer_;
  std::vector<std::uint8_t> txScratch_;  // I/O thread: what TakeMore takes from the driver
  std::atomic<std::size_t> txBuffered_{0};
  std::atomic<std::uint64_t> txPurges_{0};
  std::uint64_t txPurgesSeen_ = 0;
  bool waitingForRoom_ = false;  // EPOLLOUT armed
  bool sentSinceEmpty_ = false;  // OnTransmitterEmpty still owed
  int drainChecks_ = 0;          // looks at the UART since the last write
  bool lsrUnsupported_ = false;  // TIOCSERGETLSR missing: TIOCOUTQ decides
  bool countersKnown_ = true;    // TIOCGICOUNT works
  bool countersCountLines_ = true;  // it counts modem line changes too: TIOCMGET only on a change
  Clock::time_point nextModemCheck_{};
  serial_icounter_struct lineCounters_{};  // counters_ at the last line poll
  serial_icounter_struct counters_{};
  std::uint32_t interestSet_ = ~0u;
  Clock::time_point nextModemPoll_{};
  // Where the driver has TIOCMIWAIT; the lines are then read only when it wakes.
  std::unique_ptr<ModemLineWaiter> waiter_;
  bool armedReadOwed_ = true;  // a line read once the waiter is back in its wait
  bool countersOwed_ = false;  // bytes came since the counters were read (overruns)
  Clock::time_point nextCountersRead_{};

  bool vanishReported_ = false;  // I/O thread only
  MarkedInputState marks_;
  std::atomic<std::uint64_t> rxPurges_{0};
  std::uint64_t rxPurgesSeen_ = 0;
};

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

void PosixUart::Stop() {
  if (stopped_.exchange(true)) return;
  stopping_.store(true);
  Wake();
  if (io_.joinable()) io_.join();
  if (waiter_) waiter_->Stop();
  ioctl(fd_, TIOCNXCL);
  close(fd_);  // also gives up the flock
}

void PosixUart::CloseAll() {
  close(wakeFd_);
  close(epollFd_);
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

DWORD PosixUart::SetBreak(bool on) {
  if (!Usable()) return Unusable();
  return ioctl(fd_, on ? TIOCSBRK : TIOCCBRK) == 0 ? ERROR_SUCCESS : FailedCall(errno);
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
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = write(wakeFd_, &one, sizeof one);
}

// --- the I/O thread ----------------------------------------------------------------

void PosixUart::Run() {
  epoll_event wake{};
  wake.events = EPOLLIN;
  wake.data.fd = wakeFd_;
  epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &wake);
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
    epoll_event events[2];
    const int n = WaitForEvents(epollFd_, events, 2, NextTimeoutMs(!paused && wished));
    if (n < 0 && errno != EINTR) {
      // Nothing can be waited for any more: to the driver the device is lost.
      Vanish();
      return;
    }
    bool ttyReady = false, ttyWritable = false, ttyHangup = false;
    for (int i = 0; i < n; ++i) {
      if (events[i].data.fd == wakeFd_) {
        DrainWakeups();
        continue;
      }
      ttyReady = events[i].events & EPOLLIN;
      ttyWritable = events[i].events & EPOLLOUT;
      ttyHangup = events[i].events & (EPOLLHUP | EPOLLERR);
    }
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

void PosixUart::UpdateInterest(bool receiveHeld) {
  std::uint32_t want = 0;
  if (!vanished_.load()) {
    if (!receiveHeld) want |= EPOLLIN;  // a paused port leaves bytes to the kernel's throttling
    if (waitingForRoom_) want |= EPOLLOUT;
  }
  if (want == interestSet_) return;
  epoll_event ev{};
  ev.events = want;
  ev.data.fd = fd_;
  if (vanished_.load()) {
    epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd_, &ev);
  } else if (epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd_, &ev) != 0) {
    epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd_, &ev);
  }
  interestSet_ = want;
}

void PosixUart::DrainWakeups() {
  std::uint64_t count = 0;
  while (read(wakeFd_, &count, sizeof count) > 0) {
  }
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
  if (const int late = g_lateTakeMs.load())
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

// Windows opens a port with its queues empty.
int PrepareTty(int fd, bool noLine) {
  tty::LineSettings current;
  if (const int err = tty::ReadLineSettings(fd, &current)) return err;
  if (current.baud == 0) current.baud = 9600;  // B0 would drop DTR until configured
  current.parity = tty::Parity::kNone;
  current.xonXoffIn = current.xonXoffOut = false;
  current.markLineErrors = !noLine;
  if (const int err = tty::ApplyLineSettings(fd, current)) return err;
  tty::FlushInput(fd);
  tty::FlushOutput(fd);
  return 0;
}

// Exclusive as on Windows: flock keeps out every other cooperating program, root
// included; TIOCEXCL also keeps out those that do not lock (except root).
int TakeExclusively(int fd, bool noLine) {
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return errno;
  if (!isatty(fd)) return ENOTTY;
  if (ioctl(fd, TIOCEXCL) != 0) return errno;
  return PrepareTty(fd, noLine);
}

std::string OpenFailureText(int err, const std::string& path) {
  switch (err) {
    case EACCES:
    case EPERM:
      return PermissionDeniedText(path);
    case EBUSY:
    case EWOULDBLOCK:
      return InUseText(path);
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return NoSuchDeviceText(path);
    case ENOTTY:
      return path + " is not a serial port.";
    default:
      return path + ": " + std::strerror(err) + ".";
  }
}

struct OpenedTty {
  int fd = -1;
  bool noLine = false;  // no modem lines or line errors (a pty without the test seam)
  bool pty = false;
};

// The node is checked before it is opened read-write: opening is not harmless for
// every device (a watchdog arms, a virtual console goes raw).
int OpenExclusive(const std::string& path, OpenedTty* out, std::string* text) {
  TtyNodeKind kind = TtyNodeKind::kUnknownTty;
  if (const int err = CheckTtyNode(path, &kind, text)) return err;
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    *text = OpenFailureText(err, path);
    return err;
  }
  const bool noLine = HasNoLine(fd);
  if (const int err = TakeExclusively(fd, noLine)) {
    close(fd);
    *text = OpenFailureText(err, path);
    return err;
  }
  *out = {fd, noLine, IsPseudoTerminal(fd)};
  return 0;
}

}  // namespace

void UseTtyModemLinesForTests(const TtyModemLines* lines) {
  g_testLines.store(lines);
}

void InjectTtyIoFaultsForTests(TtyIoFaults faults) {
  g_writeFault.store(faults.writeErrno);
  g_epollFault.store(faults.epollErrno);
  g_lateTakeMs.store(faults.lateTakeMs);
}

std::unique_ptr<Uart> OpenPosixUart(const std::string& name, DWORD* error) {
  *error = ERROR_SUCCESS;
  if (name.empty() || name.find('\0') != std::string::npos) {
    *error = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  const std::string path = TtyPathForName(name);
  OpenedTty tty;
  std::string failure;
  if (const int err = OpenExclusive(path, &tty, &failure)) {
    *error = OpenError(err);
    SetLastOpenFailureText(failure);
    return nullptr;
  }
  const int wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  const int epollFd = epoll_create1(EPOLL_CLOEXEC);
  if (wakeFd < 0 || epollFd < 0) {
    *error = OpenError(errno);
    if (wakeFd >= 0) close(wakeFd);
    if (epollFd >= 0) close(epollFd);
    close(tty.fd);
    return nullptr;
  }
  return std::make_unique<PosixUart>(tty.fd, tty.noLine, tty.pty, wakeFd, epollFd);
}

}  // namespace veltra::platform
