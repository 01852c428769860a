// A small RFC 2217 server for what ser2net on a pty cannot show: modem-line and
// line-state notifications, flow-control suspends, settings it refuses, malformed
// Telnet, silence. It listens on 127.0.0.1 (a port of the kernel's choosing),
// serves one client at a time from its own thread, answers the negotiation and
// confirms line settings (unless told to stay silent), and records what it gets.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/net/rfc2217_codec.h"
#include "platform/net/telnet_codec.h"
#include "tests/platform/test_sockets.h"

namespace veltra::test {

class Rfc2217Peer : private platform::telnet::Decoder::Handler {
 public:
  using Bytes = platform::telnet::Bytes;
  // kSilent takes the connection and never says a word; kRaw is a raw TCP server;
  // kPlainTelnet refuses COM-PORT-OPTION.
  enum class Mode { kTelnet, kSilent, kRaw, kPlainTelnet };
  explicit Rfc2217Peer(Mode mode = Mode::kTelnet) : mode_(mode) {
    listener_ = LoopbackTcp(true, &port_);
    thread_ = std::thread([this] { Serve(); });
  }
  ~Rfc2217Peer() {
    stop_ = true;
    thread_.join();
    if (client_ != kNoTestSocket) CloseTestSocket(client_);
    CloseTestSocket(listener_);
  }

  std::string Name(const std::string& scheme = "rfc2217") const {
    return scheme + "://127.0.0.1:" + std::to_string(port_);
  }
  // Raw bytes to the client, as they are.
  void Send(const Bytes& bytes) {
    std::lock_guard lock(mutex_);
    out_.insert(out_.end(), bytes.begin(), bytes.end());
  }
  void SendComPort(std::uint8_t serverCode, Bytes value) {
    value.insert(value.begin(), serverCode);
    Bytes out;
    platform::telnet::AppendSubnegotiation(platform::telnet::kComPort, value, out);
    Send(out);
  }
  // The serving thread closes it once it sees the end.
  void Hangup() {
    std::lock_guard lock(mutex_);
    if (client_ != kNoTestSocket) ShutdownBoth(client_);
  }
  void SetReading(bool on) { reading_ = on; }
  // Baud rates are confirmed with this value instead of the one asked for (0: asked).
  void ConfirmBaudAs(std::uint32_t baud) { baudAnswer_ = baud; }

  // Waits until `count` data bytes came; returns what came.
  std::string WaitForData(std::size_t count, int ms = 3000) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return data_.size() >= count; });
    return data_;
  }
  // Waits for a COM-PORT-OPTION request (client code and value bytes).
  bool WaitForRequest(const Bytes& payload, int ms = 3000) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
      for (const Bytes& r : requests_)
        if (r == payload) return true;
      return false;
    });
  }

 private:
  void Serve() {
    while (!stop_) {
      if (client_ == kNoTestSocket) {
        const TestSocket fd = AcceptWithin(listener_, 5);
        if (fd != kNoTestSocket) {
          std::lock_guard lock(mutex_);
          client_ = fd;
          decoder_ = {};
          decoder_.SetPeerBinary(true);
          negotiation_ = {};
          negotiation_.AcceptLocal(platform::telnet::kBinary);
          negotiation_.AcceptRemote(platform::telnet::kBinary);
          if (mode_ == Mode::kTelnet) negotiation_.AcceptRemote(platform::telnet::kComPort);
        }
        continue;
      }
      Pump();
    }
  }
  void Pump() {
    TestSocket fd = kNoTestSocket;
    {
      std::lock_guard lock(mutex_);
      fd = client_;
      if (fd != kNoTestSocket && !out_.empty()) {
        const long n = SendSome(fd, out_.data(), out_.size());
        if (n > 0) out_.erase(out_.begin(), out_.begin() + n);
      }
    }
    if (!reading_) {  // the pace of the sends above
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      return;
    }
    if (!ReadableWithin(fd, 2)) return;
    std::uint8_t buffer[65536];
    const long n = ReceiveSome(fd, buffer, sizeof buffer);
    if (n > 0 && (mode_ == Mode::kTelnet || mode_ == Mode::kPlainTelnet))
      decoder_.Feed(buffer, static_cast<std::size_t>(n), *this);
    if (n > 0 && mode_ == Mode::kRaw) OnData(buffer, static_cast<std::size_t>(n));
    if (n == 0 || n == kBroken) {
      std::lock_guard lock(mutex_);
      CloseTestSocket(client_);
      client_ = kNoTestSocket;
    }
  }
  bool OnData(const std::uint8_t* data, std::size_t count) override {
    {
      std::lock_guard lock(mutex_);
      data_.append(reinterpret_cast<const char*>(data), count);
    }
    changed_.notify_all();
    return true;
  }
  void OnNegotiation(std::uint8_t verb, std::uint8_t option) override {
    Bytes answer;
    negotiation_.Receive(verb, option, answer);
    Send(answer);
  }
  void OnSubnegotiation(std::uint8_t option, const Bytes& payload) override {
    if (option != platform::telnet::kComPort || payload.empty()) return;
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(payload);
    }
    changed_.notify_all();
    if (payload[0] < 1 || payload[0] > 4) return;  // only line settings are confirmed
    Bytes value(payload.begin() + 1, payload.end());
    if (payload[0] == 1 && baudAnswer_ != 0) {
      const std::uint32_t b = baudAnswer_;
      value = {static_cast<std::uint8_t>(b >> 24), static_cast<std::uint8_t>(b >> 16),
               static_cast<std::uint8_t>(b >> 8), static_cast<std::uint8_t>(b)};
    }
    SendComPort(static_cast<std::uint8_t>(payload[0] + platform::rfc2217::kServerOffset), value);
  }
  void OnProtocolError(const std::string&) override {}

  const Mode mode_;
  TestSocket listener_ = kNoTestSocket;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> reading_{true};
  std::atomic<std::uint32_t> baudAnswer_{0};
  std::mutex mutex_;
  std::condition_variable changed_;
  TestSocket client_ = kNoTestSocket;
  Bytes out_;
  std::string data_;
  std::vector<Bytes> requests_;
  // Serving thread only
  platform::telnet::Decoder decoder_;
  platform::telnet::Negotiation negotiation_;
};

}  // namespace veltra::test
