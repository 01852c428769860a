// TWorkThread: the worker of one TSerialPort. Idle while the port is closed, it
// looks at Active every 200 ms; while the port is open it runs a cycle that never
// waits more than 75 ms: line status, write completion, receive clusters, one
// WaitCommEvent kept outstanding, and the events that follow, each raised on the
// owner's thread while the worker waits. While it waits it goes on cutting due
// clusters (up to RxBacklogLimit bytes), so a slow handler does not overrun the
// driver's queue; their OnRxClusterEvent follow, one per cluster, in order.
//
// Handlers are looked at from the worker (to skip the round trip to the owner's
// thread when one is unassigned), so assign them while the port is closed and the
// worker idle.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/serial_port.h"
#include "platform/core/win32_types.h"

namespace veltra::engine {

class TWorkThread {
 public:
  // Starts the thread at once.
  explicit TWorkThread(TSerialPort& Owner);
  // Waits for the thread to end (Terminate first, and close the port).
  ~TWorkThread();
  TWorkThread(const TWorkThread&) = delete;
  TWorkThread& operator=(const TWorkThread&) = delete;

  // Takes effect once the thread is idle (the port closed, nothing outstanding).
  void Terminate();
  bool Terminated() const { return FTerminated; }
  // Ends an idle sleep early; the port has just been opened.
  void WakeIdle();
  // True once Execute has returned.
  bool Finished() const { return FFinished; }

  // Report raised when an exception (normally from an event handler) reached the
  // thread's top level; the worker ends after it.
  static constexpr std::uint32_t kHandlerFaultPlace = places::kHandlerFault;
  // Reports about clusters cut while handlers kept the worker waiting: the handlers
  // fell a second behind (noise 1), or RxBacklogLimit was reached (noise 0). Once
  // each until the handlers have kept up for a while.
  static constexpr std::uint32_t kBehindPlace = places::kHandlersBehind;
  static constexpr std::uint32_t kBacklogFullPlace = places::kBacklogFull;

 private:
  static constexpr const char* kReadResultText = "Error getting Overlappedresult";
  using DWORD = win::DWORD;
  using EventSlot = TNotifyEvent TSerialPort::*;

  void Execute();
  void RunLoop();
  void IdleCycle();
  void WorkingCycle();
  DWORD WaitTimeout() const;
  void WaitForOutstanding(bool eventServedAtOnce, DWORD timeoutMs);
  void ReleaseAfterClose();
  void StartOfOpen();
  void NoteVanished();
  void RelayPortNotices();
  void LookForReturn();
  void EndAfterHandlerFault(const std::string& what);

  // Line status and comm events.
  void PollLineStatus();
  bool TakeModemStatus(DWORD status);
  void ModemStatusFailed(DWORD error);
  void TakeLineStatus(DWORD errors, const win::COMSTAT& stat);
  bool StartEventWait();
  void EventWaitDone();
  void DispatchCommEvents(DWORD mask);

  // Received clusters and the write in flight.
  void CheckReceive();
  bool ReadIsDue(DWORD waiting) const;
  void ReadDone();
  void QueueCluster(DWORD count, DWORD errors);
  void QueueClusterBlock(std::unique_ptr<std::uint8_t[]> block, DWORD count, DWORD errors);
  void AnnounceClusters();
  void ReportBacklog();
  void ReadWhileBehind();
  std::unique_ptr<std::uint8_t[]> ReadQueuedNow(DWORD size, DWORD* got);
  void CheckWriteDone();
  void FinishWrite(DWORD written, bool reportShort);
  void AbandonWrite(DWORD writtenSoFar);
  void AbandonRead();
  void AbandonWait();
  DWORD CancelAndSettle(win::OVERLAPPED& record, DWORD* transferred);

  // Relays to the owner's thread.
  void SyncCall(const std::function<void()>& Method);
  void SetError(std::uint32_t Place, std::uint32_t Code, std::uint8_t Noise,
                const std::string& Msg);
  void RelayError();
  void Report(std::uint32_t Place, std::uint32_t Code, const std::string& Msg,
              std::uint8_t Noise = 0);
  void RaiseIfAssigned(EventSlot slot);
  void Relay(EventSlot slot);
  void SignalEvent(win::OVERLAPPED& record);
  void ResetEvent(win::OVERLAPPED& record);

  bool PortActive() const;
  win::HANDLE PortHandle() const;

  TSerialPort& Owner;

  // The report waiting to be relayed.
  std::uint32_t ErrPlace = 0;
  std::uint32_t ErrCode = 0;
  std::string ErrMsg;
  std::uint8_t ErrNoise = 0;
  // The cluster made last; the queue owns it, so it is never dereferenced here.
  const TSerialCluster* LastCluster = nullptr;

  // Loop state, touched by the worker only (and by the driver, for the words it
  // completes a request into, which is why they live here and not on a stack).
  bool ActiveLatch = false;
  bool ReadPending = false;
  bool WaitPending = false;
  DWORD EventMask = 0;
  DWORD LineErrors = 0;
  win::COMSTAT LineStat{};
  // Line errors seen since the last read; the next cluster carries them, because
  // ClearCommError clears them at every poll and a cycle polls more than once.
  DWORD UnreadLineErrors = 0;
  DWORD ReadLineErrors = 0;  // those of the read in flight
  DWORD LastReadTick = 0;
  std::unique_ptr<std::uint8_t[]> ReadBuffer;
  DWORD ReadSize = 0;
  DWORD BytesRead = 0;
  DWORD BytesWritten = 0;
  DWORD LastStatus = 0;
  // Per open: the device has gone (its close is queued to the owner); the port has
  // no modem lines (a pty, a network port); modem errors already reported once.
  std::uint32_t SeenOpenCount = 0;
  bool DeviceGone = false;
  bool ModemLinesAbsent = false;
  std::vector<DWORD> ModemErrorsReported;
  std::chrono::steady_clock::time_point NextReturnLook{};
  // Buffers of reads a broken driver never finished; kept until the end so it can
  // never write into freed memory.
  std::vector<std::unique_ptr<std::uint8_t[]>> AbandonedBuffers;

  // Clusters queued whose OnRxClusterEvent is still to come, oldest first.
  struct Unannounced {
    DWORD tick;  // when it was cut
    DWORD bytes;
  };
  std::deque<Unannounced> UnannouncedClusters;
  std::uint64_t UnannouncedBytes = 0;
  bool WaitingForOwner = false;  // inside SyncCall: clusters are cut, not announced
  // Line errors a read made while waiting took from the driver; the next poll
  // shows them in CommError.
  DWORD HeldLineErrors = 0;
  bool BacklogFull = false;
  bool BehindReported = false;
  bool FullReported = false;
  DWORD LastBehindTick = 0;

  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FFinished{false};
  std::mutex FIdleMutex;
  std::condition_variable FIdleWake;
  std::thread FThread;
};

}  // namespace veltra::engine
