// The driver as the lower half's sink: received bytes, line errors and modem
// changes into the receive ring and events, the transmit pulls, and notices.
#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/driver/serial_driver.h"

namespace veltra::platform {

using namespace win;

namespace {

constexpr DWORD kLineErrorEvents = CE_FRAME | CE_RXPARITY | CE_OVERRUN;
constexpr DWORD kEvRx80Full = 0x0400;  // EV_RX80FULL

}  // namespace

// --- receive path (sink callbacks) --------------------------------------------------

// One byte into the pending read (when the ring is empty) or the ring.
// Received bytes, a run at a time: NULs stripped under fNull, everything dropped
// while DSR is off under fDsrSensitivity, the rest accepted.
void SerialDriver::ReceiveBytes(const std::uint8_t* data, std::size_t count, DWORD& events) {
  if ((dcb_.Flags & DCB_fDsrSensitivity) && !(modemStatus_ & MS_DSR_ON)) return;
  if (!(dcb_.Flags & DCB_fNull)) {
    AcceptRun(data, count, events);
    return;
  }
  while (count > 0) {
    const auto* nul = static_cast<const std::uint8_t*>(std::memchr(data, 0, count));
    const std::size_t run = nul != nullptr ? static_cast<std::size_t>(nul - data) : count;
    AcceptRun(data, run, events);
    if (nul == nullptr) return;
    data += run + 1;
    count -= run + 1;
  }
}

// A pending read waiting on an empty queue takes bytes directly; the rest go to the
// queue, and what does not fit is dropped with CE_RXOVER.
void SerialDriver::AcceptRun(const std::uint8_t* data, std::size_t count, DWORD& events) {
  if (count == 0) return;
  if (std::memchr(data, static_cast<std::uint8_t>(dcb_.EvtChar), count) != nullptr)
    events |= EV_RXFLAG;
  std::size_t direct = 0;
  if (read_ && ring_.Size() == 0 && read_->got < read_->wanted) {
    direct = std::min<std::size_t>(count, read_->wanted - read_->got);
    std::memcpy(read_->buffer + read_->got, data, direct);
    read_->got += static_cast<DWORD>(direct);
    read_->lastByte = Clock::now();
  }
  const std::size_t eightyPercent = ring_.Capacity() * 8 / 10 + 1;
  const std::size_t before = ring_.Size();
  const std::size_t queued = ring_.PushSome(data + direct, count - direct);
  if (before < eightyPercent && ring_.Size() >= eightyPercent) events |= kEvRx80Full;
  if (direct + queued > 0) events |= EV_RXCHAR;
  if (direct + queued < count) AddLineErrors(CE_RXOVER);
}

void SerialDriver::FillReadFromRing() {
  if (!read_ || ring_.Size() == 0) return;
  const std::size_t n = ring_.Pop(read_->buffer + read_->got, read_->wanted - read_->got);
  if (n == 0) return;
  read_->got += static_cast<DWORD>(n);
  read_->lastByte = Clock::now();
}

void SerialDriver::FinishReadIfDone() {
  if (!read_) return;
  FillReadFromRing();
  if (read_->got == read_->wanted || (read_->returnOnFirstByte && read_->got > 0))
    CompleteRead(ERROR_SUCCESS);
  else if (read_->got > 0 && read_->interval)
    WakeServiceForDeadlines();  // the interval timer (re)starts
}

void SerialDriver::OnReceive(const std::uint8_t* data, std::size_t count) {
  {
    Lock lock(mutex_);
    if (closed_ || vanished_) return;
    DWORD events = 0;
    ReceiveBytes(data, count, events);
    FinishReadIfDone();
    UpdateInputFlow();
    RaiseEvents(events);
  }
  PauseFromCallback();
}

void SerialDriver::OnReceiveError(std::uint8_t byte, DWORD lineError) {
  {
    Lock lock(mutex_);
    if (closed_ || vanished_) return;
    AddLineErrors(lineError);
    DWORD events = 0;
    if (lineError & kLineErrorEvents) events |= EV_ERR;
    if (lineError & CE_BREAK) events |= EV_BREAK;
    const DWORD replace = DCB_fErrorChar | DCB_fParity;  // both, as Win32 documents it
    if ((lineError & CE_RXPARITY) && (dcb_.Flags & replace) == replace)
      byte = static_cast<std::uint8_t>(dcb_.ErrorChar);
    ReceiveBytes(&byte, 1, events);
    FinishReadIfDone();
    UpdateInputFlow();
    RaiseEvents(events);
  }
  PauseFromCallback();
}

void SerialDriver::OnLineError(DWORD lineErrors) {
  Lock lock(mutex_);
  if (closed_ || vanished_) return;
  AddLineErrors(lineErrors);
  DWORD events = 0;
  if (lineErrors & kLineErrorEvents) events |= EV_ERR;
  if (lineErrors & CE_BREAK) events |= EV_BREAK;
  RaiseEvents(events);
}

void SerialDriver::OnModemStatus(DWORD modemStatus) {
  Lock lock(mutex_);
  if (closed_ || vanished_) return;
  const DWORD changed = modemStatus ^ modemStatus_;
  DWORD events = 0;
  if (changed & MS_CTS_ON) events |= EV_CTS;
  if (changed & MS_DSR_ON) events |= EV_DSR;
  if (changed & MS_RLSD_ON) events |= EV_RLSD;
  // EV_RING on the trailing edge of RI, as a 16550's TERI bit reports it.
  if ((modemStatus_ & MS_RING_ON) && !(modemStatus & MS_RING_ON)) events |= EV_RING;
  modemStatus_ = modemStatus;
  RaiseEvents(events);
}

void SerialDriver::OnBreak() {
  Lock lock(mutex_);
  if (closed_ || vanished_) return;
  AddLineErrors(CE_BREAK);
  RaiseEvents(EV_BREAK);
}

void SerialDriver::OnVanished() {
  Lock lock(mutex_);
  if (closed_ || vanished_) return;
  vanished_ = true;
  CompleteAll(ERROR_DEVICE_NOT_CONNECTED);
}

// --- transmit path (sink callbacks) -------------------------------------------------

std::size_t SerialDriver::TakeTransmit(std::uint8_t* out, std::size_t max) {
  Lock lock(mutex_);
  if (closed_ || vanished_ || !write_ || write_->expired) return 0;
  const std::size_t n = std::min(max, write_->bytes.size() - write_->taken);
  std::memcpy(out, write_->bytes.data() + write_->taken, n);
  write_->taken += n;
  if (write_->taken == write_->bytes.size()) CompleteWrite(ERROR_SUCCESS);
  return n;
}

void SerialDriver::OnTransmitterEmpty() {
  Lock lock(mutex_);
  if (closed_ || vanished_ || write_) return;
  RaiseEvents(EV_TXEMPTY);
}

// --- notices ------------------------------------------------------------------------

void SerialDriver::OnNotice(const PortNotice& notice) {
  constexpr std::size_t kKept = 32;  // nobody asking must not grow without bound
  Lock lock(mutex_);
  if (notices_.size() == kKept) notices_.erase(notices_.begin());
  notices_.push_back(notice);
}

std::vector<PortNotice> SerialDriver::TakeNotices() {
  Lock lock(mutex_);
  return std::exchange(notices_, {});
}

}  // namespace veltra::platform
