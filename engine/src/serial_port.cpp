// TSerialPort: construction and destruction, the property setters, opening and
// closing, the DCB and time-out mapping, the control lines and the error path.
// Sending and the cluster queue live in serial_port_transfer.cpp, persistence in
// serial_settings.cpp.
#include "engine/serial_port.h"

#include <array>
#include <thread>

#include "engine/comm_port_list.h"
#include "engine/work_thread.h"
#include "platform/core/open_failure.h"

namespace veltra::engine {

namespace {

using win::DWORD;

constexpr DWORD kAllCommEvents = 0x01FF;
constexpr DWORD kPurgeAll =
    win::PURGE_TXABORT | win::PURGE_RXABORT | win::PURGE_TXCLEAR | win::PURGE_RXCLEAR;
constexpr std::size_t kMaxCommPortLength = 255;
constexpr std::size_t kDevicePathNameLength = 79;  // for Windows device names only
constexpr Cardinal kOpenFailureTextPlace = 113;
constexpr Cardinal kDeviceRemovedPlace = 120;
constexpr Cardinal kDeviceReturnedPlace = 121;
constexpr int kCloseWaitRounds = 15;
constexpr int kDestroyWaitRounds = 10;
constexpr DWORD kIdlePollMs = 75;

struct CharDelayRow {
  Cardinal baudRate;
  Cardinal charDelay;  // microseconds per byte
};

constexpr std::array<CharDelayRow, 15> kCharDelayTable{{
    {110, 100000},
    {300, 37000},
    {600, 18000},
    {1200, 9000},
    {2400, 4500},
    {4800, 2300},
    {9600, 1100},
    {14400, 760},
    {19200, 570},
    {38400, 290},
    {56000, 200},
    {57600, 190},
    {115200, 95},
    {128000, 85},
    {256000, 43},
}};

// One line driven by EscapeCommFunction, with its reports.
struct LineControl {
  DWORD setFunction, clearFunction;
  Cardinal setPlace, clearPlace;
  const char* setText;
  const char* clearText;
};

constexpr LineControl kRtsLine{win::SETRTS, win::CLRRTS,         501,
                               502,         "Error setting RTS", "Error clearing RTS"};
constexpr LineControl kDtrLine{win::SETDTR, win::CLRDTR,         601,
                               602,         "Error setting DTR", "Error clearing DTR"};

// Stores v in field and tells whether it changed (the comparing setters).
template <typename T>
bool StoreChanged(std::atomic<T>& field, T v) {
  if (field.load() == v) return false;
  field = v;
  return true;
}

}  // namespace

Cardinal CharDelayForBaudRate(Cardinal baudRate) {
  Cardinal delay = 1100;
  for (const CharDelayRow& row : kCharDelayTable) {
    if (row.baudRate <= baudRate) delay = row.charDelay;
  }
  return delay;
}

// --- construction and destruction ---------------------------------------------------

TSerialPort::TSerialPort(TOwnerCallQueue& owner) : FOwnerCalls(owner) {
  win::InitializeCriticalSection(&ClusterLock);
  FDestroying = false;
  FComHandle = win::INVALID_HANDLE_VALUE;
  win::OSVERSIONINFOA version;
  FPlatformID = QueryOSVersion(version);
  InitOverlapped(WriteOverlapped);
  InitOverlapped(ReadOverlapped);
  InitOverlapped(StatusOverlapped);
  FWorkThread = std::make_unique<TWorkThread>(*this);
}

TSerialPort::~TSerialPort() {
  FDestroying = true;
  *FAlive = nullptr;
  ReopenPort(false);
  FWorkThread->Terminate();
  WaitThreadIdle(kDestroyWaitRounds);
  // The worker may still be draining, or blocked in a call it handed to this
  // thread; serve it until it has ended, so that nothing below is still in use.
  while (!FWorkThread->Finished()) {
    if (FOwnerCalls.IsOwnerThread()) FOwnerCalls.ServePending();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  win::CloseHandle(WriteOverlapped.hEvent);
  win::CloseHandle(StatusOverlapped.hEvent);
  win::CloseHandle(ReadOverlapped.hEvent);
  win::EnterCriticalSection(&ClusterLock);
  ClusterList.clear();
  win::LeaveCriticalSection(&ClusterLock);
  FWorkThread.reset();
  win::DeleteCriticalSection(&ClusterLock);
}

// --- error path ----------------------------------------------------------------------

void TSerialPort::ProcessError(Cardinal Place, Cardinal Code, const std::string& Msg, Byte Noise) {
  if (FDestroying || FMuteReports) return;
  if (Noise > FErrorNoise) return;
  // A copy: the handler may assign OnProcessError while it runs.
  TNotifyErrorEvent handler = OnProcessError;
  if (handler) handler(this, Place, Code, Msg, Noise);
}

// --- configuration setters -------------------------------------------------------------

void TSerialPort::SetCommPort(const std::string& v) {
  std::string name = v.substr(0, kMaxCommPortLength);
  if (name == FCommPort) return;
  FAwaitingReturn = false;
  FCommPort = std::move(name);
  ReopenPort(FActive);
}

void TSerialPort::SetBaudRate(Cardinal v) {
  if (!StoreChanged(FBaudRate, v)) return;
  if (FXTOAuto) AutoTimeouts();
  if (FActive) ApplyCommState();
}

// The setters of DCB members: store, then re-apply the state to an open port.
void TSerialPort::SetParityType(Byte v) {
  if (StoreChanged(FParityType, v) && FActive) ApplyCommState();
}
void TSerialPort::SetParityErrorChar(Char v) {
  if (StoreChanged(FParityErrorChar, v) && FActive) ApplyCommState();
}
void TSerialPort::SetParityErrorReplacement(bool v) {
  if (StoreChanged(FParityErrorReplacement, v) && FActive) ApplyCommState();
}
void TSerialPort::SetStopBits(Byte v) {
  if (StoreChanged(FStopBits, v) && FActive) ApplyCommState();
}
void TSerialPort::SetDataBits(Byte v) {
  if (StoreChanged(FDataBits, v) && FActive) ApplyCommState();
}
void TSerialPort::SetXONChar(Char v) {
  if (StoreChanged(FXONChar, v) && FActive) ApplyCommState();
}
void TSerialPort::SetXOFFChar(Char v) {
  if (StoreChanged(FXOFFChar, v) && FActive) ApplyCommState();
}
void TSerialPort::SetFlowControl(Integer v) {
  if (StoreChanged(FFlowControl, v) && FActive) ApplyCommState();
}
void TSerialPort::SetStripNullChars(bool v) {
  if (StoreChanged(FStripNullChars, v) && FActive) ApplyCommState();
}
void TSerialPort::SetEventChar(Char v) {
  if (StoreChanged(FEventChar, v) && FActive) ApplyCommState();
}
void TSerialPort::SetWTOCharDelayTime(Cardinal v) {
  if (StoreChanged(FWTOCharDelayTime, v) && FActive) ApplyCommState();
}
void TSerialPort::SetWTOExtraDelayTime(Word v) {
  if (StoreChanged(FWTOExtraDelayTime, v) && FActive) ApplyCommState();
}

void TSerialPort::SetXONLimDiv(Byte v) {
  if (v > 100) {
    ProcessError(100, v, "Warning XOnLimDef set to 100", 1);
    v = 100;
  }
  if (!StoreChanged(FXONLimDiv, v)) return;
  if (FActive) ApplyCommState();
}

void TSerialPort::SetXOFFLimDiv(Byte v) {
  if (v > 100) {
    ProcessError(100, v, "Warning XOffLimDef set to 100", 1);
    v = 100;
  }
  if (!StoreChanged(FXOFFLimDiv, v)) return;
  if (FActive) ApplyCommState();
}

void TSerialPort::SetRTOCharDelayTime(Cardinal v) {
  FRTOCharDelayTime = v;
}
void TSerialPort::SetRTOExtraDelayTime(Word v) {
  FRTOExtraDelayTime = v;
}
void TSerialPort::SetClusterSize(Word v) {
  FClusterSize = v;
}
void TSerialPort::SetErrorNoise(Byte v) {
  FErrorNoise = v;
}
void TSerialPort::SetReadRequest(bool v) {
  FReadRequest = v;
}

// Not compared: ticking "default timing" again must recompute delays that were
// loaded or typed in meanwhile.
void TSerialPort::SetXTOAuto(bool v) {
  FXTOAuto = v;
  if (v) AutoTimeouts();
}

void TSerialPort::SetRxQueueSize(Word v) {
  if (!StoreChanged(FRxQueueSize, v)) return;
  if (!win::SetupComm(FComHandle, FRxQueueSize, FTxQueueSize)) {
    ProcessError(101, win::GetLastError(), "Error can not set Quesize", 0);
  }
}

void TSerialPort::SetTxQueueSize(Word v) {
  if (!StoreChanged(FTxQueueSize, v)) return;
  if (!win::SetupComm(FComHandle, FRxQueueSize, FTxQueueSize)) {
    ProcessError(102, win::GetLastError(), "Error can not set Quesize", 0);
  }
}

void TSerialPort::SetActive(bool v) {
  FAwaitingReturn = false;  // the owner decides now
  if (v == FActive) return;
  ReopenPort(v);
}

// --- control lines -------------------------------------------------------------------

namespace {

// Drives one line and reports a failure; the caller stores the state regardless.
void DriveLine(TSerialPort& port, win::HANDLE handle, const LineControl& line, bool on) {
  if (win::EscapeCommFunction(handle, on ? line.setFunction : line.clearFunction)) return;
  port.ProcessError(on ? line.setPlace : line.clearPlace, win::GetLastError(),
                    on ? line.setText : line.clearText, 0);
}

}  // namespace

void TSerialPort::SetRTSState(bool v) {
  if (!FActive) return;
  DriveLine(*this, FComHandle, kRtsLine, v);
  FRTSState = v;
}

void TSerialPort::SetDTRState(bool v) {
  if (!FActive) return;
  DriveLine(*this, FComHandle, kDtrLine, v);
  FDTRState = v;
}

void TSerialPort::SetBREAKState(bool v) {
  if (!FActive) return;
  if (v) {
    if (!win::SetCommBreak(FComHandle)) {
      ProcessError(701, win::GetLastError(), "Error setting BREAK State", 0);
    }
  } else if (!win::ClearCommBreak(FComHandle)) {
    ProcessError(702, win::GetLastError(), "Error clearing BREAK State", 0);
  }
  FBREAKState = v;
}

// --- opening and closing ---------------------------------------------------------------

void TSerialPort::ReopenPort(bool NewActive) {
  if (FActive) ClosePort();
  if (NewActive) OpenPort();
}

void TSerialPort::ClosePort() {
  const win::HANDLE handle = FComHandle;
  ProcessError(100, 0, "Msg start deactivating Port", 2);
  // Active goes down first, so the worker starts no new wait after the mask is
  // cleared (a wait on an empty mask would fail and be reported).
  FActive = false;
  if (!win::SetCommMask(handle, 0)) {
    ProcessError(101, win::GetLastError(), "Error disabling CommEvents", 0);
  }
  if (!win::PurgeComm(handle, kPurgeAll)) {
    ProcessError(102, win::GetLastError(), "Error clearing Queues", 0);
  }
  WaitThreadIdle(kCloseWaitRounds);
  if (FThreadBusy) ProcessError(104, 0, "Warning ThreadIsRunning", 1);
  DriveLine(*this, handle, kDtrLine, false);
  FDTRState = false;
  DriveLine(*this, handle, kRtsLine, false);
  FRTSState = false;
  ReportPortNotices(platform::TakePortNotices(handle));  // the last chance to hear them
  if (!win::CloseHandle(handle)) {
    ProcessError(103, win::GetLastError(), "Error closing Port", 0);
  }
  FComHandle = win::INVALID_HANDLE_VALUE;
}

namespace {

// The device path: Windows device names keep their 79-character cut; a path or a
// network name (by-id aliases run past 100 characters) is passed whole.
std::string DevicePath(const std::string& CommPort) {
  const bool whole = CommPort.find('/') != std::string::npos;
  return "\\\\.\\" + (whole ? CommPort : CommPort.substr(0, kDevicePathNameLength));
}

}  // namespace

void TSerialPort::OpenPort(bool QuietIfAbsent) {
  if (!QuietIfAbsent) ProcessError(110, 0, "Msg start reactivating Port", 2);
  const win::HANDLE handle =
      win::CreateFileA(DevicePath(FCommPort).c_str(), win::GENERIC_READ | win::GENERIC_WRITE, 0,
                       nullptr, win::OPEN_EXISTING, win::FILE_FLAG_OVERLAPPED, 0);
  if (handle == win::INVALID_HANDLE_VALUE) {
    const DWORD error = win::GetLastError();
    FLastOpenFailure = platform::LastOpenFailureText();
    if (QuietIfAbsent) return;
    ProcessError(112, error, "Error reopening Port", 0);
    // The code says only "access denied"; the words say why.
    if (!FLastOpenFailure.empty()) ProcessError(kOpenFailureTextPlace, error, FLastOpenFailure, 0);
    return;
  }
  FLastOpenFailure.clear();
  {
    std::lock_guard lock(FIdentityLock);
    FIdentity = platform::IdentifyPort(FCommPort);
  }
  ++FOpenCount;
  FComHandle = handle;
  if (!win::SetupComm(handle, FRxQueueSize, FTxQueueSize)) {
    ProcessError(111, win::GetLastError(), "Error setup Queuesize", 0);
  }
  ApplyCommState();
  DriveLine(*this, handle, kDtrLine, true);
  FDTRState = true;
  DriveLine(*this, handle, kRtsLine, true);
  FRTSState = true;
  EnableCommEvents();
  // Published last: the worker must not start serving a half-configured port.
  FActive = true;
  // Woken at once rather than at its next idle look: at high rates a device that is
  // already sending fills the receive queue within the idle sleep.
  FWorkThread->WakeIdle();
}

// --- driver state ---------------------------------------------------------------------

void TSerialPort::ApplyCommState() {
  const win::HANDLE handle = FComHandle;
  win::DCB dcb;
  if (!win::GetCommState(handle, &dcb)) {
    ProcessError(801, win::GetLastError(), "Error getting DCB from CommState", 0);
    return;
  }
  dcb.BaudRate = FBaudRate;
  DWORD flags = win::DCB_fBinary;
  if (FParityType != 0) flags |= win::DCB_fParity;
  if (FParityErrorReplacement) flags |= win::DCB_fErrorChar;
  flags |= static_cast<DWORD>(FFlowControl.load());
  if (FStripNullChars) flags |= win::DCB_fNull;
  dcb.Flags = flags;
  dcb.Parity = FParityType;
  dcb.ErrorChar = static_cast<char>(FParityErrorChar.load());
  dcb.EvtChar = static_cast<char>(FEventChar.load());
  dcb.StopBits = FStopBits;
  dcb.ByteSize = FDataBits;
  dcb.XonChar = static_cast<char>(FXONChar.load());
  dcb.XoffChar = static_cast<char>(FXOFFChar.load());
  const DWORD rxQueue = FRxQueueSize;
  dcb.XonLim = static_cast<Word>(rxQueue * FXONLimDiv / 100);
  dcb.XoffLim = static_cast<Word>(rxQueue * FXOFFLimDiv / 100);
  dcb.EofChar = 0;

  // Reads return at once with what the driver holds; a send sets its own write
  // time-out.
  win::COMMTIMEOUTS timeouts;
  win::GetCommTimeouts(handle, &timeouts);
  timeouts.ReadIntervalTimeout = win::MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 0;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = 0;
  if (!win::SetCommTimeouts(handle, &timeouts)) {
    ProcessError(802, win::GetLastError(), "Error setting CommTimeout", 0);
  }
  if (!win::SetCommState(handle, &dcb)) {
    ProcessError(802, win::GetLastError(),
                 "Error setting CommState, 87 indicate that Parms are incorrect", 0);
  }
  // A network server says which setting it refused (and, at opening, what it
  // cannot do at all) right after the code.
  ReportPortNotices(platform::TakePortNotices(handle));
}

void TSerialPort::EnableCommEvents() {
  if (!win::SetCommMask(FComHandle, kAllCommEvents)) {
    ProcessError(201, win::GetLastError(), "Error activating CommEventMask", 0);
  }
}

void TSerialPort::AutoTimeouts() {
  const Cardinal delay = CharDelayForBaudRate(FBaudRate);
  SetRTOCharDelayTime(delay);
  SetWTOCharDelayTime(delay);
}

// --- overlapped records and the worker ------------------------------------------------

void TSerialPort::InitOverlapped(win::OVERLAPPED& Record) {
  Record.Internal = 0;
  Record.InternalHigh = 0;
  Record.Offset = 0;
  Record.OffsetHigh = 0;
  // A stale code must not pass for "already exists".
  win::SetLastError(win::ERROR_SUCCESS);
  Record.hEvent = win::CreateEventA(nullptr, win::TRUE, win::FALSE, nullptr);
  if (Record.hEvent == 0) {
    ProcessError(1001, win::GetLastError(), "Error Creating Overlapped Event", 0);
  } else if (win::GetLastError() == win::ERROR_ALREADY_EXISTS) {
    ProcessError(1002, win::ERROR_ALREADY_EXISTS, "Error Overlapped Event Exists", 0);
  }
}

void TSerialPort::ResetOverlappedEvent(win::OVERLAPPED& Record) {
  if (!win::ResetEvent(Record.hEvent)) {
    ProcessError(1101, win::GetLastError(), "Error resetting Overlapped Event", 0);
  }
}

void TSerialPort::SetOverlappedEvent(win::OVERLAPPED& Record) {
  if (!win::SetEvent(Record.hEvent)) {
    ProcessError(1101, win::GetLastError(), "Error resetting Overlapped Event", 0);
  }
}

void TSerialPort::WaitThreadIdle(int Rounds) {
  const bool onOwnerThread = FOwnerCalls.IsOwnerThread();
  // A worker blocked in a call to this thread cannot reach idle until it is served.
  if (onOwnerThread) FOwnerCalls.ServePending();
  while (Rounds > 0 && FThreadBusy) {
    win::Sleep(kIdlePollMs);
    if (onOwnerThread) FOwnerCalls.ServePending();
    --Rounds;
  }
}

void TSerialPort::ThreadTerminated() {
  FThreadBusy = false;
}

// --- a device that vanished while open ----------------------------------------------

void TSerialPort::SetAutoReopen(bool v) {
  FAutoReopen = v;
  if (!v) FAwaitingReturn = false;
}

platform::PortIdentity TSerialPort::ReturnIdentity() {
  std::lock_guard lock(FIdentityLock);
  return FIdentity;
}

// Queued from the worker; dropped when the component has gone meanwhile.
void TSerialPort::RunOnOwner(std::function<void(TSerialPort&)> Call) {
  FOwnerCalls.Queue([alive = FAlive, call = std::move(Call)] {
    if (*alive != nullptr) call(**alive);
  });
}

// One report, then a quiet close: every call on the gone handle would fail.
void TSerialPort::CloseVanishedPort() {
  if (FDestroying || !FActive) return;
  ReportPortNotices(platform::TakePortNotices(FComHandle));  // why, where the layer knows
  ProcessError(kDeviceRemovedPlace, win::ERROR_DEVICE_NOT_CONNECTED,
               "Error device removed: " + FCommPort, 0);
  FMuteReports = true;
  ClosePort();
  FMuteReports = false;
  FAwaitingReturn = FAutoReopen.load();
  FWorkThread->WakeIdle();
  const TNotifyEvent handler = OnDeviceRemoved;
  if (handler) handler(this);
}

void TSerialPort::ReportPortNotices(const std::vector<platform::PortNotice>& Notices) {
  for (const platform::PortNotice& notice : Notices) {
    ProcessError(kPortNoticePlace, 0, notice.text, notice.error ? 0 : 1);
  }
}

// A failed attempt (the node is back but still held, say) stays quiet; the worker
// tries again at its next look.
void TSerialPort::ReopenReturnedPort(const std::string& Name) {
  FReopenQueued = false;
  if (FDestroying || FActive || !FAwaitingReturn) return;
  const std::string previous = FCommPort;
  FCommPort = Name;
  OpenPort(/*QuietIfAbsent=*/true);
  if (!FActive) {
    FCommPort = previous;
    return;
  }
  FAwaitingReturn = false;
  ProcessError(kDeviceReturnedPlace, 0,
               Name == previous ? "Device back, port reopened: " + Name
                                : "Device back as " + Name + ", port reopened (was " + previous + ")",
               1);
  const TNotifyEvent handler = OnDeviceReturned;
  if (handler) handler(this);
}

}  // namespace veltra::engine
