// The worker loop of a TSerialPort: idle, working and draining cycles, the line
// status poll, the comm event wait and its dispatch, and the watch over the write in
// flight (receiving: work_thread_receive.cpp). Every event and report
// goes to the owner's thread through SyncCall while the worker waits.
#include "engine/work_thread.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <exception>

#include "engine/serial_cluster.h"
#include "engine/work_thread_seam.h"
#include "platform/core/comm_api.h"
#include "platform/core/thread_name.h"
#include "platform/discovery/port_presence.h"
#include "platform/driver/port_notices.h"
#include "platform/net/network_ports.h"

namespace veltra::engine {

namespace {

using win::DWORD;

constexpr auto kIdleSleep = std::chrono::milliseconds(200);
std::atomic<std::chrono::milliseconds::rep> gIdleSleepMs{kIdleSleep.count()};
// How often a closed port whose device vanished looks for it; a network server sees
// each look as a connection, so it is asked less often.
constexpr auto kReturnLookPeriod = std::chrono::milliseconds(500);
constexpr auto kNetworkReturnLookPeriod = std::chrono::milliseconds(3000);
constexpr DWORD kWaitTimeoutMs = 75;
// How long a cancelled request may take to come back from the driver.
constexpr auto kCancelSettle = std::chrono::milliseconds(1000);
// While a handler runs, the worker looks at the receive queue this often, so a
// fast line does not overrun the driver's queue meanwhile (4 KiB last 3.4 ms at
// 12 Mbaud).
constexpr auto kBehindPoll = std::chrono::milliseconds(1);

struct DispatchRow {
  DWORD bit;
  TNotifyEvent TSerialPort::*slot;
};

// The order in which one event mask becomes events; OnCommEvent follows them all.
constexpr DispatchRow kDispatchTable[] = {
    {win::EV_BREAK, &TSerialPort::OnBreakEvent},
    {win::EV_CTS, &TSerialPort::OnCTSEvent},
    {win::EV_DSR, &TSerialPort::OnDSREvent},
    {win::EV_ERR, &TSerialPort::OnLineErrorEvent},
    {win::EV_RING, &TSerialPort::OnRingEvent},
    {win::EV_RLSD, &TSerialPort::OnRLSDEvent},
    {win::EV_RXCHAR, &TSerialPort::OnRxCharEvent},
    {win::EV_RXFLAG, &TSerialPort::OnRxEventCharEvent},
    {win::EV_TXEMPTY, &TSerialPort::OnTxQueueEmptyEvent},
};

}  // namespace

void OverrideIdleSleepForTests(std::optional<std::chrono::milliseconds> sleep) {
  gIdleSleepMs = sleep.value_or(kIdleSleep).count();
}

TWorkThread::TWorkThread(TSerialPort& owner) : Owner(owner) {
  FThread = std::thread([this] {
    platform::NameCurrentThread("veltra-worker");
    Execute();
  });
}

TWorkThread::~TWorkThread() {
  Terminate();
  if (FThread.joinable()) FThread.join();
}

void TWorkThread::Terminate() {
  {
    std::lock_guard lock(FIdleMutex);
    FTerminated = true;
  }
  FIdleWake.notify_all();
}

void TWorkThread::WakeIdle() {
  { std::lock_guard lock(FIdleMutex); }  // a sleeper past its check is now waiting
  FIdleWake.notify_all();
}

// --- the loop -------------------------------------------------------------------------

void TWorkThread::Execute() {
  try {
    RunLoop();
  } catch (const std::exception& e) {
    EndAfterHandlerFault(e.what());
  } catch (...) {
    EndAfterHandlerFault("unknown exception");
  }
  // Directly, not as a notice queued to the owner's thread: such a notice could
  // run after the component has been freed.
  Owner.ThreadTerminated();
  FFinished = true;
}

void TWorkThread::RunLoop() {
  ActiveLatch = PortActive();
  bool stop = FTerminated;
  while (!stop) {
    if (ActiveLatch) {
      WorkingCycle();
    } else {
      IdleCycle();
    }
    if (FTerminated && !ActiveLatch) stop = true;
  }
}

void TWorkThread::IdleCycle() {
  Owner.FThreadBusy = false;
  ActiveLatch = PortActive();
  if (ActiveLatch) return;
  LookForReturn();
  // Terminate and opening cut the sleep short: destroying a component does not wait
  // for it, and an opened port is served at once.
  std::unique_lock lock(FIdleMutex);
  const std::chrono::milliseconds sleep(gIdleSleepMs.load());
  FIdleWake.wait_for(lock, sleep, [this] { return FTerminated.load() || PortActive(); });
}

void TWorkThread::WorkingCycle() {
  Owner.FThreadBusy = true;
  if (Owner.FOpenCount != SeenOpenCount) StartOfOpen();
  const bool serving = PortActive() && !DeviceGone;
  // Looked at again before each step: a handler run meanwhile may have closed the
  // port (a wait started on its cleared mask would fail and be reported).
  auto stillServing = [&] { return serving && PortActive() && !DeviceGone; };
  if (serving) PollLineStatus();
  RelayPortNotices();
  CheckWriteDone();
  AnnounceClusters();  // those cut while handlers kept the worker waiting
  if (!ReadPending && stillServing()) CheckReceive();
  bool eventServedAtOnce = false;
  if (!WaitPending && stillServing()) eventServedAtOnce = StartEventWait();
  WaitForOutstanding(eventServedAtOnce, WaitTimeout());
  if (!PortActive()) ReleaseAfterClose();
}

// The wait ends when the bytes waiting come due for a read, not up to a whole wait
// later: with no extra delay a byte is relayed in a millisecond or two.
DWORD TWorkThread::WaitTimeout() const {
  const DWORD waiting = LineStat.cbInQue;
  if (waiting == 0 || ReadPending || !PortActive() || DeviceGone) return kWaitTimeoutMs;
  const DWORD elapsed = win::GetTickCount() - LastReadTick;
  const double deadline =
      waiting * static_cast<double>(Owner.FRTOCharDelayTime) / 1000.0 + Owner.FRTOExtraDelayTime;
  // Due once the millisecond tick has passed the deadline.
  const double left = std::floor(deadline) + 1 - elapsed;
  return static_cast<DWORD>(std::clamp(left, 1.0, static_cast<double>(kWaitTimeoutMs)));
}

void TWorkThread::WaitForOutstanding(bool eventServedAtOnce, DWORD timeoutMs) {
  if (ReadPending && WaitPending) {
    const win::HANDLE events[2] = {Owner.ReadOverlapped.hEvent, Owner.StatusOverlapped.hEvent};
    const DWORD result = win::WaitForMultipleObjects(2, events, win::FALSE, timeoutMs);
    LastStatus = result;
    if (PortActive()) PollLineStatus();
    // Both signalled gives 0: the read is served first, the wait in a later cycle.
    if (result == win::WAIT_OBJECT_0) {
      ReadDone();
    } else if (result == win::WAIT_OBJECT_0 + 1) {
      EventWaitDone();
    } else if (result != win::WAIT_TIMEOUT) {
      Report(places::kWaitBoth, result, kReadResultText);
      AbandonRead();
      AbandonWait();
    }
  } else if (ReadPending) {
    const DWORD result = win::WaitForSingleObject(Owner.ReadOverlapped.hEvent, timeoutMs);
    LastStatus = result;
    if (PortActive()) PollLineStatus();
    if (result == win::WAIT_OBJECT_0) {
      ReadDone();
    } else if (result != win::WAIT_TIMEOUT) {
      Report(places::kWaitRead, result, kReadResultText);
      AbandonRead();
    }
  } else if (WaitPending) {
    const DWORD result = win::WaitForSingleObject(Owner.StatusOverlapped.hEvent, timeoutMs);
    LastStatus = result;
    if (PortActive()) PollLineStatus();
    if (result == win::WAIT_OBJECT_0) {
      EventWaitDone();
    } else if (result != win::WAIT_TIMEOUT) {
      Report(places::kWaitStatus, result, kReadResultText);
      AbandonWait();
    }
  } else if (!eventServedAtOnce && Owner.FSendInProgress) {
    // Only the write is left (the port was closed, or waits keep failing): wake
    // when it ends rather than spinning.
    win::WaitForSingleObject(Owner.WriteOverlapped.hEvent, kWaitTimeoutMs);
  } else if (!eventServedAtOnce && PortActive()) {
    // WaitCommEvent failed (an unplugged device): keep the cycle's pace, not a spin.
    win::Sleep(timeoutMs);
  }
}

// The port was closed meanwhile: release what is outstanding so the next wait
// returns at once, and go idle when nothing is left.
void TWorkThread::ReleaseAfterClose() {
  if (ReadPending) SignalEvent(Owner.ReadOverlapped);
  if (WaitPending) {
    win::SetCommMask(PortHandle(), 0);
    SignalEvent(Owner.StatusOverlapped);
  }
  if (!ReadPending && !WaitPending && !Owner.FSendInProgress && UnannouncedClusters.empty()) {
    ActiveLatch = false;
  }
}

void TWorkThread::StartOfOpen() {
  SeenOpenCount = Owner.FOpenCount;
  DeviceGone = false;
  ModemLinesAbsent = false;
  ModemErrorsReported.clear();
}

// Said once; the owner's thread closes the port, and every call until then is
// skipped rather than failed and reported.
void TWorkThread::NoteVanished() {
  // In quiet mode nothing goes to the owner's thread; the close waits for its end.
  if (DeviceGone || !PortActive() || Owner.FThreadQuietMode) return;
  DeviceGone = true;
  Owner.RunOnOwner([](TSerialPort& port) { port.CloseVanishedPort(); });
}

// Taken once a cycle, all in one round trip. Left for the close of a device gone,
// which tells them first.
void TWorkThread::RelayPortNotices() {
  if (!PortActive() || DeviceGone) return;
  std::vector<platform::PortNotice> notices = platform::TakePortNotices(PortHandle());
  if (notices.empty()) return;
  SyncCall([this, &notices] { Owner.ReportPortNotices(notices); });
}

void TWorkThread::LookForReturn() {
  if (!Owner.FAwaitingReturn || Owner.FReopenQueued) return;
  const auto now = std::chrono::steady_clock::now();
  if (now < NextReturnLook) return;
  const platform::PortIdentity identity = Owner.ReturnIdentity();
  NextReturnLook = now + (platform::IsNetworkPortName(identity.name) ? kNetworkReturnLookPeriod
                                                                     : kReturnLookPeriod);
  const std::string name = platform::LocateReturnedPort(identity);
  if (name.empty() || Owner.FReopenQueued.exchange(true)) return;
  Owner.RunOnOwner([name](TSerialPort& port) { port.ReopenReturnedPort(name); });
}

// A handler threw. Nothing may stay outstanding once the worker is gone: the
// requests are cancelled and the write is given up before the report.
void TWorkThread::EndAfterHandlerFault(const std::string& what) {
  if (ReadPending) AbandonRead();
  if (WaitPending) AbandonWait();
  if (Owner.FSendInProgress) {
    DWORD written = 0;
    CancelAndSettle(Owner.WriteOverlapped, &written);
    Owner.FWrittenBytes = written;
    Owner.FSendInProgress = false;
  }
  ActiveLatch = false;
  UnannouncedClusters.clear();  // they stay queued; nobody will announce them
  UnannouncedBytes = 0;
  try {
    Report(kHandlerFaultPlace, 0, "Error worker ended by an exception: " + what);
  } catch (...) {
    // OnProcessError threw as well; the worker ends either way.
  }
}

// --- line status and comm events ------------------------------------------------------

void TWorkThread::PollLineStatus() {
  if (DeviceGone) return;
  const win::HANDLE handle = PortHandle();
  DWORD modemStatus = 0;
  if (ModemLinesAbsent) {
    // Nothing to ask: said once at the first poll of this open.
  } else if (!win::GetCommModemStatus(handle, &modemStatus)) {
    ModemStatusFailed(win::GetLastError());
  } else {
    TakeModemStatus(modemStatus);
  }
  // A handler may have closed the port; its handle is not to be used again.
  if (!PortActive()) return;
  DWORD errors = 0;
  win::COMSTAT stat{};
  if (!win::ClearCommError(handle, &errors, &stat)) {
    Report(places::kClearCommError, win::GetLastError(), "Error ClearCommError");
    return;
  }
  // ClearCommError clears them and a cycle polls more than once: the next cluster
  // carries them.
  UnreadLineErrors |= errors;
  TakeLineStatus(errors | HeldLineErrors, stat);
  HeldLineErrors = 0;
}

// A port without modem lines (a pty, a raw network port) fails every poll the same
// way: said once per open, and not asked again. Other failures are said once per
// open and code, not every cycle.
void TWorkThread::ModemStatusFailed(DWORD error) {
  if (error == win::ERROR_INVALID_FUNCTION || error == win::ERROR_NOT_SUPPORTED)
    ModemLinesAbsent = true;
  if (std::find(ModemErrorsReported.begin(), ModemErrorsReported.end(), error) !=
      ModemErrorsReported.end())
    return;
  if (error != win::ERROR_DEVICE_NOT_CONNECTED) ModemErrorsReported.push_back(error);
  Report(places::kModemStatus, error, "Error getting ModemStatus");
}

bool TWorkThread::TakeModemStatus(DWORD status) {
  const DWORD previous = Owner.FModemState;
  const bool ringWasOn = (previous & win::MS_RING_ON) != 0;
  const bool ringIsOn = (status & win::MS_RING_ON) != 0;
  // The Windows 95 family reports no ring event: the falling RI edge stands in.
  const bool ringMadeUp = Owner.FPlatformID == 1 && ringWasOn && !ringIsOn;
  const bool riChanged = ringWasOn != ringIsOn;
  Owner.FModemState = status;
  Owner.FCTSState = (status & win::MS_CTS_ON) != 0;
  Owner.FDSRState = (status & win::MS_DSR_ON) != 0;
  Owner.FRLSDState = (status & win::MS_RLSD_ON) != 0;
  Owner.FRingState = ringIsOn;
  if (riChanged) RaiseIfAssigned(&TSerialPort::OnRIEvent);
  // Given as an argument, not written into EventMask: the driver may be completing
  // the outstanding wait into that word right now.
  if (ringMadeUp) DispatchCommEvents(win::EV_RING);
  return PortActive();
}

void TWorkThread::TakeLineStatus(DWORD errors, const win::COMSTAT& stat) {
  LineErrors = errors;
  LineStat = stat;
  const auto flags = static_cast<TComStateFlags>(stat.Flags & 0xFF);
  if (Owner.FCommError == errors && Owner.FCommStateFlags == flags &&
      Owner.FCommStateInQueue == stat.cbInQue && Owner.FCommStateOutQueue == stat.cbOutQue) {
    return;
  }
  Owner.FCommError = errors;
  Owner.FCommStateFlags = flags;
  Owner.FCommStateInQueue = stat.cbInQue;
  Owner.FCommStateOutQueue = stat.cbOutQue;
  RaiseIfAssigned(&TSerialPort::OnCommStat);
}

// True when the wait completed at once and its events were dispatched.
bool TWorkThread::StartEventWait() {
  // A wait that ends in failure writes no mask; nothing stale may be dispatched.
  EventMask = 0;
  if (win::WaitCommEvent(PortHandle(), &EventMask, &Owner.StatusOverlapped)) {
    PollLineStatus();
    DispatchCommEvents(EventMask);
    return true;
  }
  const DWORD error = win::GetLastError();
  if (error == win::ERROR_IO_PENDING) {
    WaitPending = true;
    return false;
  }
  LastStatus = error;
  // A close clears Active before the event mask, so a wait refused because of the
  // close always finds the port closed (or another open) here: not a fault.
  if (!PortActive() || Owner.FOpenCount != SeenOpenCount) return false;
  Report(places::kWaitCommEvent, error, "Error calling WaitCommEvent");
  return false;
}

// The driver wrote EventMask before it signalled; a wait released by closing the
// port dispatches nothing.
void TWorkThread::EventWaitDone() {
  if (PortActive()) {
    PollLineStatus();
    DispatchCommEvents(EventMask);
  }
  WaitPending = false;
}

void TWorkThread::DispatchCommEvents(DWORD mask) {
  if (Owner.FDestroying) return;
  Owner.FCommEvent = mask;
  for (const DispatchRow& row : kDispatchTable) {
    if (mask & row.bit) RaiseIfAssigned(row.slot);
  }
  if (mask != 0) RaiseIfAssigned(&TSerialPort::OnCommEvent);
}

// --- the write in flight ----------------------------------------------------------------

void TWorkThread::CheckWriteDone() {
  if (!Owner.FSendInProgress) return;
  BytesWritten = 0;
  if (win::GetOverlappedResult(PortHandle(), &Owner.WriteOverlapped, &BytesWritten, win::FALSE)) {
    FinishWrite(BytesWritten, BytesWritten != Owner.BytesToWrite);
    return;
  }
  const DWORD error = win::GetLastError();
  LastStatus = error;
  if (error == win::ERROR_IO_INCOMPLETE) return;  // still running
  if (error == win::ERROR_IO_PENDING) {
    const DWORD elapsed = win::GetTickCount() - Owner.WriteStartTick;
    const double budget = BytesWritten * static_cast<double>(Owner.FWTOCharDelayTime) / 1000.0 +
                          Owner.FWTOExtraDelayTime;
    if (elapsed > budget) AbandonWrite(BytesWritten);
    return;
  }
  Owner.FSendInProgress = false;
  ResetEvent(Owner.WriteOverlapped);
  Report(places::kWriteResult, error, "Error getting Overlapped Result");
  SyncCall([this] { Relay(&TSerialPort::OnWriteDone); });
}

void TWorkThread::FinishWrite(DWORD written, bool reportShort) {
  Owner.FWrittenBytes = written;
  Owner.FSendInProgress = false;
  if (reportShort) Report(places::kWriteTimeout, LastStatus, "Error write TimeOut");
  SyncCall([this] { Relay(&TSerialPort::OnWriteDone); });
}

// The write stalled past its budget. The driver must be done with it before
// WriteOverlapped serves the next send, so it is cancelled and waited for.
void TWorkThread::AbandonWrite(DWORD writtenSoFar) {
  DWORD written = writtenSoFar;
  CancelAndSettle(Owner.WriteOverlapped, &written);
  Owner.FWrittenBytes = written > writtenSoFar ? written : writtenSoFar;
  Owner.FSendInProgress = false;
  ResetEvent(Owner.WriteOverlapped);
  Report(places::kWriteTimeout, win::ERROR_IO_PENDING, "Error write TimeOut");
  SyncCall([this] { Relay(&TSerialPort::OnWriteDone); });
}

void TWorkThread::AbandonRead() {
  DWORD count = 0;
  if (CancelAndSettle(Owner.ReadOverlapped, &count) == win::ERROR_IO_INCOMPLETE && ReadBuffer) {
    AbandonedBuffers.push_back(std::move(ReadBuffer));
  }
  ReadBuffer.reset();
  UnreadLineErrors |= ReadLineErrors;
  ReadPending = false;
}

void TWorkThread::AbandonWait() {
  DWORD unused = 0;
  CancelAndSettle(Owner.StatusOverlapped, &unused);
  WaitPending = false;
}

// Cancels a request and polls until the driver has given it back. Returns its final
// code: 0 done, an error, or ERROR_IO_INCOMPLETE if it is still held after the bound.
DWORD TWorkThread::CancelAndSettle(win::OVERLAPPED& record, DWORD* transferred) {
  const win::HANDLE handle = PortHandle();
  win::CancelIoEx(handle, &record);
  const auto deadline = std::chrono::steady_clock::now() + kCancelSettle;
  for (;;) {
    if (win::GetOverlappedResult(handle, &record, transferred, win::FALSE)) {
      return win::ERROR_SUCCESS;
    }
    const DWORD error = win::GetLastError();
    if (error != win::ERROR_IO_INCOMPLETE) return error;
    if (std::chrono::steady_clock::now() >= deadline) return error;
    win::Sleep(1);
  }
}

// --- relays to the owner's thread --------------------------------------------------------

void TWorkThread::SyncCall(const std::function<void()>& Method) {
  // While the component is being destroyed nothing is raised: a handler would see
  // a half-destroyed sender.
  if (Owner.FThreadQuietMode || Owner.FDestroying) return;
  WaitingForOwner = true;
  struct Leave {
    bool& flag;
    ~Leave() { flag = false; }
  } leave{WaitingForOwner};
  Owner.FOwnerCalls.Synchronize(Method, kBehindPoll, [this] { ReadWhileBehind(); });
}

void TWorkThread::SetError(std::uint32_t Place, std::uint32_t Code, std::uint8_t Noise,
                           const std::string& Msg) {
  ErrPlace = Place;
  ErrCode = Code;
  ErrNoise = Noise;
  ErrMsg = Msg;
}

void TWorkThread::RelayError() {
  Owner.ProcessError(ErrPlace, ErrCode, ErrMsg, ErrNoise);
}

void TWorkThread::Report(std::uint32_t Place, std::uint32_t Code, const std::string& Msg,
                         std::uint8_t Noise) {
  // A vanished device fails every call; the owner says so once, naming it.
  if (Code == win::ERROR_DEVICE_NOT_CONNECTED && Place != kHandlerFaultPlace) {
    NoteVanished();
    return;
  }
  SetError(Place, Code, Noise, Msg);
  SyncCall([this] { RelayError(); });
}

// The round trip to the owner's thread is made only for an assigned handler.
void TWorkThread::RaiseIfAssigned(EventSlot slot) {
  if (Owner.*slot) SyncCall([this, slot] { Relay(slot); });
}

// Runs on the owner's thread.
void TWorkThread::Relay(EventSlot slot) {
  if (Owner.FDestroying) return;
  // A copy: the handler may reassign its own slot.
  const TNotifyEvent handler = Owner.*slot;
  if (handler) handler(&Owner);
}

void TWorkThread::SignalEvent(win::OVERLAPPED& record) {
  if (!win::SetEvent(record.hEvent)) {
    Report(places::kResetEvent, win::GetLastError(), "Error resetting Overlapped Event");
  }
}

void TWorkThread::ResetEvent(win::OVERLAPPED& record) {
  if (!win::ResetEvent(record.hEvent)) {
    Report(places::kResetEvent, win::GetLastError(), "Error resetting Overlapped Event");
  }
}

bool TWorkThread::PortActive() const {
  return Owner.FActive;
}

win::HANDLE TWorkThread::PortHandle() const {
  return Owner.FComHandle;
}

}  // namespace veltra::engine
