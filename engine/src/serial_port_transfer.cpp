// Sending (one overlapped write at a time, with a time-out scaled to its length)
// and the queue of received clusters shared with the worker under ClusterLock.
#include <algorithm>
#include <cstdint>

#include "engine/serial_port.h"
#include "engine/work_thread.h"

namespace veltra::engine {

namespace {

using win::DWORD;

// Holds a critical section for one scope.
class ClusterLockGuard {
 public:
  explicit ClusterLockGuard(win::CRITICAL_SECTION& section) : section_(section) {
    win::EnterCriticalSection(&section_);
  }
  ~ClusterLockGuard() { win::LeaveCriticalSection(&section_); }
  ClusterLockGuard(const ClusterLockGuard&) = delete;
  ClusterLockGuard& operator=(const ClusterLockGuard&) = delete;

 private:
  win::CRITICAL_SECTION& section_;
};

// Count × microseconds per byte / 1000 + the extra milliseconds. Worked out wide and
// held at the largest finite time-out: a wrapped product would cut a long send short.
DWORD WriteTimeoutFor(Cardinal count, Cardinal charDelayUs, Word extraMs) {
  const std::uint64_t ms = std::uint64_t{count} * charDelayUs / 1000 + extraMs;
  return static_cast<DWORD>(std::min<std::uint64_t>(ms, win::MAXDWORD - 1));
}

}  // namespace

void TSerialPort::SendData(const void* Buffer, Cardinal Count) {
  if (FSendInProgress) {
    ProcessError(places::kSendWhileBusy, 0, "Msg, dont enter SendData while SendInProgress is set",
                 2);
    return;
  }
  const win::HANDLE handle = FComHandle;
  win::COMMTIMEOUTS timeouts;
  timeouts.ReadIntervalTimeout = win::MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 0;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant =
      WriteTimeoutFor(Count, FWTOCharDelayTime, FWTOExtraDelayTime);
  if (!win::SetCommTimeouts(handle, &timeouts)) {
    ProcessError(places::kSetWriteTimeouts, win::GetLastError(), "Error setting CommTimeout", 0);
  }
  BytesToWrite = Count;
  // The component's own copy: the caller's bytes may be gone before the write ends.
  const auto* bytes = static_cast<const char*>(Buffer);
  if (bytes != FPendingWrite.data()) FPendingWrite.assign(bytes, bytes + Count);
  DWORD written = 0;
  // As WriteFile clears its count first: a failed write must not show the last one's.
  FWrittenBytes = 0;
  if (win::WriteFile(handle, FPendingWrite.data(), Count, &written, &WriteOverlapped)) {
    FWrittenBytes = written;
    const TNotifyEvent handler = OnWriteDone;
    if (handler) handler(this);
    return;
  }
  const DWORD error = win::GetLastError();
  if (error == win::ERROR_IO_PENDING) {
    WriteStartTick = win::GetTickCount();
    FSendInProgress = true;
    return;
  }
  ProcessError(places::kWriteFailed, error, "Error writing Data", 0);
  ResetOverlappedEvent(WriteOverlapped);
  FSendInProgress = false;
}

void TSerialPort::SendString(const std::string& S) {
  if (S.empty()) return;
  SendData(S.data(), static_cast<Cardinal>(S.size()));
}

Integer TSerialPort::FirstClusterSize() {
  ClusterLockGuard lock(ClusterLock);
  return ClusterList.empty() ? -1 : ClusterList.front()->Size();
}

Integer TSerialPort::FirstClusterErrors() {
  ClusterLockGuard lock(ClusterLock);
  return ClusterList.empty() ? -1 : static_cast<Integer>(ClusterList.front()->ErrorFlags());
}

void TSerialPort::TakeFirstCluster(std::string& S) {
  std::unique_ptr<TSerialCluster> cluster;
  {
    ClusterLockGuard lock(ClusterLock);
    if (!ClusterList.empty()) {
      cluster = std::move(ClusterList.front());
      ClusterList.pop_front();
    }
  }
  S = cluster ? cluster->CopyToString() : std::string();
}

void TSerialPort::QueueCluster(std::unique_ptr<TSerialCluster> Cluster) {
  ClusterLockGuard lock(ClusterLock);
  ClusterList.push_back(std::move(Cluster));
}

}  // namespace veltra::engine
