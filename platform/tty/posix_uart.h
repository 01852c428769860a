// The lower half over a kernel tty, shared by its parts: the calls from the driver
// and the I/O thread (uart_posix.cpp), the modem lines and counters
// (tty_lines_posix.cpp), and opening (tty_open_posix.cpp).
#pragma once

#include <linux/serial.h>
#include <sys/types.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/core/win32_types.h"
#include "platform/driver/uart.h"
#include "platform/poll/fd_loop.h"
#include "platform/tty/modem_waiter_posix.h"
#include "platform/tty/uart_posix_parse.h"
#include "platform/tty/uart_posix_seam.h"

namespace veltra::platform {

// The fewest bytes handed to the kernel at a time (uart_posix.cpp sizes the chunk).
inline constexpr std::size_t kMinWriteChunk = 256;
// How often the modem lines are looked at where no waiter tells of changes.
inline constexpr auto kModemPollPeriod = std::chrono::milliseconds(10);

// The test seams (uart_posix_seam.h); tty_open_posix.cpp holds them.
extern std::atomic<const TtyModemLines*> g_ttyTestLines;
extern std::atomic<int> g_ttyWriteFault;
extern std::atomic<int> g_ttyEpollFault;
extern std::atomic<int> g_ttyLateTakeMs;

inline bool MeansGone(int err) {
  return err == EIO || err == ENODEV || err == ENXIO || err == EPIPE;
}
inline bool MeansUnsupported(int err) {
  return err == ENOTTY || err == EINVAL || err == EOPNOTSUPP;
}

class PosixUart final : public Uart {
 public:
  using Clock = std::chrono::steady_clock;
  using DCB = win::DCB;
  using DWORD = win::DWORD;

  PosixUart(int fd, bool noLine, bool pty, std::unique_ptr<FdLoop> loop)
      : fd_(fd),
        loop_(std::move(loop)),
        pseudo_(noLine),
        pty_(pty),
        testLines_(g_ttyTestLines.load()) {}
  ~PosixUart() override { Stop(); }

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
    return stopped_.load() ? win::ERROR_INVALID_HANDLE : win::ERROR_DEVICE_NOT_CONNECTED;
  }
  DWORD FailedCall(int err);
  DWORD ChangeLine(int line, bool on);
  int ReadLines(int* bits);
  int ReadCounters(serial_icounter_struct* counters);
  void ApplyLineModes(const DCB& dcb);
  void Wake();

  // I/O thread
  void Run();
  bool ReceiveHeld() const;
  int NextTimeoutMs(bool pauseOnlyWished) const;
  void UpdateInterest(bool receiveHeld);
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
  const std::unique_ptr<FdLoop> loop_;
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

  std::atomic<bool> modemKnown_{true};     // false once TIOCMGET says the tty has no lines
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
  bool waitingForRoom_ = false;     // EPOLLOUT armed
  bool sentSinceEmpty_ = false;     // OnTransmitterEmpty still owed
  int drainChecks_ = 0;             // looks at the UART since the last write
  bool lsrUnsupported_ = false;     // TIOCSERGETLSR missing: TIOCOUTQ decides
  bool countersKnown_ = true;       // TIOCGICOUNT works
  bool countersCountLines_ = true;  // it counts modem line changes too: TIOCMGET only on a change
  Clock::time_point nextModemCheck_{};
  serial_icounter_struct lineCounters_{};  // counters_ at the last line poll
  serial_icounter_struct counters_{};
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

}  // namespace veltra::platform
