// The lower half over a TCP connection to a device server, shared by its parts:
// the calls from the driver, negotiation and configuration (uart_network.cpp), and
// the I/O thread (network_uart_io.cpp). The RFC 2217 protocol itself is the
// session's (rfc2217_session.h).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/driver/uart.h"
#include "platform/net/net_connect.h"
#include "platform/net/rfc2217_codec.h"
#include "platform/net/rfc2217_session.h"
#include "platform/net/socket_io.h"
#include "platform/net/telnet_codec.h"
#include "platform/poll/fd_loop.h"

namespace veltra::platform {

class NetworkUart final : public Uart, private rfc2217::SessionEvents {
 public:
  using Clock = std::chrono::steady_clock;
  using Bytes = telnet::Bytes;
  static constexpr std::size_t kReadChunk = 4096;
  NetworkUart(Socket socket, NetworkEndpoint endpoint, std::unique_ptr<FdLoop> loop)
      : fd_(socket), loop_(std::move(loop)), endpoint_(std::move(endpoint)) {}
  ~NetworkUart() override { Stop(); }

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
    return stopped_.load() ? win::ERROR_INVALID_HANDLE : win::ERROR_DEVICE_NOT_CONNECTED;
  }
  DWORD ModemCallError() const;
  DWORD SetLine(bool dtr, bool on);
  void Queue(const Bytes& bytes);
  void QueueRequest(rfc2217::Command command, std::uint32_t value);
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
                           const rfc2217::AwaitedAnswers& awaited);

  // SessionEvents, on the I/O thread (the opening thread while negotiating)
  bool OnData(const std::uint8_t* data, std::size_t count) override;
  void OnSend(const telnet::Bytes& bytes) override { Queue(bytes); }
  void OnModemStatus(DWORD modemStatus) override;
  void OnLineState(DWORD lineErrors, bool lineBreak) override;
  void OnNotice(const std::string& text) override { Notice(text); }

  // I/O thread
  void Run();
  int WaitTimeoutMs(bool paused, bool wished) const;
  void HandleSocketEvents(std::uint32_t events);
  bool ReceiveHeld() const;
  void UpdateInterest(bool receiveHeld);
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

  const Socket fd_;
  const std::unique_ptr<FdLoop> loop_;
  const NetworkEndpoint endpoint_;
  UartSink* sink_ = nullptr;
  std::thread io_;
  std::atomic<bool> started_{false};
  std::atomic<bool> stopping_{false};
  std::atomic<bool> stopped_{false};
  std::atomic<bool> vanished_{false};
  std::atomic<bool> paused_{false};
  std::atomic<bool> heldByUser_{false};
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

  std::mutex noticeMutex_;
  std::vector<PortNotice> earlyNotices_;  // made before Start
  int notices_ = 0;

  // Opening thread, then I/O thread (the session's own calls from any thread)
  rfc2217::Session session_;
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
  bool lossReported_ = false;
};

}  // namespace veltra::platform
