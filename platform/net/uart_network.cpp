// The lower half over a TCP connection to a device server: raw TCP (data only), or
// Telnet with COM-PORT-OPTION (RFC 2217), where line settings, modem lines, breaks,
// purges and flow control travel as subnegotiations beside the data.
//
// Opening connects and, for RFC 2217, negotiates on the opening thread. Then one
// I/O thread per port waits in epoll on the socket and an eventfd, decodes what
// comes in and writes what the driver hands over. Other threads queue commands
// (ctrlMutex_) and wake it; the server's answers to line settings reach a waiting
// Configure through replyMutex_.
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/core/open_failure.h"
#include "platform/core/thread_name.h"
#include "platform/driver/uart.h"
#include "platform/net/net_connect.h"
#include "platform/net/rfc2217_codec.h"
#include "platform/net/telnet_codec.h"

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
constexpr std::size_t kReadChunk = 4096;
constexpr std::size_t kMinDeliveryPiece = 16;
constexpr std::size_t kWriteChunk = 65536;  // bytes taken from the driver at a time
constexpr int kReadsPerWake = 16;
constexpr double kBaudTolerance = 0.04;
constexpr int kMaxNotices = 20;  // per connection; a peer that babbles is not a flood

// The settings a server confirms with the value it uses.
enum Setting { kBaud, kDataSize, kParity, kStopSize, kSettingCount };
constexpr Command kSettingCommands[kSettingCount] = {Command::kSetBaudRate, Command::kSetDataSize,
                                                     Command::kSetParity, Command::kSetStopSize};

std::uint32_t SettingValue(const rfc2217::LineRequest& r, int s) {
  switch (s) {
    case kBaud:
      return r.baud;
    case kDataSize:
      return r.dataSize;
    case kParity:
      return r.parity;
    default:
      return r.stopSize;
  }
}

bool SettingMatches(int s, std::uint32_t asked, std::uint32_t got) {
  if (s != kBaud) return asked == got;
  return std::abs(static_cast<double>(got) - asked) <= kBaudTolerance * asked;
}

// A setting in a technician's words, from its COM-PORT-OPTION value.
std::string SettingText(int s, std::uint32_t value) {
  static const char* const parities[] = {"?", "none", "odd", "even", "mark", "space"};
  static const char* const stopBits[] = {"?", "1", "2", "1.5"};
  switch (s) {
    case kBaud:
      return "baud rate " + std::to_string(value);
    case kDataSize:
      return std::to_string(value) + " data bits";
    case kParity:
      return std::string("parity ") + (value <= 5 ? parities[value] : "?");
    default:
      return std::string(value <= 3 ? stopBits[value] : "?") + " stop bits";
  }
}

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
      return std::string("lost: ") + std::strerror(err);
  }
}

class NetworkUart final : public Uart, private telnet::Decoder::Handler {
 public:
  NetworkUart(int fd, NetworkEndpoint endpoint, int wakeFd, int epollFd)
      : fd_(fd), wakeFd_(wakeFd), epollFd_(epollFd), endpoint_(std::move(endpoint)) {}
  ~NetworkUart() override {
    Stop();
    close(wakeFd_);
    close(epollFd_);
  }

  // RFC 2217 only, on the opening thread before Start: 0 or the Win32 error, with
  // *failure saying why in a technician's words.
  DWORD Negotiate(std::string* failure);

  void Start(UartSink& sink) override;
  void Stop() override;
  DWORD Configure(const DCB& dcb) override;
  DWORD SetRts(bool on) override { return SetLine(false, on); }
  DWORD SetDtr(bool on) override { return SetLine(true, on); }
  DWORD SetBreak(bool on) override;
  DWORD GetModemStatus(DWORD* modemStatus) override;
  void TransmitReady() override { Wake(); }
  DWORD OutputPending() override { return Usable() ? static_cast<DWORD>(txPending_.load()) : 0; }
  DWORD HoldFlags() override;
  void PauseReceive(bool paused) override;
  void PurgeTransmit() override;
  void PurgeReceive() override;
  DWORD SetTransmitHeld(bool held) override;
  bool AcceptsCallsFromSink() const override { return true; }

 private:
  bool Usable() const { return !stopped_.load() && !vanished_.load(); }
  DWORD Unusable() const {
    return stopped_.load() ? ERROR_INVALID_HANDLE : ERROR_DEVICE_NOT_CONNECTED;
  }
  DWORD ModemCallError() const;
  DWORD SetLine(bool dtr, bool on);
  void Queue(const Bytes& bytes);
  void QueueRequest(Command command, std::uint32_t value);
  void Wake();
  // error: it explains a failure (a refused setting, the connection gone).
  void Notice(const std::string& text, bool error = false);

  // Negotiation, on the opening thread
  bool NegotiationSettled() const;
  bool NegotiationStep(Clock::time_point deadline, std::string* failure, DWORD* error);
  void FlushControlNow();
  void AfterNegotiation();

  // Configure
  DWORD ConfigureLine(const rfc2217::LineRequest& want);
  DWORD AwaitConfirmations(const rfc2217::LineRequest& want,
                           const std::array<std::uint64_t, kSettingCount>& awaited);
  void AppendSettingRequest(int setting, std::uint32_t value, Bytes& out);

  // Decoder::Handler, on the I/O thread (the opening thread while negotiating)
  bool OnData(const std::uint8_t* data, std::size_t count) override;
  void OnNegotiation(std::uint8_t verb, std::uint8_t option) override;
  void OnSubnegotiation(std::uint8_t option, const Bytes& payload) override;
  void OnProtocolError(const std::string& what) override;
  void OnServerMessage(const rfc2217::ServerMessage& message);
  void OnModemState(std::uint32_t value);
  void OnLineState(std::uint32_t value);

  // I/O thread
  void Run();
  int WaitTimeoutMs(bool paused, bool wished) const;
  void HandleSocketEvents(std::uint32_t events);
  bool ReceiveHeld() const;
  void UpdateInterest(bool receiveHeld);
  void DrainWakeups();
  void ReadInput();
  std::size_t FeedInput(const std::uint8_t* data, std::size_t count);
  void DropReceived();
  void ServiceTransmit();
  bool FillWire();
  void ApplyTransmitPurge();
  void AccountWritten(std::size_t n);
  void WatchDrain();
  void LoseConnection(int err);
  void FlushOnClose();

  const int fd_;
  const int wakeFd_;
  const int epollFd_;
  const NetworkEndpoint endpoint_;
  UartSink* sink_ = nullptr;
  std::thread io_;
  std::atomic<bool> started_{false};
  std::atomic<bool> stopping_{false};
  std::atomic<bool> stopped_{false};
  std::atomic<bool> vanished_{false};
  std::atomic<bool> paused_{false};
  std::atomic<bool> heldByUser_{false};
  std::atomic<bool> peerSuspended_{false};
  std::atomic<bool> comPort_{false};  // COM-PORT-OPTION agreed: line control available
  std::atomic<DWORD> modem_{0};
  std::atomic<bool> ctsFlow_{false};
  std::atomic<bool> dsrFlow_{false};
  std::atomic<bool> dtrHandshake_{false};
  std::atomic<bool> rtsHandshake_{false};
  // Input is handed to the driver in pieces no larger than its XoffLim while it
  // may pause us, so that a pause wish is seen before its queue can overflow.
  std::atomic<std::size_t> deliveryPiece_{kReadChunk};

  std::mutex ctrlMutex_;
  Bytes ctrlOut_;  // commands and answers not yet on the wire

  std::mutex configMutex_;  // one Configure at a time
  bool configured_ = false;
  rfc2217::LineRequest sent_;  // guarded by configMutex_

  // Servers answer in order, so the n-th answer to a setting answers its n-th
  // request; one never answered is written off when its wait ends.
  struct Confirmation {
    std::uint64_t asked = 0;
    std::uint64_t answered = 0;
    std::uint32_t value = 0;  // the last answer
  };
  std::mutex replyMutex_;
  std::condition_variable replied_;
  std::array<Confirmation, kSettingCount> confirmations_{};

  std::mutex noticeMutex_;
  std::vector<PortNotice> earlyNotices_;  // made before Start
  int notices_ = 0;

  // Opening thread, then I/O thread
  telnet::Decoder decoder_;
  telnet::Negotiation negotiation_;
  bool localBinary_ = false;
  bool heardTelnet_ = false;
  bool heardComPort_ = false;
  Bytes early_;  // data that came while negotiating, delivered on Start

  // I/O thread
  Bytes rxBuffer_;
  std::size_t rxOffset_ = 0;  // rxBuffer_ from here on waits for a receive pause to end
  bool dropData_ = false;
  std::atomic<std::uint64_t> rxPurges_{0};
  std::uint64_t rxPurgesSeen_ = 0;
  Bytes scratch_;
  Bytes wire_;  // encoded bytes on their way out
  std::size_t wireOffset_ = 0;
  bool wireIsData_ = false;
  bool wireBinary_ = true;
  bool wireInEscape_ = false;  // the first byte of an escape pair went out
  std::size_t wireRaw_ = 0;    // data bytes of wire_ not yet (wholly) written
  std::atomic<std::size_t> txPending_{0};
  std::atomic<std::uint64_t> txPurges_{0};
  std::uint64_t txPurgesSeen_ = 0;
  bool waitingForRoom_ = false;
  bool sentSinceEmpty_ = false;
  std::uint32_t interest_ = ~0u;
  bool lossReported_ = false;
};

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
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = write(wakeFd_, &one, sizeof one);
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
  return comPort_.load() ? ERROR_SUCCESS : ERROR_INVALID_FUNCTION;
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
  *modemStatus = modem_.load();
  return ERROR_SUCCESS;
}

// The server does the line's handshakes; its notifications say what holds it.
DWORD NetworkUart::HoldFlags() {
  if (!Usable()) return 0;
  DWORD flags = 0;
  if (heldByUser_.load() || peerSuspended_.load()) flags |= COMSTAT_fXoffHold;
  if (comPort_.load()) {
    const DWORD modem = modem_.load();
    if (ctsFlow_.load() && !(modem & MS_CTS_ON)) flags |= COMSTAT_fCtsHold;
    if (dsrFlow_.load() && !(modem & MS_DSR_ON)) flags |= COMSTAT_fDsrHold;
  }
  return flags;
}

// Reading stops, so TCP holds the server back; SUSPEND also tells it to stop
// reading the line, so its own handshake holds the device.
void NetworkUart::PauseReceive(bool paused) {
  if (paused_.exchange(paused) == paused || !Usable()) return;
  if (comPort_.load())
    QueueRequest(paused ? Command::kFlowControlSuspend : Command::kFlowControlResume, 0);
  Wake();
}

void NetworkUart::PurgeTransmit() {
  if (!Usable()) return;
  txPurges_.fetch_add(1);
  if (comPort_.load()) QueueRequest(Command::kPurgeData, rfc2217::kPurgeToLine);
  Wake();
}

void NetworkUart::PurgeReceive() {
  if (!Usable()) return;
  rxPurges_.fetch_add(1);
  if (comPort_.load()) QueueRequest(Command::kPurgeData, rfc2217::kPurgeFromLine);
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
  negotiation_.AcceptLocal(telnet::kBinary);
  negotiation_.AcceptLocal(telnet::kComPort);
  negotiation_.AcceptLocal(telnet::kSuppressGoAhead);
  negotiation_.AcceptRemote(telnet::kBinary);
  negotiation_.AcceptRemote(telnet::kSuppressGoAhead);
  Bytes out;
  negotiation_.RequestLocal(telnet::kComPort, out);
  negotiation_.RequestLocal(telnet::kBinary, out);
  negotiation_.RequestRemote(telnet::kBinary, out);
  Queue(out);
  const auto deadline = Clock::now() + kNegotiationTimeout;
  DWORD error = ERROR_SUCCESS;
  bool asked = false;
  for (;;) {
    if (NegotiationSettled()) {
      if (!comPort_.load() || heardComPort_) break;
      // A COM-PORT-OPTION message proves the server serves the port: a busy ser2net
      // agrees to everything, then says "Port already in use" and hangs up. Most
      // send the modem lines at once; the current baud rate is asked for anyway.
      if (!asked) {
        Bytes query;
        AppendSettingRequest(kBaud, 0, query);
        Queue(query);
      }
      asked = true;
    }
    if (!NegotiationStep(deadline, failure, &error)) return error;
  }
  AfterNegotiation();
  return ERROR_SUCCESS;
}

// COM-PORT-OPTION answered and binary mode settled both ways.
bool NetworkUart::NegotiationSettled() const {
  return negotiation_.LocalSettled(telnet::kComPort) &&
         negotiation_.LocalSettled(telnet::kBinary) && negotiation_.RemoteSettled(telnet::kBinary);
}

// One wait for the socket; false when the negotiation has ended: in failure, or at
// the deadline with a Telnet server that left something unanswered (data flows,
// the rest may still come).
bool NetworkUart::NegotiationStep(Clock::time_point deadline, std::string* failure, DWORD* error) {
  const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now());
  const std::string who = endpoint_.Label();
  if (left.count() <= 0) {
    if (negotiation_.LocalSettled(telnet::kComPort) || heardTelnet_) {
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
  pollfd p{fd_, static_cast<short>(POLLIN | (queued > 0 ? POLLOUT : 0)), 0};
  if (poll(&p, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) p.revents = POLLERR;
  if (p.revents & POLLOUT) FlushControlNow();
  if (!(p.revents & (POLLIN | POLLHUP | POLLERR))) return true;
  std::uint8_t buffer[kReadChunk];
  const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
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
    const ssize_t n = send(fd_, ctrlOut_.data(), ctrlOut_.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return;
    ctrlOut_.erase(ctrlOut_.begin(), ctrlOut_.begin() + n);
  }
}

void NetworkUart::AfterNegotiation() {
  if (!comPort_.load()) {
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
  if (!comPort_.load()) return ERROR_SUCCESS;  // data only: the line is the server's business
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
  std::array<std::uint64_t, kSettingCount> awaited{};  // 0: not asked
  Bytes out;
  for (int s = 0; s < kSettingCount; ++s) {
    if (configured_ && SettingValue(want, s) == SettingValue(sent_, s)) continue;
    AppendSettingRequest(s, SettingValue(want, s), out);
    std::lock_guard lock(replyMutex_);
    awaited[s] = confirmations_[s].asked;
  }
  if (!configured_ || want.outFlow != sent_.outFlow)
    rfc2217::AppendRequest(Command::kSetControl, want.outFlow, out);
  if (!configured_ || want.inFlow != sent_.inFlow)
    rfc2217::AppendRequest(Command::kSetControl, want.inFlow, out);
  Queue(out);
  const DWORD result = started_.load() ? AwaitConfirmations(want, awaited) : ERROR_SUCCESS;
  if (result != ERROR_SUCCESS && configured_) {
    Bytes undo;
    for (int s = 0; s < kSettingCount; ++s)
      if (awaited[s] != 0) AppendSettingRequest(s, SettingValue(sent_, s), undo);
    Queue(undo);
    return result;
  }
  sent_ = want;
  configured_ = true;
  return result;
}

// A setting the server answered with another value was refused; one it left
// unanswered within kReplyWait counts as taken. Servers answer in order, so the
// first answer after the request is the one to it.
DWORD NetworkUart::AwaitConfirmations(const rfc2217::LineRequest& want,
                                      const std::array<std::uint64_t, kSettingCount>& awaited) {
  std::unique_lock lock(replyMutex_);
  replied_.wait_for(lock, kReplyWait, [&] {
    if (!Usable()) return true;
    for (int s = 0; s < kSettingCount; ++s)
      if (confirmations_[s].answered < awaited[s]) return false;
    return true;
  });
  if (!Usable()) return Unusable();
  for (int s = 0; s < kSettingCount; ++s) {
    Confirmation& c = confirmations_[s];
    const bool answered = c.answered >= awaited[s];
    if (!answered) c.answered = c.asked;  // written off: never coming
    if (awaited[s] == 0 || !answered || SettingMatches(s, SettingValue(want, s), c.value)) continue;
    const std::uint32_t got = c.value;
    lock.unlock();
    Notice("the server refused " + SettingText(s, SettingValue(want, s)) + " (it answered " +
               SettingText(s, got) + ")",
           /*error=*/true);
    return ERROR_INVALID_PARAMETER;
  }
  return ERROR_SUCCESS;
}

void NetworkUart::AppendSettingRequest(int setting, std::uint32_t value, Bytes& out) {
  rfc2217::AppendRequest(kSettingCommands[setting], value, out);
  std::lock_guard lock(replyMutex_);
  ++confirmations_[setting].asked;
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

void NetworkUart::OnNegotiation(std::uint8_t verb, std::uint8_t option) {
  heardTelnet_ = true;
  Bytes answer;
  negotiation_.Receive(verb, option, answer);
  Queue(answer);
  localBinary_ = negotiation_.Local(telnet::kBinary) == telnet::Negotiation::State::kYes;
  decoder_.SetPeerBinary(negotiation_.Remote(telnet::kBinary) == telnet::Negotiation::State::kYes);
  const bool comPort = negotiation_.Local(telnet::kComPort) == telnet::Negotiation::State::kYes;
  if (comPort_.exchange(comPort) && !comPort)
    Notice("the server withdrew COM-PORT-OPTION: data only from now on");
}

void NetworkUart::OnSubnegotiation(std::uint8_t option, const Bytes& payload) {
  heardTelnet_ = true;
  if (option != telnet::kComPort) return;  // nothing else was agreed to
  heardComPort_ = true;
  rfc2217::ServerMessage message;
  std::string error;
  if (!rfc2217::ParseServerMessage(payload, &message, &error)) {
    OnProtocolError(error);
    return;
  }
  OnServerMessage(message);
}

void NetworkUart::OnProtocolError(const std::string& what) {
  Notice("malformed Telnet from the server, ignored: " + what);
}

void NetworkUart::OnServerMessage(const rfc2217::ServerMessage& message) {
  for (int s = 0; s < kSettingCount; ++s) {
    if (message.command != kSettingCommands[s]) continue;
    {
      std::lock_guard lock(replyMutex_);
      ++confirmations_[s].answered;
      confirmations_[s].value = message.value;
    }
    replied_.notify_all();
    return;
  }
  switch (message.command) {
    case Command::kNotifyModemState:
      OnModemState(message.value);
      break;
    case Command::kNotifyLineState:
      OnLineState(message.value);
      break;
    case Command::kFlowControlSuspend:
      peerSuspended_.store(true);
      break;
    case Command::kFlowControlResume:
      peerSuspended_.store(false);
      break;
    default:  // confirmations of controls, masks and purges tell nothing new
      break;
  }
}

// A change flagged in the low nibble whose level is the same as before was a pulse
// between two notifications: the driver sees it as two changes, so that EV_CTS,
// EV_DSR, EV_RLSD and (from the trailing edge) EV_RING are not lost.
void NetworkUart::OnModemState(std::uint32_t value) {
  const DWORD now = value & rfc2217::kModemLevels;
  const DWORD before = modem_.exchange(now);
  const DWORD same = ~(now ^ before);
  DWORD pulse = 0;
  if ((value & rfc2217::kModemDeltaCts) && (same & MS_CTS_ON)) pulse |= MS_CTS_ON;
  if ((value & rfc2217::kModemDeltaDsr) && (same & MS_DSR_ON)) pulse |= MS_DSR_ON;
  if ((value & rfc2217::kModemDeltaCd) && (same & MS_RLSD_ON)) pulse |= MS_RLSD_ON;
  if ((value & rfc2217::kModemRingEnded) && !((before | now) & MS_RING_ON)) pulse |= MS_RING_ON;
  if (sink_ == nullptr) return;  // the driver takes the level as its baseline
  if (pulse != 0) sink_->OnModemStatus(before ^ pulse);
  if (pulse != 0 || now != before) sink_->OnModemStatus(now);
}

void NetworkUart::OnLineState(std::uint32_t value) {
  if (sink_ == nullptr) return;
  DWORD errors = 0;
  if (value & rfc2217::kLineOverrun) errors |= CE_OVERRUN;
  if (value & rfc2217::kLineParity) errors |= CE_RXPARITY;
  if (value & rfc2217::kLineFraming) errors |= CE_FRAME;
  if (errors != 0) sink_->OnLineError(errors);
  if (value & rfc2217::kLineBreak) sink_->OnBreak();
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
  {
    std::lock_guard lock(replyMutex_);  // a waiting Configure sees the port gone
  }
  replied_.notify_all();
  if (!vanished_.load()) FlushOnClose();
  shutdown(fd_, SHUT_RDWR);
  close(fd_);
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
    const ssize_t n = send(fd_, out.data() + done, out.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return;
    } else {
      pollfd p{fd_, POLLOUT, 0};
      poll(&p, 1, 10);
    }
  }
}

void NetworkUart::LoseConnection(int err) {
  vanished_.store(true);
  {
    std::lock_guard lock(replyMutex_);  // a waiting Configure sees the port gone
  }
  replied_.notify_all();
  if (lossReported_) return;
  lossReported_ = true;
  Notice("connection " + LossText(err), /*error=*/true);
  sink_->OnVanished();
}

// --- the I/O thread ---------------------------------------------------------------------

void NetworkUart::Run() {
  epoll_event wake{};
  wake.events = EPOLLIN;
  wake.data.fd = wakeFd_;
  epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &wake);
  if (!early_.empty()) sink_->OnReceive(early_.data(), early_.size());
  early_ = Bytes();
  while (!stopping_.load()) {
    const bool paused = paused_.load();
    const bool wished = sink_->ReceivePauseWanted();
    UpdateInterest(paused || wished);
    epoll_event events[2];
    const int n = epoll_wait(epollFd_, events, 2, WaitTimeoutMs(paused, wished));
    if (n < 0 && errno != EINTR) break;
    for (int i = 0; i < n; ++i) {
      if (events[i].data.fd == wakeFd_) {
        DrainWakeups();
      } else {
        HandleSocketEvents(events[i].events);
      }
    }
    if (stopping_.load()) break;
    if (vanished_.load()) continue;
    ReadInput();
    ServiceTransmit();
    WatchDrain();
  }
}

int NetworkUart::WaitTimeoutMs(bool paused, bool wished) const {
  if (vanished_.load() || paused) return -1;
  if (wished) return 1;  // a wish may be withdrawn without a PauseReceive: look again soon
  return rxOffset_ < rxBuffer_.size() ? 0 : -1;  // input held back by an ended pause
}

// A reset or error shows even while input is not watched (a receive pause).
void NetworkUart::HandleSocketEvents(std::uint32_t events) {
  if (events & EPOLLOUT) waitingForRoom_ = false;
  if (!(events & (EPOLLERR | EPOLLHUP)) || vanished_.load()) return;
  int err = 0;
  socklen_t size = sizeof err;
  getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &size);
  LoseConnection(err);
}

bool NetworkUart::ReceiveHeld() const {
  return paused_.load() || sink_->ReceivePauseWanted();
}

void NetworkUart::UpdateInterest(bool receiveHeld) {
  std::uint32_t want = 0;
  if (!vanished_.load()) {
    if (!receiveHeld) want |= EPOLLIN | EPOLLRDHUP;
    if (waitingForRoom_) want |= EPOLLOUT;
  }
  if (want == interest_) return;
  epoll_event ev{};
  ev.events = want;
  ev.data.fd = fd_;
  if (vanished_.load()) {
    epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd_, &ev);  // else EPOLLHUP would keep waking it
  } else if (epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd_, &ev) != 0) {
    epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd_, &ev);
  }
  interest_ = want;
}

void NetworkUart::DrainWakeups() {
  std::uint64_t count = 0;
  while (read(wakeFd_, &count, sizeof count) > 0) {
  }
}

// Reads while the driver takes more; what it did not take when a pause began
// waits in rxBuffer_ for the pause to end.
void NetworkUart::ReadInput() {
  if (rxPurges_.load() != rxPurgesSeen_) DropReceived();
  for (int round = 0; round < kReadsPerWake && !ReceiveHeld() && !vanished_.load(); ++round) {
    if (rxOffset_ < rxBuffer_.size()) {
      rxOffset_ += FeedInput(rxBuffer_.data() + rxOffset_, rxBuffer_.size() - rxOffset_);
      continue;
    }
    rxBuffer_.resize(kReadChunk);
    const ssize_t n = recv(fd_, rxBuffer_.data(), rxBuffer_.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      rxBuffer_.clear();
      rxOffset_ = 0;
      return;
    }
    if (n <= 0) {
      LoseConnection(n == 0 ? 0 : errno);
      return;
    }
    rxBuffer_.resize(static_cast<std::size_t>(n));
    rxOffset_ = FeedInput(rxBuffer_.data(), rxBuffer_.size());
  }
}

// Decodes (or, for raw TCP, passes on) input a piece at a time; returns how much
// was used: less when the driver asked for a pause before all of it was delivered.
std::size_t NetworkUart::FeedInput(const std::uint8_t* data, std::size_t count) {
  const std::size_t piece = dropData_ ? count : deliveryPiece_.load();
  std::size_t used = 0;
  while (used < count) {
    const std::size_t n = std::min(piece, count - used);
    std::size_t took = n;
    if (endpoint_.rfc2217) {
      took = decoder_.Feed(data + used, n, *this);
    } else {
      OnData(data + used, n);
    }
    used += took;
    if (took < n || (sink_ != nullptr && !dropData_ && ReceiveHeld())) break;
  }
  return used;
}

// A receive purge also drops what waits below the driver: the bytes held back by
// a pause and what the socket holds now. Commands among them still count.
void NetworkUart::DropReceived() {
  rxPurgesSeen_ = rxPurges_.load();
  dropData_ = true;
  if (rxOffset_ < rxBuffer_.size())
    rxOffset_ += FeedInput(rxBuffer_.data() + rxOffset_, rxBuffer_.size() - rxOffset_);
  int waiting = 0;
  if (ioctl(fd_, FIONREAD, &waiting) == 0 && waiting > 0) {
    Bytes drop(static_cast<std::size_t>(waiting));
    const ssize_t n = recv(fd_, drop.data(), drop.size(), MSG_DONTWAIT);
    if (n > 0) FeedInput(drop.data(), static_cast<std::size_t>(n));
  }
  dropData_ = false;
}

// Commands go out between data chunks; data is taken from the driver a chunk at a
// time, only when the last chunk is wholly in the socket, so that the rest stays
// in the driver where time-outs and purges reach it.
void NetworkUart::ServiceTransmit() {
  while (!waitingForRoom_ && !stopping_.load() && !vanished_.load()) {
    if (txPurges_.load() != txPurgesSeen_) ApplyTransmitPurge();
    if (wireOffset_ == wire_.size() && !FillWire()) return;
    const ssize_t n =
        send(fd_, wire_.data() + wireOffset_, wire_.size() - wireOffset_, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      waitingForRoom_ = true;
      return;
    }
    if (n < 0) {
      LoseConnection(errno);
      return;
    }
    if (wireIsData_) AccountWritten(static_cast<std::size_t>(n));
    wireOffset_ += static_cast<std::size_t>(n);
  }
}

bool NetworkUart::FillWire() {
  wire_.clear();
  wireOffset_ = 0;
  wireIsData_ = false;
  {
    std::lock_guard lock(ctrlMutex_);
    if (!ctrlOut_.empty()) {
      wire_.swap(ctrlOut_);
      return true;
    }
  }
  if (heldByUser_.load() || peerSuspended_.load()) return false;
  const std::uint64_t purges = txPurges_.load();
  scratch_.resize(kWriteChunk);
  const std::size_t n = sink_->TakeTransmit(scratch_.data(), scratch_.size());
  if (n == 0 || txPurges_.load() != purges) return false;
  const bool telnetData = endpoint_.rfc2217;
  wireBinary_ = !telnetData || localBinary_;
  if (telnetData) {
    telnet::EncodeData(scratch_.data(), n, wireBinary_, wire_);
  } else {
    wire_.assign(scratch_.begin(), scratch_.begin() + static_cast<std::ptrdiff_t>(n));
  }
  wireIsData_ = true;
  wireInEscape_ = false;
  wireRaw_ = n;
  txPending_.store(n);
  sentSinceEmpty_ = true;
  return true;
}

// Drops the unwritten rest of a data chunk, all but the second half of an escape
// pair whose first half went out.
void NetworkUart::ApplyTransmitPurge() {
  txPurgesSeen_ = txPurges_.load();
  if (!wireIsData_ || wireOffset_ == wire_.size()) return;
  wire_.resize(wireOffset_ + (wireInEscape_ ? 1 : 0));
  wireRaw_ = wireInEscape_ ? 1 : 0;
  txPending_.store(wireRaw_);
}

// How many data bytes the written part of an encoded chunk holds: an escape pair
// (IAC IAC, and CR NUL outside binary mode) is one byte once both halves are out.
void NetworkUart::AccountWritten(std::size_t n) {
  if (wire_.size() - wireOffset_ == wireRaw_ && !wireInEscape_) {
    wireRaw_ -= n;  // nothing escaped in the rest of the chunk
  } else {
    const bool telnetData = endpoint_.rfc2217;
    for (std::size_t i = wireOffset_; i < wireOffset_ + n; ++i) {
      const std::uint8_t b = wire_[i];
      if (wireInEscape_) {
        wireInEscape_ = false;
        --wireRaw_;
      } else if (telnetData && (b == telnet::kIac || (!wireBinary_ && b == '\r'))) {
        wireInEscape_ = true;
      } else {
        --wireRaw_;
      }
    }
  }
  txPending_.store(wireRaw_);
}

// EV_TXEMPTY once everything taken from the driver is in the socket.
void NetworkUart::WatchDrain() {
  if (!sentSinceEmpty_ || waitingForRoom_ || wireOffset_ < wire_.size()) return;
  sentSinceEmpty_ = false;
  sink_->OnTransmitterEmpty();
}

}  // namespace

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
  const int fd = ConnectTcp(endpoint, kConnectTimeout, &failure);
  if (fd < 0) {
    *error = failure.error;
    SetLastOpenFailureText(failure.text);
    return nullptr;
  }
  const int wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  const int epollFd = epoll_create1(EPOLL_CLOEXEC);
  if (wakeFd < 0 || epollFd < 0) {
    *error = ERROR_NOT_ENOUGH_MEMORY;
    if (wakeFd >= 0) close(wakeFd);
    if (epollFd >= 0) close(epollFd);
    close(fd);
    return nullptr;
  }
  auto uart = std::make_unique<NetworkUart>(fd, endpoint, wakeFd, epollFd);
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
