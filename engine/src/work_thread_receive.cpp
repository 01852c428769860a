// The worker's receive side: when the bytes waiting are due to be read, the read
// itself, cutting them into clusters, and reading on while the owner's handlers are
// behind, up to the backlog limit.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "engine/serial_cluster.h"
#include "engine/work_thread.h"
#include "engine/work_thread_seam.h"
#include "platform/core/comm_api.h"

namespace veltra::engine {

namespace {

using win::DWORD;

// Receive overflow, overrun, parity, framing, break: bytes behind them are read at once.
constexpr DWORD kLineErrorMask = 31;
// Handlers this far behind the line are worth a report, and a new one once they
// have kept up for this long.
constexpr DWORD kBehindReportMs = 1000;
constexpr DWORD kBehindRearmMs = 10000;

}  // namespace

void TWorkThread::CheckReceive() {
  const DWORD waiting = LineStat.cbInQue;
  if (waiting == 0) {
    LastReadTick = win::GetTickCount();
    return;
  }
  if (!ReadIsDue(waiting)) return;
  ReadSize = waiting;
  ReadBuffer = std::make_unique_for_overwrite<std::uint8_t[]>(waiting);
  ReadLineErrors = UnreadLineErrors;
  UnreadLineErrors = 0;
  BytesRead = 0;
  if (win::ReadFile(PortHandle(), ReadBuffer.get(), waiting, &BytesRead, &Owner.ReadOverlapped)) {
    Owner.FReadRequest = false;
    LineStat.cbInQue -= std::min(BytesRead, LineStat.cbInQue);
    LastReadTick = win::GetTickCount();
    QueueCluster(BytesRead, ReadLineErrors);
    ReadBuffer.reset();
    return;
  }
  const DWORD error = win::GetLastError();
  if (error == win::ERROR_IO_PENDING) {
    ReadPending = true;
    return;
  }
  Owner.FReadRequest = false;
  ReadBuffer.reset();
  UnreadLineErrors |= ReadLineErrors;
  LastStatus = error;
  Report(places::kReadData, error, "Error reading Data");
}

// The quiet deadline grows with the bytes waiting: a stream at the configured pace
// keeps pushing the cut back until ClusterSize is reached.
bool TWorkThread::ReadIsDue(DWORD waiting) const {
  if (Owner.FReadRequest) return true;
  if (waiting >= Owner.FClusterSize) return true;
  const DWORD elapsed = win::GetTickCount() - LastReadTick;
  const double deadline =
      waiting * static_cast<double>(Owner.FRTOCharDelayTime) / 1000.0 + Owner.FRTOExtraDelayTime;
  if (elapsed > deadline) return true;
  return (UnreadLineErrors & kLineErrorMask) != 0;
}

void TWorkThread::ReadDone() {
  DWORD count = 0;
  DWORD error = win::ERROR_SUCCESS;
  if (!win::GetOverlappedResult(PortHandle(), &Owner.ReadOverlapped, &count, win::FALSE)) {
    error = win::GetLastError();
  }
  // Signalled by the close path while the driver still holds the read.
  if (error == win::ERROR_IO_INCOMPLETE) error = CancelAndSettle(Owner.ReadOverlapped, &count);
  if (error == win::ERROR_SUCCESS) {
    LineStat.cbInQue -= std::min(count, LineStat.cbInQue);
    LastReadTick = win::GetTickCount();
    QueueCluster(count, ReadLineErrors);
  } else {
    LastStatus = error;
    UnreadLineErrors |= ReadLineErrors;
    if (error == win::ERROR_OPERATION_ABORTED) {
      Report(places::kReadAborted, error, "Error read aborted");
    } else {
      Report(places::kReadResult, error, kReadResultText);
    }
  }
  if (error == win::ERROR_IO_INCOMPLETE && ReadBuffer) {
    AbandonedBuffers.push_back(std::move(ReadBuffer));
  }
  ReadBuffer.reset();
  ReadPending = false;
}

void TWorkThread::QueueCluster(DWORD count, DWORD errors) {
  if (Owner.FDestroying) return;
  if (count > ReadSize) count = ReadSize;
  std::unique_ptr<std::uint8_t[]> block;
  if (count > 0 && count == ReadSize) {
    block = std::move(ReadBuffer);  // already a block of exactly this size
  } else if (count > 0) {
    block = std::make_unique_for_overwrite<std::uint8_t[]>(count);
    std::memcpy(block.get(), ReadBuffer.get(), count);
  }
  QueueClusterBlock(std::move(block), count, errors);
}

void TWorkThread::QueueClusterBlock(std::unique_ptr<std::uint8_t[]> block, DWORD count,
                                    DWORD errors) {
  auto cluster =
      std::make_unique<TSerialCluster>(std::move(block), static_cast<std::int32_t>(count), errors);
  LastCluster = cluster.get();
  Owner.QueueCluster(std::move(cluster));
  UnannouncedClusters.push_back({win::GetTickCount(), count});
  UnannouncedBytes += count;
  if (!WaitingForOwner) AnnounceClusters();
}

// One OnRxClusterEvent per queued cluster, in queue order. Only those waiting on
// entry: clusters cut meanwhile wait for the next cycle, which looks after the
// line status and the write in flight first.
void TWorkThread::AnnounceClusters() {
  ReportBacklog();
  for (std::size_t n = UnannouncedClusters.size(); n > 0 && !UnannouncedClusters.empty(); --n) {
    UnannouncedBytes -= UnannouncedClusters.front().bytes;
    UnannouncedClusters.pop_front();
    SyncCall([this] { Relay(&TSerialPort::OnRxClusterEvent); });
  }
}

// Says once how far the handlers fell behind, and once that the limit held reading
// up; again only after they have kept up for a while.
void TWorkThread::ReportBacklog() {
  const DWORD now = win::GetTickCount();
  if (UnannouncedClusters.empty()) {
    if (now - LastBehindTick >= kBehindRearmMs) BehindReported = FullReported = false;
    return;
  }
  const DWORD lateMs = now - UnannouncedClusters.front().tick;
  if (lateMs >= kBehindReportMs) LastBehindTick = now;
  const auto bytes = static_cast<std::uint32_t>(std::min<std::uint64_t>(UnannouncedBytes, ~0u));
  if (lateMs >= kBehindReportMs && !BehindReported) {
    BehindReported = true;
    Report(kBehindPlace, bytes,
           "Warning Handlers " + std::to_string(lateMs) + " ms behind, " + std::to_string(bytes) +
               " Bytes in " + std::to_string(UnannouncedClusters.size()) + " Clusters waiting",
           1);
  }
  if (BacklogFull && !FullReported) {
    FullReported = true;
    LastBehindTick = now;
    Report(kBacklogFullPlace, bytes,
           "Error Receive backlog full at " + std::to_string(bytes) +
               " Bytes, reading waits for the handlers");
  }
  BacklogFull = false;
}

// Runs while a handler keeps the worker waiting. Bytes that come due are cut into
// clusters as at any cycle, so a busy owner's thread does not turn into an overrun
// of the driver's queue. Nothing is raised here; a failure waits for the next cycle.
void TWorkThread::ReadWhileBehind() {
  if (ReadPending || !PortActive() || DeviceGone || Owner.FDestroying) return;
  DWORD errors = 0;
  win::COMSTAT stat{};
  if (!win::ClearCommError(PortHandle(), &errors, &stat)) return;
  HeldLineErrors |= errors;
  UnreadLineErrors |= errors;
  LineStat.cbInQue = stat.cbInQue;
  const DWORD waiting = stat.cbInQue;
  if (waiting == 0) {
    LastReadTick = win::GetTickCount();
    return;
  }
  if (!ReadIsDue(waiting)) return;
  if (UnannouncedBytes + waiting > Owner.FRxBacklogLimit) {
    BacklogFull = true;
    return;
  }
  const DWORD readErrors = UnreadLineErrors;
  UnreadLineErrors = 0;
  DWORD got = 0;
  auto block = ReadQueuedNow(waiting, &got);
  if (got == 0) {
    UnreadLineErrors |= readErrors;
    return;
  }
  Owner.FReadRequest = false;
  LineStat.cbInQue -= std::min(got, LineStat.cbInQue);
  LastReadTick = win::GetTickCount();
  QueueClusterBlock(std::move(block), got, readErrors);
}

// Reads what the driver holds into a block of exactly the size read (none: null).
std::unique_ptr<std::uint8_t[]> TWorkThread::ReadQueuedNow(DWORD size, DWORD* got) {
  auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(size);
  *got = 0;
  if (!win::ReadFile(PortHandle(), buffer.get(), size, got, &Owner.ReadOverlapped)) {
    if (win::GetLastError() != win::ERROR_IO_PENDING) return nullptr;
    // Reads return at once with these time-outs; one that does not is not waited for.
    if (CancelAndSettle(Owner.ReadOverlapped, got) == win::ERROR_IO_INCOMPLETE) {
      AbandonedBuffers.push_back(std::move(buffer));
      *got = 0;
      return nullptr;
    }
  }
  *got = std::min(*got, size);
  if (*got == size || *got == 0) return *got == 0 ? nullptr : std::move(buffer);
  auto exact = std::make_unique_for_overwrite<std::uint8_t[]>(*got);
  std::memcpy(exact.get(), buffer.get(), *got);
  return exact;
}

}  // namespace veltra::engine
