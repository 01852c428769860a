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

constexpr DWORD kLineErrorEvents = CE_FRAME | CE_RXPARITY | CE_OVERRUN;
constexpr DWORD kEvRx80Full = 0x0400;  // EV_RX80FULL

bool HasInputFlowControl(const DCB& dcb) {
  return (dcb.Flags & DCB_fInX) != 0 || DcbRtsControl(dcb.Flags) == RTS_CONTROL_HANDSHAKE ||
         DcbDtrControl(dcb.Flags) == DTR_CONTROL_HANDSHAKE;
}

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

// How long a write's deadline may move while the lower half, free to send, has not
// run at all (a machine too loaded to schedule its thread), and in what steps.
constexpr auto kLateGraceStep = std::chrono::milliseconds(20);
constexpr auto kLateGraceMost = std::chrono::milliseconds(1000);

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
    write_.emplace();
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
