// The client side of one RFC 2217 connection without the socket: Telnet option
// negotiation, the server's COM-PORT-OPTION messages turned into modem and line
// events, and the server's confirmations of line settings. The network lower half
// feeds it what the socket gave and sends what it asks to send.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "platform/core/win32_types.h"
#include "platform/net/rfc2217_codec.h"
#include "platform/net/telnet_codec.h"

namespace veltra::platform::rfc2217 {

// What the session reports, on the thread that feeds it.
class SessionEvents {
 public:
  virtual ~SessionEvents() = default;
  // Data from the line. Returning false stops Feed after this run.
  virtual bool OnData(const std::uint8_t* data, std::size_t count) = 0;
  // Bytes for the server: answers to its negotiation.
  virtual void OnSend(const telnet::Bytes& bytes) = 0;
  // The modem status word (MS_*); a pulse between two notifications comes as two calls.
  virtual void OnModemStatus(win::DWORD modemStatus) = 0;
  // A NOTIFY-LINESTATE: line errors (CE_*) and whether it reports a break.
  virtual void OnLineState(win::DWORD lineErrors, bool lineBreak) = 0;
  // The server broke the protocol or withdrew COM-PORT-OPTION, in a technician's words.
  virtual void OnNotice(const std::string& text) = 0;
};

// The line settings a server confirms with the value it uses.
enum Setting { kBaud, kDataSize, kParity, kStopSize, kSettingCount };
// Per setting, the number of its request to wait for an answer to (0: none).
using AwaitedAnswers = std::array<std::uint64_t, kSettingCount>;

std::uint32_t SettingValue(const LineRequest& request, int setting);

class Session : private telnet::Decoder::Handler {
 public:
  enum class Confirmation { kTaken, kRefused, kGone };

  Session();

  // The opening requests: COM-PORT-OPTION and binary mode both ways.
  telnet::Bytes Begin();
  // Returns how many bytes were used: all unless OnData asked to stop.
  std::size_t Feed(const std::uint8_t* data, std::size_t count, SessionEvents& events);

  // COM-PORT-OPTION answered and binary mode settled both ways.
  bool Settled() const;
  // The server answered COM-PORT-OPTION, or spoke Telnet at all.
  bool ComPortAnswered() const { return negotiation_.LocalSettled(telnet::kComPort); }
  bool HeardTelnet() const { return heardTelnet_; }
  // A COM-PORT-OPTION message came: the server serves the port.
  bool HeardComPort() const { return heardComPort_; }
  // Our data goes out in binary mode (else a CR goes as CR NUL).
  bool LocalBinary() const { return localBinary_; }

  // Any thread: COM-PORT-OPTION agreed (line control available), the server's flow
  // control holding our output, and the modem line levels last notified.
  bool ComPort() const { return comPort_.load(); }
  bool PeerSuspended() const { return peerSuspended_.load(); }
  win::DWORD ModemStatus() const { return modem_.load(); }

  // Any thread: appends the request for a line setting, counting it as asked, and
  // returns its number for AwaitAnswers.
  std::uint64_t AppendSettingRequest(int setting, std::uint32_t value, telnet::Bytes& out);
  // Waits up to `wait` for the awaited answers, or until gone() says the connection
  // ended (checked whenever WakeWaiters is called). A setting answered with another
  // value was refused (*refusal says how); one left unanswered counts as taken and
  // is written off. Servers answer in order, so the n-th answer answers the n-th
  // request.
  Confirmation AwaitAnswers(const LineRequest& want, const AwaitedAnswers& awaited,
                            std::chrono::milliseconds wait, const std::function<bool()>& gone,
                            std::string* refusal);
  // A waiting AwaitAnswers looks at gone() again.
  void WakeWaiters();

 private:
  bool OnData(const std::uint8_t* data, std::size_t count) override;
  void OnNegotiation(std::uint8_t verb, std::uint8_t option) override;
  void OnSubnegotiation(std::uint8_t option, const telnet::Bytes& payload) override;
  void OnProtocolError(const std::string& what) override;
  void OnServerMessage(const ServerMessage& message);
  void OnModemState(std::uint32_t value);
  void OnLineState(std::uint32_t value);

  struct Answers {
    std::uint64_t asked = 0;
    std::uint64_t answered = 0;
    std::uint32_t value = 0;  // the last answer
  };

  SessionEvents* events_ = nullptr;  // during Feed
  telnet::Decoder decoder_;
  telnet::Negotiation negotiation_;
  bool localBinary_ = false;
  bool heardTelnet_ = false;
  bool heardComPort_ = false;
  std::atomic<bool> comPort_{false};
  std::atomic<bool> peerSuspended_{false};
  std::atomic<win::DWORD> modem_{0};

  std::mutex answerMutex_;
  std::condition_variable answered_;
  std::array<Answers, kSettingCount> answers_{};
};

}  // namespace veltra::platform::rfc2217
