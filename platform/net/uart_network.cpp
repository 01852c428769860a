// The lower half over a TCP connection to a device server: raw TCP (data only), or
// Telnet with COM-PORT-OPTION (RFC 2217), where line settings, modem lines, breaks,
// purges and flow control travel as subnegotiations beside the data.
//
// Opening connects and, for RFC 2217, negotiates on the opening thread. Then one
// I/O thread per port (network_uart_io.cpp) waits on the socket and a wake-up
// (FdLoop), decodes what comes in and writes what the driver hands over. Other
// threads queue commands (ctrlMutex_) and wake it; the server's answers to line
// settings reach a waiting Configure through the session.
#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/core/open_failure.h"
#include "platform/core/thread_name.h"
#include "platform/net/network_uart.h"

namespace veltra::platform {
namespace {

using namespace win;  // NOLINT: Win32 constants read better unqualified here
using Clock = std::chrono::steady_clock;
using rfc2217::Command;
using std::chrono::milliseconds;
using telnet::Bytes;

constexpr milliseconds kConnectTimeout{3000};
constexpr milliseconds kNegotiationTimeout{2000};
// How long Configure waits for the server to confirm a line setting. Servers that
// never answer some settings (ser2net on a pty) cost this once per change.
constexpr milliseconds kReplyWait{500};
// Closing sends the commands still queued (DTR and RTS off) for at most this long.
constexpr milliseconds kCloseFlush{200};
constexpr std::size_t kMinDeliveryPiece = 16;
constexpr int kMaxNotices = 20;  // per connection; a peer that babbles is not a flood

// Text the server sent before it hung up (a busy port's banner), fit to quote.
std::string PrintableText(const Bytes& bytes) {
  std::string text;
  for (std::uint8_t b : bytes) {
    if (text.size() >= 80) break;
    if (b >= 0x20 && b < 0x7F)
      text.push_back(static_cast<char>(b));
    else if ((b == '\r' || b == '\n') && !text.empty() && text.back() != ' ')
      text.push_back(' ');
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

std::string LossText(int err) {
  switch (err) {
    case 0:
      return "closed by the server";
    case ETIMEDOUT:
      return "lost: no answer to keep-alive probes";
    case ECONNRESET:
      return "reset by the server";
    default:
      return "lost: " + SocketErrorText(err);
  }
}

}  // namespace

// --- commands and notices -----------------------------------------------------------

void NetworkUart::Queue(const Bytes& bytes) {
  if (bytes.empty()) return;
  {
    std::lock_guard lock(ctrlMutex_);
    ctrlOut_.insert(ctrlOut_.end(), bytes.begin(), bytes.end());
  }
  Wake();
}

void NetworkUart::QueueRequest(Command command, std::uint32_t value) {
  Bytes out;
  rfc2217::AppendRequest(command, value, out);
  Queue(out);
}

void NetworkUart::Wake() {
  loop_->Wake();
}

// Notices made while opening wait for Start. The driver never calls in while its
// own lock is held, so holding noticeMutex_ into the sink is safe.
void NetworkUart::Notice(const std::string& text, bool error) {
  std::lock_guard lock(noticeMutex_);
  // A peer that babbles is cut short; a failure is always told.
  if (!error && notices_ > kMaxNotices) return;
  const bool last = !error && ++notices_ > kMaxNotices;
  const PortNotice notice{
      endpoint_.Label() + ": " + (last ? "further problems are not reported" : text), error};
  if (sink_ == nullptr) {
    earlyNotices_.push_back(notice);
  } else {
    sink_->OnNotice(notice);
  }
}

DWORD NetworkUart::ModemCallError() const {
  if (!Usable()) return Unusable();
  return session_.ComPort() ? ERROR_SUCCESS : ERROR_INVALID_FUNCTION;
}

// Under a handshake the server drives the line; a direct command would end it.
DWORD NetworkUart::SetLine(bool dtr, bool on) {
  if (const DWORD error = ModemCallError()) return error;
  if (dtr ? dtrHandshake_.load() : rtsHandshake_.load()) return ERROR_SUCCESS;
  QueueRequest(Command::kSetControl, dtr ? (on ? rfc2217::kDtrOn : rfc2217::kDtrOff)
                                         : (on ? rfc2217::kRtsOn : rfc2217::kRtsOff));
  return ERROR_SUCCESS;
}

DWORD NetworkUart::SetBreak(bool on) {
  if (const DWORD error = ModemCallError()) return error;
  QueueRequest(Command::kSetControl, on ? rfc2217::kBreakOn : rfc2217::kBreakOff);
  return ERROR_SUCCESS;
}

DWORD NetworkUart::GetModemStatus(DWORD* modemStatus) {
  if (const DWORD error = ModemCallError()) return error;
  *modemStatus = session_.ModemStatus();
  return ERROR_SUCCESS;
}

// The server does the line's handshakes; its notifications say what holds it.
DWORD NetworkUart::HoldFlags() {
  if (!Usable()) return 0;
  DWORD flags = 0;
  if (heldByUser_.load() || session_.PeerSuspended()) flags |= COMSTAT_fXoffHold;
  if (session_.ComPort()) {
    const DWORD modem = session_.ModemStatus();
    if (ctsFlow_.load() && !(modem & MS_CTS_ON)) flags |= COMSTAT_fCtsHold;
    if (dsrFlow_.load() && !(modem & MS_DSR_ON)) flags |= COMSTAT_fDsrHold;
  }
  return flags;
}

// Reading stops, so TCP holds the server back; SUSPEND also tells it to stop
// reading the line, so its own handshake holds the device.
void NetworkUart::PauseReceive(bool paused) {
  if (paused_.exchange(paused) == paused || !Usable()) return;
  if (session_.ComPort())
    QueueRequest(paused ? Command::kFlowControlSuspend : Command::kFlowControlResume, 0);
  Wake();
}

void NetworkUart::PurgeTransmit() {
  if (!Usable()) return;
  txPurges_.fetch_add(1);
  if (session_.ComPort()) QueueRequest(Command::kPurgeData, rfc2217::kPurgeToLine);
  Wake();
}

void NetworkUart::PurgeReceive() {
  if (!Usable()) return;
  rxPurges_.fetch_add(1);
  if (session_.ComPort()) QueueRequest(Command::kPurgeData, rfc2217::kPurgeFromLine);
  Wake();
}

DWORD NetworkUart::SetTransmitHeld(bool held) {
  if (!Usable()) return Unusable();
  heldByUser_.store(held);
  Wake();
  return ERROR_SUCCESS;
}

// --- negotiation ----------------------------------------------------------------------

DWORD NetworkUart::Negotiate(std::string* failure) {
  Queue(session_.Begin());
  const auto deadline = Clock::now() + kNegotiationTimeout;
  DWORD error = ERROR_SUCCESS;
  bool asked = false;
  for (;;) {
    if (session_.Settled()) {
      if (!session_.ComPort() || session_.HeardComPort()) break;
      // A COM-PORT-OPTION message proves the server serves the port: a busy ser2net
      // agrees to everything, then says "Port already in use" and hangs up. Most
      // send the modem lines at once; the current baud rate is asked for anyway.
      if (!asked) {
        Bytes query;
        session_.AppendSettingRequest(rfc2217::kBaud, 0, query);
        Queue(query);
      }
      asked = true;
    }
    if (!NegotiationStep(deadline, failure, &error)) return error;
  }
  AfterNegotiation();
  return ERROR_SUCCESS;
}

// One wait for the socket; false when the negotiation has ended: in failure, or at
// the deadline with a Telnet server that left something unanswered (data flows,
// the rest may still come).
bool NetworkUart::NegotiationStep(Clock::time_point deadline, std::string* failure, DWORD* error) {
  const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now());
  const std::string who = endpoint_.Label();
  if (left.count() <= 0) {
    if (session_.ComPortAnswered() || session_.HeardTelnet()) {
      AfterNegotiation();  // the rest of it may still come; data flows meanwhile
      return false;
    }
    *error = ERROR_SEM_TIMEOUT;
    *failure = who + " took the connection but did not answer the RFC 2217 negotiation within " +
               std::to_string(kNegotiationTimeout.count() / 1000) +
               " s; if it serves raw TCP, open it as tcp://" + who;
    return false;
  }
  std::size_t queued = 0;
  {
    std::lock_guard lock(ctrlMutex_);
    queued = ctrlOut_.size();
  }
  int ready = WaitSocket(fd_, true, queued > 0, static_cast<int>(left.count()));
  if (ready < 0) ready = errno == EINTR ? 0 : kWaitErr;
  if (ready & kWaitOut) FlushControlNow();
  if (!(ready & (kWaitIn | kWaitHup | kWaitErr))) return true;
  std::uint8_t buffer[kReadChunk];
  const std::ptrdiff_t n = SocketReceive(fd_, buffer, sizeof buffer);
  if (n > 0) {
    FeedInput(buffer, static_cast<std::size_t>(n));
    return true;
  }
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
  const std::string said = PrintableText(early_);
  *error = ERROR_CONNECTION_ABORTED;
  *failure = who + " closed the connection during the RFC 2217 negotiation" +
             (said.empty() ? std::string(" (port busy, or not a serial port server?)")
                           : ": \"" + said + "\"");
  return false;
}

// Writes queued commands while the socket takes them; a failed socket shows itself
// to the next read.
void NetworkUart::FlushControlNow() {
  std::lock_guard lock(ctrlMutex_);
  while (!ctrlOut_.empty()) {
    const std::ptrdiff_t n = SocketSend(fd_, ctrlOut_.data(), ctrlOut_.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return;
    ctrlOut_.erase(ctrlOut_.begin(), ctrlOut_.begin() + n);
  }
}

void NetworkUart::AfterNegotiation() {
  if (!session_.ComPort()) {
    Notice("the server refused COM-PORT-OPTION: data only, no line settings or modem lines");
    return;
  }
  QueueRequest(Command::kSetModemStateMask, 0xFF);
  QueueRequest(Command::kSetLineStateMask, rfc2217::kLineErrorMask);
}

// --- configuration ----------------------------------------------------------------------

DWORD NetworkUart::Configure(const DCB& dcb) {
  if (!Usable()) return Unusable();
  const bool inputFlow = (dcb.Flags & DCB_fInX) ||
                         DcbRtsControl(dcb.Flags) == RTS_CONTROL_HANDSHAKE ||
                         DcbDtrControl(dcb.Flags) == DTR_CONTROL_HANDSHAKE;
  deliveryPiece_.store(
      inputFlow ? std::clamp<std::size_t>(dcb.XoffLim, kMinDeliveryPiece, kReadChunk) : kReadChunk);
  if (!session_.ComPort()) return ERROR_SUCCESS;  // data only: the line is the server's business
  ctsFlow_.store((dcb.Flags & DCB_fOutxCtsFlow) != 0);
  dsrFlow_.store((dcb.Flags & DCB_fOutxDsrFlow) != 0);
  dtrHandshake_.store(DcbDtrControl(dcb.Flags) == DTR_CONTROL_HANDSHAKE);
  rtsHandshake_.store(DcbRtsControl(dcb.Flags) == RTS_CONTROL_HANDSHAKE);
  std::lock_guard lock(configMutex_);
  return ConfigureLine(rfc2217::LineRequestFromDcb(dcb));
}

// Sends what changed; once running, waits for the server to confirm the line
// settings and undoes them when it took other values.
DWORD NetworkUart::ConfigureLine(const rfc2217::LineRequest& want) {
  using rfc2217::SettingValue;
  rfc2217::AwaitedAnswers awaited{};  // 0: not asked
  Bytes out;
  for (int s = 0; s < rfc2217::kSettingCount; ++s) {
    if (configured_ && SettingValue(want, s) == SettingValue(sent_, s)) continue;
    awaited[s] = session_.AppendSettingRequest(s, SettingValue(want, s), out);
  }
  if (!configured_ || want.outFlow != sent_.outFlow)
    rfc2217::AppendRequest(Command::kSetControl, want.outFlow, out);
  if (!configured_ || want.inFlow != sent_.inFlow)
    rfc2217::AppendRequest(Command::kSetControl, want.inFlow, out);
  Queue(out);
  const DWORD result = started_.load() ? AwaitConfirmations(want, awaited) : ERROR_SUCCESS;
  if (result != ERROR_SUCCESS && configured_) {
    Bytes undo;
    for (int s = 0; s < rfc2217::kSettingCount; ++s)
      if (awaited[s] != 0) session_.AppendSettingRequest(s, SettingValue(sent_, s), undo);
    Queue(undo);
    return result;
  }
  sent_ = want;
  configured_ = true;
  return result;
}

// A setting the server answered with another value was refused; one it left
// unanswered within kReplyWait counts as taken.
DWORD NetworkUart::AwaitConfirmations(const rfc2217::LineRequest& want,
                                      const rfc2217::AwaitedAnswers& awaited) {
  std::string refusal;
  switch (session_.AwaitAnswers(
      want, awaited, kReplyWait, [this] { return !Usable(); }, &refusal)) {
    case rfc2217::Session::Confirmation::kGone:
      return Unusable();
    case rfc2217::Session::Confirmation::kRefused:
      Notice(refusal, /*error=*/true);
      return ERROR_INVALID_PARAMETER;
    case rfc2217::Session::Confirmation::kTaken:
      break;
  }
  return ERROR_SUCCESS;
}

// --- what the server sends ------------------------------------------------------------

bool NetworkUart::OnData(const std::uint8_t* data, std::size_t count) {
  if (dropData_) return true;
  if (sink_ == nullptr) {
    early_.insert(early_.end(), data, data + count);
    return true;
  }
  sink_->OnReceive(data, count);
  return !sink_->ReceivePauseWanted();
}

// The driver takes the first modem status as its baseline: none before Start.
void NetworkUart::OnModemStatus(DWORD modemStatus) {
  if (sink_ != nullptr) sink_->OnModemStatus(modemStatus);
}

void NetworkUart::OnLineState(DWORD lineErrors, bool lineBreak) {
  if (sink_ == nullptr) return;
  if (lineErrors != 0) sink_->OnLineError(lineErrors);
  if (lineBreak) sink_->OnBreak();
}

// --- life cycle -------------------------------------------------------------------------

void NetworkUart::Start(UartSink& sink) {
  if (started_.load() || stopped_.load()) return;
  {
    std::lock_guard lock(noticeMutex_);
    sink_ = &sink;
    for (const PortNotice& notice : earlyNotices_) sink_->OnNotice(notice);
    earlyNotices_.clear();
  }
  started_.store(true);
  io_ = std::thread([this] {
    NameCurrentThread("veltra-net-io");
    Run();
  });
}

void NetworkUart::Stop() {
  if (stopped_.exchange(true)) return;
  stopping_.store(true);
  Wake();
  if (io_.joinable()) io_.join();
  session_.WakeWaiters();  // a waiting Configure sees the port gone
  if (!vanished_.load()) FlushOnClose();
  CloseSocket(fd_);
}

// What was taken from the driver (as a tty sends what its kernel queue holds), then
// the commands still queued (DTR and RTS off), for a bounded time.
void NetworkUart::FlushOnClose() {
  Bytes out(wire_.begin() + static_cast<std::ptrdiff_t>(wireOffset_), wire_.end());
  {
    std::lock_guard lock(ctrlMutex_);
    out.insert(out.end(), ctrlOut_.begin(), ctrlOut_.end());
  }
  const auto deadline = Clock::now() + kCloseFlush;
  std::size_t done = 0;
  while (done < out.size() && Clock::now() < deadline) {
    const std::ptrdiff_t n = SocketSend(fd_, out.data() + done, out.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return;
    } else {
      WaitSocket(fd_, false, true, 10);
    }
  }
}

void NetworkUart::LoseConnection(int err) {
  vanished_.store(true);
  session_.WakeWaiters();  // a waiting Configure sees the port gone
  if (lossReported_) return;
  lossReported_ = true;
  Notice("connection " + LossText(err), /*error=*/true);
  sink_->OnVanished();
}

std::unique_ptr<Uart> OpenNetworkUart(const std::string& name, DWORD* error) {
  *error = ERROR_SUCCESS;
  NetworkEndpoint endpoint;
  if (!ParseNetworkPortName(name, &endpoint)) {
    *error = ERROR_INVALID_NAME;
    SetLastOpenFailureText("\"" + name +
                           "\" is no network port name: write rfc2217://HOST:PORT or "
                           "tcp://HOST:PORT (an IPv6 host in brackets)");
    return nullptr;
  }
  ConnectFailure failure;
  const Socket socket = ConnectTcp(endpoint, kConnectTimeout, &failure);
  if (socket == kNoSocket) {
    *error = failure.error;
    SetLastOpenFailureText(failure.text);
    return nullptr;
  }
  int err = 0;
  auto loop = FdLoop::Create(socket, &err);
  if (!loop) {
    *error = ERROR_NOT_ENOUGH_MEMORY;
    CloseSocket(socket);
    return nullptr;
  }
  auto uart = std::make_unique<NetworkUart>(socket, endpoint, std::move(loop));
  if (endpoint.rfc2217) {
    std::string why;
    *error = uart->Negotiate(&why);
    if (*error != ERROR_SUCCESS) {
      SetLastOpenFailureText(why);
      return nullptr;
    }
  }
  return uart;
}

}  // namespace veltra::platform
