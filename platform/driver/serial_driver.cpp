#include "platform/driver/serial_driver.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/core/comm_api.h"
#include "platform/core/thread_name.h"

namespace veltra::platform {

using namespace win;

namespace {

// Marks a request as pending in its OVERLAPPED.Internal, as STATUS_PENDING does.
constexpr ULONG_PTR kPending = ERROR_IO_PENDING;

DWORD ValidateDcb(const DCB& dcb) {
  if (dcb.BaudRate == 0) return ERROR_INVALID_PARAMETER;
  if (dcb.ByteSize < 5 || dcb.ByteSize > 8) return ERROR_INVALID_PARAMETER;
  if (dcb.Parity > SPACEPARITY) return ERROR_INVALID_PARAMETER;
  if (dcb.StopBits > TWOSTOPBITS) return ERROR_INVALID_PARAMETER;
  // 1.5 stop bits exist only with 5 data bits, and 5 data bits cannot have 2.
  if (dcb.StopBits == ONE5STOPBITS && dcb.ByteSize != 5) return ERROR_INVALID_PARAMETER;
  if (dcb.StopBits == TWOSTOPBITS && dcb.ByteSize == 5) return ERROR_INVALID_PARAMETER;
  const bool xonXoff = (dcb.Flags & (DCB_fOutX | DCB_fInX)) != 0;
  if (xonXoff && dcb.XonChar == dcb.XoffChar) return ERROR_INVALID_PARAMETER;
  return ERROR_SUCCESS;
}

DCB InitialDcb() {
  DCB dcb;
  dcb.BaudRate = 9600;
  dcb.Flags = DCB_fBinary | (DTR_CONTROL_ENABLE << 4) | (RTS_CONTROL_ENABLE << 12);
  dcb.XonLim = SerialDriver::kDefaultQueueSize / 2;
  dcb.XoffLim = SerialDriver::kDefaultQueueSize / 4;
  return dcb;
}

std::chrono::milliseconds Ms(std::uint64_t ms) {
  return std::chrono::milliseconds(ms);
}

}  // namespace

// --- ByteRing -----------------------------------------------------------------------

std::size_t ByteRing::PushSome(const std::uint8_t* in, std::size_t n) {
  n = std::min(n, Free());
  if (n == 0) return 0;
  const std::size_t tail = (head_ + count_) % bytes_.size();
  const std::size_t first = std::min(n, bytes_.size() - tail);
  std::memcpy(bytes_.data() + tail, in, first);
  std::memcpy(bytes_.data(), in + first, n - first);
  count_ += n;
  return n;
}

std::size_t ByteRing::Pop(std::uint8_t* out, std::size_t max) {
  const std::size_t n = std::min(max, count_);
  if (n == 0) return 0;  // out may be null
  const std::size_t first = std::min(n, bytes_.size() - head_);
  std::memcpy(out, bytes_.data() + head_, first);
  std::memcpy(out + first, bytes_.data(), n - first);
  head_ = bytes_.empty() ? 0 : (head_ + n) % bytes_.size();
  count_ -= n;
  return n;
}

std::size_t ByteRing::Resize(std::size_t capacity) {
  std::vector<std::uint8_t> kept(std::min(count_, capacity));
  Pop(kept.data(), kept.size());
  const std::size_t dropped = count_;
  bytes_.assign(capacity, 0);
  std::copy(kept.begin(), kept.end(), bytes_.begin());
  head_ = 0;
  count_ = kept.size();
  return dropped;
}

// --- life cycle ---------------------------------------------------------------------

SerialDriver::SerialDriver(std::unique_ptr<Uart> uart)
    : uart_(std::move(uart)), dcb_(InitialDcb()) {}

SerialDriver::~SerialDriver() {
  Close();
}

DWORD SerialDriver::Open() {
  DWORD modem = 0;
  {
    std::unique_lock use(uartUse_);
    if (uart_->GetModemStatus(&modem) != ERROR_SUCCESS) modem = 0;
    modemStatus_ = modem;  // the baseline for EV_CTS/EV_DSR/EV_RLSD; nothing runs yet
    if (const DWORD error = uart_->Configure(dcb_); error != ERROR_SUCCESS) return error;
    uart_->SetDtr(true);
    uart_->SetRts(true);
    uart_->Start(*this);
    uartStarted_ = true;
  }
  service_ = std::thread([this] {
    NameCurrentThread("veltra-driver");
    ServiceLoop();
  });
  return ERROR_SUCCESS;
}

DWORD SerialDriver::Close() {
  {
    Lock lock(mutex_);
    if (closed_) return ERROR_SUCCESS;
    closed_ = true;
    CompleteAll(ERROR_OPERATION_ABORTED);
    stopService_ = true;
    changed_.notify_all();
    serviceWake_.notify_all();
  }
  if (service_.joinable()) service_.join();
  std::unique_lock use(uartUse_);
  if (uartStarted_ && !uartStopped_) uart_->Stop();
  uartStopped_ = true;
  return ERROR_SUCCESS;
}

DWORD SerialDriver::StateError() const {
  if (closed_) return ERROR_INVALID_HANDLE;
  if (vanished_) return ERROR_DEVICE_NOT_CONNECTED;
  return ERROR_SUCCESS;
}

// --- completions (all under mutex_) -------------------------------------------------

void SerialDriver::Complete(OVERLAPPED* ov, DWORD status, DWORD bytes) {
  ov->Internal = status;
  ov->InternalHigh = bytes;
  // Signalled under the lock: a late signal must never land on the next request.
  if (ov->hEvent != 0) SignalEventHandle(ov->hEvent);
  changed_.notify_all();
}

void SerialDriver::CompleteRead(DWORD status) {
  Complete(read_->ov, status, read_->got);
  read_.reset();
  UpdateInputFlow();
}

void SerialDriver::CompleteWrite(DWORD status) {
  Complete(write_->ov, status, static_cast<DWORD>(write_->taken));
  write_.reset();
}

void SerialDriver::CompleteWait(DWORD status, DWORD events) {
  *wait_->mask = events;
  Complete(wait_->ov, status, sizeof(DWORD));
  wait_.reset();
}

void SerialDriver::CompleteAll(DWORD status) {
  if (read_) CompleteRead(status);
  if (write_) CompleteWrite(status);
  if (wait_) CompleteWait(status, 0);
}

// With fAbortOnError an error ends the pending read and write, and further reads
// and writes fail, until ClearCommError has been called.
void SerialDriver::AddLineErrors(DWORD errors) {
  lineErrors_ |= errors;
  if (errors == 0 || !(dcb_.Flags & DCB_fAbortOnError)) return;
  abortedByError_ = true;
  if (read_) CompleteRead(ERROR_OPERATION_ABORTED);
  if (write_) CompleteWrite(ERROR_OPERATION_ABORTED);
}

void SerialDriver::RaiseEvents(DWORD events) {
  events &= eventMask_;
  if (events == 0) return;
  if (wait_) {
    CompleteWait(ERROR_SUCCESS, eventHistory_ | events);
    eventHistory_ = 0;
  } else {
    eventHistory_ |= events;
  }
}

// Waits for a request made without an OVERLAPPED (a blocking call).
DWORD SerialDriver::WaitSynchronous(Lock& lock, OVERLAPPED& ov, DWORD* bytes) {
  changed_.wait(lock, [&] { return ov.Internal != kPending; });
  if (bytes != nullptr) *bytes = static_cast<DWORD>(ov.InternalHigh);
  return static_cast<DWORD>(ov.Internal);
}

DWORD SerialDriver::GetOverlappedResult(OVERLAPPED* ov, DWORD* bytes, bool wait) {
  if (ov == nullptr) return ERROR_INVALID_PARAMETER;
  Lock lock(mutex_);
  if (closed_) return ERROR_INVALID_HANDLE;
  if (wait) changed_.wait(lock, [&] { return ov->Internal != kPending; });
  if (ov->Internal == kPending) return ERROR_IO_INCOMPLETE;
  if (bytes != nullptr) *bytes = static_cast<DWORD>(ov->InternalHigh);
  return static_cast<DWORD>(ov->Internal);
}

DWORD SerialDriver::CancelIo(OVERLAPPED* ov) {
  Lock lock(mutex_);
  if (closed_) return ERROR_INVALID_HANDLE;
  bool found = false;
  if (read_ && (ov == nullptr || read_->ov == ov)) {
    CompleteRead(ERROR_OPERATION_ABORTED);
    found = true;
  }
  if (write_ && (ov == nullptr || write_->ov == ov)) {
    CompleteWrite(ERROR_OPERATION_ABORTED);
    found = true;
  }
  if (wait_ && (ov == nullptr || wait_->ov == ov)) {
    CompleteWait(ERROR_OPERATION_ABORTED, 0);
    found = true;
  }
  return found ? ERROR_SUCCESS : ERROR_NOT_FOUND;
}

// --- configuration ------------------------------------------------------------------

DWORD SerialDriver::SetupComm(DWORD inQueue, DWORD outQueue) {
  if (inQueue > kMaxQueueSize || outQueue > kMaxQueueSize) return ERROR_INVALID_PARAMETER;
  Lock lock(mutex_);
  if (const DWORD error = StateError()) return error;
  // Windows' driver only ever grows its queue: a smaller size is ignored, so the
  // bytes waiting stay.
  if (inQueue > ring_.Capacity()) {
    ring_.Resize(inQueue);  // grows: nothing is dropped
    UpdateInputFlow();
  }
  if (outQueue != 0) outQueueSize_ = outQueue;
  return ERROR_SUCCESS;
}

DWORD SerialDriver::GetCommState(DCB* dcb) {
  if (dcb == nullptr) return ERROR_INVALID_PARAMETER;
  Lock lock(mutex_);
  if (const DWORD error = StateError()) return error;
  *dcb = dcb_;
  return ERROR_SUCCESS;
}

DWORD SerialDriver::SetCommState(const DCB& dcb) {
  if (const DWORD error = ValidateDcb(dcb)) return error;
  DCB old;
  {
    Lock lock(mutex_);
    if (const DWORD error = StateError()) return error;
    // As Windows' driver: a flow limit beyond the input queue is refused.
    if (dcb.XonLim > ring_.Capacity() || dcb.XoffLim > ring_.Capacity())
      return ERROR_INVALID_PARAMETER;
    old = dcb_;
  }
  {
    std::shared_lock use(uartUse_);
    if (uartStopped_) return ERROR_INVALID_HANDLE;
    if (const DWORD error = uart_->Configure(dcb)) return error;
  }
  {
    Lock lock(mutex_);
    dcb_ = dcb;
    UpdateInputFlow();
  }
  ApplyLineControlChanges(old, dcb);
  return ERROR_SUCCESS;
}

// A change of the DTR or RTS control mode sets the line as the mode says; under
// handshake the lower half drives it from the receive flow state.
void SerialDriver::ApplyLineControlChanges(const DCB& old, const DCB& now) {
  if (DcbDtrControl(old.Flags) != DcbDtrControl(now.Flags))
    CallUart(&Uart::SetDtr, DcbDtrControl(now.Flags) != DTR_CONTROL_DISABLE);
  if (DcbRtsControl(old.Flags) != DcbRtsControl(now.Flags))
    CallUart(&Uart::SetRts, DcbRtsControl(now.Flags) != RTS_CONTROL_DISABLE);
}

DWORD SerialDriver::GetCommTimeouts(COMMTIMEOUTS* timeouts) {
  if (timeouts == nullptr) return ERROR_INVALID_PARAMETER;
  Lock lock(mutex_);
  if (const DWORD error = StateError()) return error;
  *timeouts = timeouts_;
  return ERROR_SUCCESS;
}

DWORD SerialDriver::SetCommTimeouts(const COMMTIMEOUTS& timeouts) {
  Lock lock(mutex_);
  if (const DWORD error = StateError()) return error;
  timeouts_ = timeouts;
  return ERROR_SUCCESS;
}

DWORD SerialDriver::GetCommMask(DWORD* mask) {
  if (mask == nullptr) return ERROR_INVALID_PARAMETER;
  Lock lock(mutex_);
  if (const DWORD error = StateError()) return error;
  *mask = eventMask_;
  return ERROR_SUCCESS;
}

DWORD SerialDriver::SetCommMask(DWORD mask) {
  // EV_PERR, EV_EVENT1 and EV_EVENT2 are accepted as Windows does, and never raised.
  if ((mask & ~0x1FFFu) != 0) return ERROR_INVALID_PARAMETER;
  Lock lock(mutex_);
  if (const DWORD error = StateError()) return error;
  if (wait_) CompleteWait(ERROR_SUCCESS, 0);
  eventMask_ = mask;
  eventHistory_ = 0;
  return ERROR_SUCCESS;
}

// --- requests -----------------------------------------------------------------------

DWORD SerialDriver::WaitCommEvent(DWORD* mask, OVERLAPPED* ov) {
  if (mask == nullptr) return ERROR_INVALID_PARAMETER;
  OVERLAPPED own;
  OVERLAPPED* request = ov != nullptr ? ov : &own;
  Lock lock(mutex_);
  if (const DWORD error = StateError()) return error;
  if (eventMask_ == 0 || wait_) return ERROR_INVALID_PARAMETER;
  if (request->hEvent != 0) win::ResetEvent(request->hEvent);
  request->Internal = kPending;
  wait_ = WaitRequest{request, mask};
  if (eventHistory_ != 0) {
    CompleteWait(ERROR_SUCCESS, eventHistory_);
    eventHistory_ = 0;
    return ERROR_SUCCESS;
  }
  if (ov == nullptr) return WaitSynchronous(lock, own, nullptr);
  return ERROR_IO_PENDING;
}

DWORD SerialDriver::ReadFile(void* buffer, DWORD count, DWORD* bytesRead, OVERLAPPED* ov) {
  if (buffer == nullptr && count != 0) return ERROR_INVALID_PARAMETER;
  if (ov == nullptr && bytesRead == nullptr) return ERROR_INVALID_PARAMETER;
  OVERLAPPED own;
  Lock lock(mutex_);
  const DWORD result = ReadFileLocked(buffer, count, bytesRead, ov != nullptr ? ov : &own);
  if (ov == nullptr && result == ERROR_IO_PENDING) return WaitSynchronous(lock, own, bytesRead);
  return result;
}

DWORD SerialDriver::ReadFileLocked(void* buffer, DWORD count, DWORD* bytesRead, OVERLAPPED* ov) {
  if (const DWORD error = StateError()) return error;
  if (read_) return ERROR_INVALID_PARAMETER;  // one read at a time
  if (abortedByError_) return ERROR_OPERATION_ABORTED;
  if (ov->hEvent != 0) win::ResetEvent(ov->hEvent);
  if (bytesRead != nullptr) *bytesRead = 0;
  ov->Internal = kPending;
  const auto now = Clock::now();
  const COMMTIMEOUTS& t = timeouts_;
  ReadRequest r;
  r.ov = ov;
  r.buffer = static_cast<std::uint8_t*>(buffer);
  r.wanted = count;
  r.got = static_cast<DWORD>(ring_.Pop(r.buffer, count));
  r.lastByte = now;
  const bool returnAtOnce = t.ReadIntervalTimeout == MAXDWORD &&
                            t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
  const bool waitForFirst =
      t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
      t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != MAXDWORD;
  read_ = r;
  if (returnAtOnce || r.got == count || (waitForFirst && r.got > 0)) {
    CompleteRead(ERROR_SUCCESS);
    if (bytesRead != nullptr) *bytesRead = static_cast<DWORD>(ov->InternalHigh);
    return ERROR_SUCCESS;
  }
  if (waitForFirst) {
    read_->returnOnFirstByte = true;
    read_->totalDeadline = now + Ms(t.ReadTotalTimeoutConstant);
  } else {
    const std::uint64_t total =
        std::uint64_t{t.ReadTotalTimeoutMultiplier} * count + t.ReadTotalTimeoutConstant;
    if (total != 0) read_->totalDeadline = now + Ms(total);
    if (t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != MAXDWORD)
      read_->interval = Ms(t.ReadIntervalTimeout);
  }
  UpdateInputFlow();
  WakeServiceForDeadlines();
  return ERROR_IO_PENDING;
}

DWORD SerialDriver::WriteFile(const void* buffer, DWORD count, DWORD* bytesWritten,
                              OVERLAPPED* ov) {
  if (buffer == nullptr && count != 0) return ERROR_INVALID_PARAMETER;
  if (ov == nullptr && bytesWritten == nullptr) return ERROR_INVALID_PARAMETER;
  OVERLAPPED own;
  OVERLAPPED* request = ov != nullptr ? ov : &own;
  std::uint64_t id = 0;
  {
    Lock lock(mutex_);
    if (const DWORD error = StateError()) return error;
    if (write_) return ERROR_INVALID_PARAMETER;  // one write at a time
    if (abortedByError_) return ERROR_OPERATION_ABORTED;
    if (request->hEvent != 0) win::ResetEvent(request->hEvent);
    if (bytesWritten != nullptr) *bytesWritten = 0;
    request->Internal = kPending;
    id = nextWriteId_++;
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    write_ = WriteRequest{};  // not emplace(): clang 14 takes the nested type as incomplete there
    write_->ov = request;
    write_->id = id;
    write_->bytes.assign(bytes, bytes + count);
    const std::uint64_t total = std::uint64_t{timeouts_.WriteTotalTimeoutMultiplier} * count +
                                timeouts_.WriteTotalTimeoutConstant;
    if (total != 0) write_->deadline = Clock::now() + Ms(total);
    if (count == 0) CompleteWrite(ERROR_SUCCESS);
    WakeServiceForDeadlines();
  }
  {
    // A lower half that takes everything at once (an instant virtual line)
    // completes the write before WriteFile returns.
    std::shared_lock use(uartUse_);
    if (!uartStopped_) uart_->TransmitReady();
  }
  Lock lock(mutex_);
  if (write_ && write_->id == id) {
    if (ov == nullptr) return WaitSynchronous(lock, own, bytesWritten);
    return ERROR_IO_PENDING;
  }
  if (bytesWritten != nullptr) *bytesWritten = static_cast<DWORD>(request->InternalHigh);
  return static_cast<DWORD>(request->Internal);
}

// --- status and control -------------------------------------------------------------

DWORD SerialDriver::ClearCommError(DWORD* errors, COMSTAT* stat) {
  DWORD hold = 0;
  DWORD belowQueue = 0;
  {
    std::shared_lock use(uartUse_);
    if (!uartStopped_) {
      hold = uart_->HoldFlags();
      belowQueue = uart_->OutputPending();
    }
  }
  Lock lock(mutex_);
  if (const DWORD error = StateError()) return error;
  if (errors != nullptr) *errors = lineErrors_;
  lineErrors_ = 0;
  abortedByError_ = false;
  if (stat != nullptr) {
    stat->Flags = hold & (COMSTAT_fCtsHold | COMSTAT_fDsrHold | COMSTAT_fRlsdHold |
                          COMSTAT_fXoffHold | COMSTAT_fXoffSent);
    stat->cbInQue = static_cast<DWORD>(ring_.Size());
    const std::size_t queued = write_ ? write_->bytes.size() - write_->taken : 0;
    stat->cbOutQue = static_cast<DWORD>(queued) + belowQueue;
  }
  return ERROR_SUCCESS;
}

DWORD SerialDriver::GetCommModemStatus(DWORD* status) {
  if (status == nullptr) return ERROR_INVALID_PARAMETER;
  {
    Lock lock(mutex_);
    if (const DWORD error = StateError()) return error;
  }
  std::shared_lock use(uartUse_);
  if (uartStopped_) return ERROR_INVALID_HANDLE;
  return uart_->GetModemStatus(status);
}

DWORD SerialDriver::CallUart(DWORD (Uart::*call)(bool), bool on) {
  {
    Lock lock(mutex_);
    if (const DWORD error = StateError()) return error;
  }
  std::shared_lock use(uartUse_);
  if (uartStopped_) return ERROR_INVALID_HANDLE;
  return (uart_.get()->*call)(on);
}

DWORD SerialDriver::EscapeCommFunction(DWORD function) {
  switch (function) {
    case SETRTS:
      return CallUart(&Uart::SetRts, true);
    case CLRRTS:
      return CallUart(&Uart::SetRts, false);
    case SETDTR:
      return CallUart(&Uart::SetDtr, true);
    case CLRDTR:
      return CallUart(&Uart::SetDtr, false);
    case SETBREAK:
      return CallUart(&Uart::SetBreak, true);
    case CLRBREAK:
      return CallUart(&Uart::SetBreak, false);
    case SETXOFF:
      return CallUart(&Uart::SetTransmitHeld, true);
    case SETXON:
      return CallUart(&Uart::SetTransmitHeld, false);
    default:
      return ERROR_INVALID_PARAMETER;
  }
}

DWORD SerialDriver::PurgeComm(DWORD flags) {
  const DWORD all = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
  if ((flags & ~all) != 0) return ERROR_INVALID_PARAMETER;
  {
    Lock lock(mutex_);
    if (const DWORD error = StateError()) return error;
    if ((flags & PURGE_TXABORT) && write_) CompleteWrite(ERROR_OPERATION_ABORTED);
    if ((flags & PURGE_RXABORT) && read_) CompleteRead(ERROR_OPERATION_ABORTED);
    if (flags & PURGE_RXCLEAR) {
      ring_.Clear();
      UpdateInputFlow();
    }
  }
  std::shared_lock use(uartUse_);
  if (uartStopped_) return ERROR_SUCCESS;
  if (flags & PURGE_TXCLEAR) uart_->PurgeTransmit();
  if (flags & PURGE_RXCLEAR) uart_->PurgeReceive();
  return ERROR_SUCCESS;
}

}  // namespace veltra::platform
