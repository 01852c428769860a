// The driver's input flow control (XoffLim / XonLim), request time-outs and the
// service thread that ends requests at their deadlines.
#include <algorithm>

#include "platform/driver/serial_driver.h"

namespace veltra::platform {

using namespace win;

namespace {

// How long a write's deadline may move while the lower half, free to send, has not
// run at all (a machine too loaded to schedule its thread), and in what steps.
constexpr auto kLateGraceStep = std::chrono::milliseconds(20);
constexpr auto kLateGraceMost = std::chrono::milliseconds(1000);

bool HasInputFlowControl(const DCB& dcb) {
  return (dcb.Flags & DCB_fInX) != 0 || DcbRtsControl(dcb.Flags) == RTS_CONTROL_HANDSHAKE ||
         DcbDtrControl(dcb.Flags) == DTR_CONTROL_HANDSHAKE;
}

}  // namespace

// --- input flow control and time-outs -----------------------------------------------

// Pauses the sender when the free space falls below XoffLim, resumes it once no
// more than XonLim bytes wait; the hysteresis also holds for odd limits.
void SerialDriver::UpdateInputFlow() {
  bool want = pauseWanted_;
  if (!HasInputFlowControl(dcb_)) {
    want = false;
  } else if (!want) {
    want = ring_.Free() < dcb_.XoffLim && ring_.Size() > dcb_.XonLim;
  } else {
    want = ring_.Size() > dcb_.XonLim;
  }
  if (want != pauseWanted_) {
    pauseWanted_ = want;
    serviceWake_.notify_one();
  }
}

// Brings the lower half's receive pause in line with pauseWanted_. Inside a sink
// callback the Uart cannot be stopped meanwhile, so uartUse_ is not taken there
// (Close may hold it while Stop waits for this very callback); elsewhere it is
// taken before pauseMutex_, the order Open and Close also keep. A callback waits
// for a service thread that is applying meanwhile instead of leaving the newest
// wish to it: that thread may be preempted, and an instant line delivering in the
// callback's thread would overrun the ring until it runs again. Waiting is safe
// because PauseReceive of such a lower half never waits for its own callbacks.
void SerialDriver::ApplyPause(bool inCallback) {
  std::shared_lock use(uartUse_, std::defer_lock);
  if (!inCallback) {
    use.lock();
    if (uartStopped_) return;
  }
  std::lock_guard guard(pauseMutex_);
  for (;;) {
    bool pause = false;
    {
      Lock lock(mutex_);
      if (closed_ || pauseWanted_ == pauseApplied_) return;
      pause = pauseApplied_ = pauseWanted_;
    }
    uart_->PauseReceive(pause);
  }
}

bool SerialDriver::ReceivePauseWanted() {
  Lock lock(mutex_);
  return pauseWanted_;
}

// A lower half that accepts calls from inside its callbacks is throttled at once,
// so an instant line stops within a FIFO's worth of bytes; others are throttled
// from the service thread.
void SerialDriver::PauseFromCallback() {
  if (uart_->AcceptsCallsFromSink()) ApplyPause(true);
  Lock lock(mutex_);
  if (pauseWanted_ != pauseApplied_) serviceWake_.notify_one();
}

std::optional<SerialDriver::Clock::time_point> SerialDriver::NextDeadline() const {
  std::optional<Clock::time_point> next;
  auto consider = [&next](Clock::time_point t) {
    if (!next || t < *next) next = t;
  };
  if (read_ && read_->totalDeadline) consider(*read_->totalDeadline);
  if (read_ && read_->interval && read_->got > 0) consider(read_->lastByte + *read_->interval);
  if (write_ && write_->deadline) consider(*write_->deadline);
  return next;
}

void SerialDriver::ExpireTimeouts(Clock::time_point now) {
  if (read_) {
    const bool total = read_->totalDeadline && now >= *read_->totalDeadline;
    const bool gap = read_->interval && read_->got > 0 && now >= read_->lastByte + *read_->interval;
    if (total || gap) CompleteRead(ERROR_SUCCESS);
  }
  // A write that runs out of time ends successfully with what went out so far
  // (EndExpiredWrite).
  if (write_ && write_->deadline && now >= *write_->deadline) write_->expired = true;
}

// What the lower half took for the write but still holds never went out: it is
// taken back and not counted, so a short write says truly how much was sent.
// A write the lower half has not touched although nothing held it was not slow on
// the line: its thread did not run. It gets a little longer rather than failing.
void SerialDriver::EndExpiredWrite(Lock& lock) {
  const std::uint64_t id = write_->id;
  const bool mayWait = write_->taken == 0 && write_->lateGrace < kLateGraceMost;
  lock.unlock();
  std::size_t unsent = 0;
  bool late = false;
  {
    std::shared_lock use(uartUse_);
    if (!uartStopped_) {
      late = mayWait && uart_->ReadyToTake();
      if (!late) unsent = uart_->TakeBackUnsent();
    }
  }
  lock.lock();
  if (!write_ || write_->id != id) return;  // cancelled, purged or closed meanwhile
  if (late) {
    write_->expired = false;
    write_->lateGrace += kLateGraceStep;
    write_->deadline = Clock::now() + kLateGraceStep;
    lock.unlock();
    {
      // A take refused while the write counted as expired left the lower half idle.
      std::shared_lock use(uartUse_);
      if (!uartStopped_) uart_->TransmitReady();
    }
    lock.lock();
    return;
  }
  write_->taken -= std::min(unsent, write_->taken);
  CompleteWrite(ERROR_SUCCESS);
}

// Wakes the service thread only when a deadline comes before the one it sleeps
// until: a steady stream of writes does not cost it a wake each.
void SerialDriver::WakeServiceForDeadlines() {
  const auto next = NextDeadline();
  if (next && *next < serviceWakeAt_) serviceWake_.notify_one();
}

void SerialDriver::ServiceLoop() {
  Lock lock(mutex_);
  while (!stopService_) {
    ExpireTimeouts(Clock::now());
    if (write_ && write_->expired) {
      EndExpiredWrite(lock);
      continue;
    }
    if (pauseWanted_ != pauseApplied_) {
      lock.unlock();
      ApplyPause(false);
      lock.lock();
      if (pauseWanted_ != pauseApplied_) serviceWake_.wait_for(lock, std::chrono::milliseconds(1));
      continue;
    }
    const auto next = NextDeadline();
    serviceWakeAt_ = next.value_or(Clock::time_point::max());
    if (next)
      serviceWake_.wait_until(lock, *next);
    else
      serviceWake_.wait(lock);
  }
}

}  // namespace veltra::platform
