// The upper half of the serial layer: Win32's serial semantics over any Uart.
//
// One SerialDriver stands behind each open port handle. It owns the receive ring
// (SetupComm size), the event mask and the pending WaitCommEvent, one pending
// overlapped read and one pending overlapped write with their time-outs, the line
// errors for ClearCommError, and input flow control at XonLim/XoffLim.
//
// Locking: mutex_ guards all driver state and the caller's overlapped records
// while a request is pending. The driver never calls into the Uart while holding
// mutex_, because the Uart calls back into the sink from its own threads; calls
// into the Uart hold uartUse_ shared so that Close can stop the Uart exclusively.
// The only call a sink callback makes back into the Uart is PauseReceive, and only
// for a lower half that allows it (AcceptsCallsFromSink); otherwise the service
// thread applies the pause. The service thread also ends timed-out requests.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/core/handles.h"
#include "platform/driver/comm_device.h"
#include "platform/core/win32_types.h"
#include "platform/driver/uart.h"

namespace veltra::platform {

using win::COMMTIMEOUTS;
using win::COMSTAT;
using win::OVERLAPPED;

// The receive queue: a fixed-capacity byte ring.
class ByteRing {
 public:
  explicit ByteRing(std::size_t capacity) : bytes_(capacity) {}
  std::size_t Size() const { return count_; }
  std::size_t Capacity() const { return bytes_.size(); }
  std::size_t Free() const { return bytes_.size() - count_; }
  // Appends as many of the n bytes as fit; returns how many did.
  std::size_t PushSome(const std::uint8_t* in, std::size_t n);
  std::size_t Pop(std::uint8_t* out, std::size_t max);
  void Clear() { head_ = count_ = 0; }
  // Keeps the oldest bytes that fit; returns how many were dropped.
  std::size_t Resize(std::size_t capacity);

 private:
  std::vector<std::uint8_t> bytes_;
  std::size_t head_ = 0;
  std::size_t count_ = 0;
};

class SerialDriver final : public CommDevice, public UartSink {
 public:
  static constexpr DWORD kDefaultQueueSize = 4096;
  static constexpr DWORD kMaxQueueSize = 64u << 20;

  explicit SerialDriver(std::unique_ptr<Uart> uart);
  ~SerialDriver() override;
  SerialDriver(const SerialDriver&) = delete;
  SerialDriver& operator=(const SerialDriver&) = delete;

  // Starts the lower half with the initial settings (9600 8N1, DTR and RTS on).
  DWORD Open();
  DWORD Close() override;

  // Each returns 0 or the Win32 error code for GetLastError.
  DWORD SetupComm(DWORD inQueue, DWORD outQueue) override;
  DWORD GetCommState(DCB* dcb) override;
  DWORD SetCommState(const DCB& dcb) override;
  DWORD GetCommTimeouts(COMMTIMEOUTS* timeouts) override;
  DWORD SetCommTimeouts(const COMMTIMEOUTS& timeouts) override;
  DWORD GetCommMask(DWORD* mask) override;
  DWORD SetCommMask(DWORD mask) override;
  DWORD WaitCommEvent(DWORD* mask, OVERLAPPED* ov) override;
  DWORD ReadFile(void* buffer, DWORD count, DWORD* bytesRead, OVERLAPPED* ov) override;
  DWORD WriteFile(const void* buffer, DWORD count, DWORD* bytesWritten, OVERLAPPED* ov) override;
  DWORD GetOverlappedResult(OVERLAPPED* ov, DWORD* bytes, bool wait) override;
  DWORD CancelIo(OVERLAPPED* ov) override;
  DWORD ClearCommError(DWORD* errors, COMSTAT* stat) override;
  DWORD GetCommModemStatus(DWORD* status) override;
  DWORD EscapeCommFunction(DWORD function) override;
  DWORD PurgeComm(DWORD flags) override;

  // UartSink
  void OnReceive(const std::uint8_t* data, std::size_t count) override;
  void OnReceiveError(std::uint8_t byte, DWORD lineError) override;
  void OnLineError(DWORD lineErrors) override;
  void OnModemStatus(DWORD modemStatus) override;
  void OnBreak() override;
  void OnVanished() override;
  std::size_t TakeTransmit(std::uint8_t* out, std::size_t max) override;
  void OnTransmitterEmpty() override;
  bool ReceivePauseWanted() override;
  void OnNotice(const PortNotice& notice) override;

  // The lower half's notices since the last call, oldest first.
  std::vector<PortNotice> TakeNotices();

 private:
  using Clock = std::chrono::steady_clock;
  using Lock = std::unique_lock<std::mutex>;

  struct ReadRequest {
    OVERLAPPED* ov = nullptr;
    std::uint8_t* buffer = nullptr;
    DWORD wanted = 0;
    DWORD got = 0;
    bool returnOnFirstByte = false;
    std::optional<Clock::time_point> totalDeadline;
    std::optional<Clock::duration> interval;  // between bytes, once the first has come
    Clock::time_point lastByte{};
  };
  struct WriteRequest {
    OVERLAPPED* ov = nullptr;
    std::uint64_t id = 0;
    std::vector<std::uint8_t> bytes;
    std::size_t taken = 0;
    std::optional<Clock::time_point> deadline;
    bool expired = false;         // timed out: nothing more is taken while it ends
    Clock::duration lateGrace{};  // added to the deadline while the lower half was late
  };
  struct WaitRequest {
    OVERLAPPED* ov = nullptr;
    DWORD* mask = nullptr;
  };

  DWORD StateError() const;
  DWORD CallUart(DWORD (Uart::*call)(bool), bool on);
  DWORD WaitSynchronous(Lock& lock, OVERLAPPED& ov, DWORD* bytes);
  void Complete(OVERLAPPED* ov, DWORD status, DWORD bytes);
  void CompleteRead(DWORD status);
  void CompleteWrite(DWORD status);
  void CompleteWait(DWORD status, DWORD events);
  void CompleteAll(DWORD status);
  void AddLineErrors(DWORD errors);
  void RaiseEvents(DWORD events);
  void ReceiveBytes(const std::uint8_t* data, std::size_t count, DWORD& events);
  void AcceptRun(const std::uint8_t* data, std::size_t count, DWORD& events);
  void FinishReadIfDone();
  void FillReadFromRing();
  void UpdateInputFlow();
  void ApplyPause(bool inCallback);
  void PauseFromCallback();
  DWORD ReadFileLocked(void* buffer, DWORD count, DWORD* bytesRead, OVERLAPPED* ov);
  void ApplyLineControlChanges(const DCB& old, const DCB& now);
  void ServiceLoop();
  void ExpireTimeouts(Clock::time_point now);
  void EndExpiredWrite(Lock& lock);
  std::optional<Clock::time_point> NextDeadline() const;
  void WakeServiceForDeadlines();

  std::unique_ptr<Uart> uart_;
  std::shared_mutex uartUse_;
  bool uartStarted_ = false;  // guarded by uartUse_
  bool uartStopped_ = false;  // guarded by uartUse_

  std::mutex pauseMutex_;  // one thread at a time applies the receive pause
  std::mutex mutex_;
  std::condition_variable changed_;      // request completions, for blocking callers
  std::condition_variable serviceWake_;  // deadlines, receive pause, stop: the service thread
  Clock::time_point serviceWakeAt_ = Clock::time_point::max();  // when it wakes by itself
  bool closed_ = false;
  bool vanished_ = false;
  bool stopService_ = false;
  DCB dcb_;
  COMMTIMEOUTS timeouts_;
  DWORD outQueueSize_ = kDefaultQueueSize;
  ByteRing ring_{kDefaultQueueSize};
  DWORD eventMask_ = 0;
  DWORD eventHistory_ = 0;
  DWORD lineErrors_ = 0;
  bool abortedByError_ = false;
  DWORD modemStatus_ = 0;
  bool pauseWanted_ = false;
  bool pauseApplied_ = false;
  std::uint64_t nextWriteId_ = 1;
  std::optional<ReadRequest> read_;
  std::optional<WriteRequest> write_;
  std::optional<WaitRequest> wait_;
  std::vector<PortNotice> notices_;
  std::thread service_;
};

}  // namespace veltra::platform
