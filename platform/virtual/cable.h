// A virtual cable: the line state of its one (loopback) or two ends under one
// mutex, the characters on the wire between them, and the pump that delivers them.
//
// Everything that reaches a driver (bytes, modem changes, vanishing, transmit pulls)
// happens in Pump, which holds pumpMutex_ so that sink calls of a cable are
// serialised and in order, and never holds the state mutex during a sink call.
// State changes pump at once in the caller's thread (so an instant line completes
// a write inside WriteFile); a pacing thread per cable, running while an end is
// open, pumps again when the next character is due and sleeps on a condition
// variable otherwise.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/core/win32_types.h"
#include "platform/driver/uart.h"

namespace veltra::platform {

using win::DCB;
using win::DWORD;

struct WireChar {
  std::uint8_t byte;
  DWORD error;
  std::chrono::steady_clock::time_point arrival;
};

struct EndState {
  std::string name;
  bool present = true;  // false once unplugged or removed
  bool open = false;
  UartSink* sink = nullptr;
  bool vanishReported = false;
  DCB dcb;
  bool rts = false, dtr = false, brk = false;
  bool rxPaused = false;
  bool xoffReceived = false;  // the peer's XOFF (or SETXOFF) holds our transmission
  bool xoffSent = false;
  std::optional<std::uint8_t> flowChar;  // XON/XOFF waiting to jump the queue
  std::deque<WireChar> incoming;         // characters on the wire towards this end
  std::chrono::steady_clock::time_point txFreeAt{};
  bool txReady = false;
  // Counts TransmitReady calls: a pull that came back empty clears txReady only if
  // no new write announced itself while the driver was being asked.
  std::uint64_t txReadyCount = 0;
  bool txEmptyReported = true;
  bool breakReported = false;
  bool stalled = false;
  std::size_t corruptCount = 0;
  DWORD corruptError = 0;
  std::optional<bool> forcedDcd;
  bool ringing = false;
  std::chrono::steady_clock::time_point ringUntil{};
  std::optional<DWORD> reportedModem;
};

class Cable {
 public:
  using Clock = std::chrono::steady_clock;

  Cable(std::vector<std::string> names, bool instant);
  ~Cable();

  const std::string& Name(std::size_t i) const { return ends_[i].name; }

  // ERROR_FILE_NOT_FOUND while unplugged, ERROR_ACCESS_DENIED when open already.
  DWORD Open(std::size_t i);

  void Start(std::size_t i, UartSink& sink) {
    Change([&](EndState& e) { e.sink = &sink; }, i);
  }

  // Ends delivery to end i; once this returns no sink call for it is running.
  void Release(std::size_t i);

  template <class F>
  void Change(F&& f, std::size_t i) {
    {
      std::lock_guard lock(mutex_);
      f(ends_[i]);
      cv_.notify_all();
    }
    Pump();
  }

  // The pump runs in the pacing thread (or in the one pumping now), never in the
  // caller's: see PauseReceive.
  template <class F>
  void ChangeWithoutWaiting(F&& f, std::size_t i) {
    std::lock_guard lock(mutex_);
    f(ends_[i]);
    pumpWanted_ = true;
    cv_.notify_all();
  }

  template <class F>
  auto Read(F&& f, std::size_t i) {
    std::lock_guard lock(mutex_);
    return f(ends_[i], i);
  }

  void Unplug(std::size_t i) {
    Change([](EndState& e) { e.present = false; }, i);
  }
  void Replug(std::size_t i) {
    Change([](EndState& e) { e.present = true; }, i);
  }
  bool IsOpen(std::size_t i) {
    return Read([](EndState& e, std::size_t) { return e.open; }, i);
  }
  std::size_t EndCount() const { return ends_.size(); }

  DWORD ModemStatus(std::size_t i) const;
  DWORD HoldFlags(std::size_t i) const;
  DWORD OutputPending(std::size_t i) const;
  void PurgeTransmit(std::size_t i);
  void Pump();

 private:
  struct Action {
    enum Kind { kReceive, kReceiveError, kModem, kVanish, kTake, kTxEmpty } kind;
    std::size_t end;
    UartSink* sink;
    std::vector<std::uint8_t> bytes{};
    DWORD value = 0;
    std::uint64_t txReadyCount = 0;  // kTake: the end's count when the pull was planned
  };

  std::size_t Peer(std::size_t i) const { return ends_.size() == 1 ? i : 1 - i; }
  bool EffectiveRts(const EndState& e) const {
    if (!e.open || !e.present) return false;
    switch (win::DcbRtsControl(e.dcb.Flags)) {
      case win::RTS_CONTROL_HANDSHAKE:
        return !e.rxPaused;
      case win::RTS_CONTROL_TOGGLE:
        return e.txReady || e.txFreeAt > Clock::now();  // while sending
      default:
        return e.rts;
    }
  }
  bool EffectiveDtr(const EndState& e) const {
    if (!e.open || !e.present) return false;
    return win::DcbDtrControl(e.dcb.Flags) == win::DTR_CONTROL_HANDSHAKE ? !e.rxPaused : e.dtr;
  }
  bool CanSend(std::size_t i) const {
    const EndState& e = ends_[i];
    return e.open && e.present && e.sink != nullptr && !e.brk && !e.stalled && HoldFlags(i) == 0;
  }
  void Collect(Clock::time_point now, std::vector<Action>& out);
  void CollectArrivals(std::size_t i, Clock::time_point now, std::vector<Action>& out);
  void CollectTransmit(std::size_t i, Clock::time_point now, std::vector<Action>& out);
  void Taken(std::size_t i, const std::uint8_t* bytes, std::size_t n, std::uint64_t readyCount,
             Clock::time_point now);
  std::optional<Clock::time_point> NextWake(Clock::time_point now) const;
  void StartPacer();
  void StopPacer();
  void PacerLoop();
  void PumpIfWanted();
  void PumpLocked();  // under pumpMutex_

  const bool instant_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<EndState> ends_;
  std::mutex pumpMutex_;
  std::atomic<bool> pumpWanted_{false};  // a pump was asked for while one was running
  std::mutex lifeMutex_;                 // starting and stopping the pacer
  std::thread pacer_;
  bool pacerStop_ = false;     // guarded by mutex_
  bool collectAgain_ = false;  // guarded by mutex_
};

}  // namespace veltra::platform
