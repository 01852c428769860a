#include "platform/net/rfc2217_session.h"

#include <cmath>

namespace veltra::platform::rfc2217 {

using namespace win;  // NOLINT: Win32 constants read better unqualified here
using telnet::Bytes;

namespace {

constexpr double kBaudTolerance = 0.04;
constexpr Command kSettingCommands[kSettingCount] = {Command::kSetBaudRate, Command::kSetDataSize,
                                                     Command::kSetParity, Command::kSetStopSize};

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

}  // namespace

std::uint32_t SettingValue(const LineRequest& r, int s) {
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

Session::Session() {
  negotiation_.AcceptLocal(telnet::kBinary);
  negotiation_.AcceptLocal(telnet::kComPort);
  negotiation_.AcceptLocal(telnet::kSuppressGoAhead);
  negotiation_.AcceptRemote(telnet::kBinary);
  negotiation_.AcceptRemote(telnet::kSuppressGoAhead);
}

Bytes Session::Begin() {
  Bytes out;
  negotiation_.RequestLocal(telnet::kComPort, out);
  negotiation_.RequestLocal(telnet::kBinary, out);
  negotiation_.RequestRemote(telnet::kBinary, out);
  return out;
}

std::size_t Session::Feed(const std::uint8_t* data, std::size_t count, SessionEvents& events) {
  events_ = &events;
  const std::size_t used = decoder_.Feed(data, count, *this);
  events_ = nullptr;
  return used;
}

bool Session::Settled() const {
  return negotiation_.LocalSettled(telnet::kComPort) &&
         negotiation_.LocalSettled(telnet::kBinary) && negotiation_.RemoteSettled(telnet::kBinary);
}

// --- line settings and their answers ---------------------------------------------------

std::uint64_t Session::AppendSettingRequest(int setting, std::uint32_t value, Bytes& out) {
  AppendRequest(kSettingCommands[setting], value, out);
  std::lock_guard lock(answerMutex_);
  return ++answers_[setting].asked;
}

Session::Confirmation Session::AwaitAnswers(const LineRequest& want, const AwaitedAnswers& awaited,
                                            std::chrono::milliseconds wait,
                                            const std::function<bool()>& gone,
                                            std::string* refusal) {
  std::unique_lock lock(answerMutex_);
  answered_.wait_for(lock, wait, [&] {
    if (gone()) return true;
    for (int s = 0; s < kSettingCount; ++s)
      if (answers_[s].answered < awaited[s]) return false;
    return true;
  });
  if (gone()) return Confirmation::kGone;
  for (int s = 0; s < kSettingCount; ++s) {
    Answers& a = answers_[s];
    const bool answered = a.answered >= awaited[s];
    if (!answered) a.answered = a.asked;  // written off: never coming
    if (awaited[s] == 0 || !answered || SettingMatches(s, SettingValue(want, s), a.value)) continue;
    *refusal = "the server refused " + SettingText(s, SettingValue(want, s)) + " (it answered " +
               SettingText(s, a.value) + ")";
    return Confirmation::kRefused;
  }
  return Confirmation::kTaken;
}

void Session::WakeWaiters() {
  {
    std::lock_guard lock(answerMutex_);  // a waiter between its look and its wait sees it
  }
  answered_.notify_all();
}

// --- what the server sends ------------------------------------------------------------

bool Session::OnData(const std::uint8_t* data, std::size_t count) {
  return events_->OnData(data, count);
}

void Session::OnNegotiation(std::uint8_t verb, std::uint8_t option) {
  heardTelnet_ = true;
  Bytes answer;
  negotiation_.Receive(verb, option, answer);
  if (!answer.empty()) events_->OnSend(answer);
  localBinary_ = negotiation_.Local(telnet::kBinary) == telnet::Negotiation::State::kYes;
  decoder_.SetPeerBinary(negotiation_.Remote(telnet::kBinary) == telnet::Negotiation::State::kYes);
  const bool comPort = negotiation_.Local(telnet::kComPort) == telnet::Negotiation::State::kYes;
  if (comPort_.exchange(comPort) && !comPort)
    events_->OnNotice("the server withdrew COM-PORT-OPTION: data only from now on");
}

void Session::OnSubnegotiation(std::uint8_t option, const Bytes& payload) {
  heardTelnet_ = true;
  if (option != telnet::kComPort) return;  // nothing else was agreed to
  heardComPort_ = true;
  ServerMessage message;
  std::string error;
  if (!ParseServerMessage(payload, &message, &error)) {
    OnProtocolError(error);
    return;
  }
  OnServerMessage(message);
}

void Session::OnProtocolError(const std::string& what) {
  events_->OnNotice("malformed Telnet from the server, ignored: " + what);
}

void Session::OnServerMessage(const ServerMessage& message) {
  for (int s = 0; s < kSettingCount; ++s) {
    if (message.command != kSettingCommands[s]) continue;
    {
      std::lock_guard lock(answerMutex_);
      ++answers_[s].answered;
      answers_[s].value = message.value;
    }
    answered_.notify_all();
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
void Session::OnModemState(std::uint32_t value) {
  const DWORD now = value & kModemLevels;
  const DWORD before = modem_.exchange(now);
  const DWORD same = ~(now ^ before);
  DWORD pulse = 0;
  if ((value & kModemDeltaCts) && (same & MS_CTS_ON)) pulse |= MS_CTS_ON;
  if ((value & kModemDeltaDsr) && (same & MS_DSR_ON)) pulse |= MS_DSR_ON;
  if ((value & kModemDeltaCd) && (same & MS_RLSD_ON)) pulse |= MS_RLSD_ON;
  if ((value & kModemRingEnded) && !((before | now) & MS_RING_ON)) pulse |= MS_RING_ON;
  if (pulse != 0) events_->OnModemStatus(before ^ pulse);
  if (pulse != 0 || now != before) events_->OnModemStatus(now);
}

void Session::OnLineState(std::uint32_t value) {
  DWORD errors = 0;
  if (value & kLineOverrun) errors |= CE_OVERRUN;
  if (value & kLineParity) errors |= CE_RXPARITY;
  if (value & kLineFraming) errors |= CE_FRAME;
  events_->OnLineState(errors, (value & kLineBreak) != 0);
}

}  // namespace veltra::platform::rfc2217
