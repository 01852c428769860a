// TSerialPort: a non-visual component that owns one serial port: its whole
// configuration as properties, opening and closing, the DCB and time-out mapping,
// RTS/DTR/BREAK, the most recent line status, a worker thread (work_thread.h) and
// a queue of received clusters. It never throws; every failure and notable step is
// a report (place, code, message, noise) through ProcessError and OnProcessError.
//
// Threads: all setters, opening, closing, sending and cluster accessors run on the
// owner's thread. The worker reads configuration and writes the observed status;
// the fields they share are atomics, each written whole. Handlers are assigned
// while the port is closed; the worker raises them on the owner's thread through
// the TOwnerCallQueue given at construction and waits until they return.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "engine/owner_calls.h"
#include "engine/serial_cluster.h"
#include "platform/core/comm_api.h"
#include "platform/discovery/port_presence.h"
#include "platform/driver/port_notices.h"

namespace veltra::engine {

using Byte = std::uint8_t;
using Word = std::uint16_t;
using Cardinal = std::uint32_t;
using Integer = std::int32_t;
using Char = std::uint8_t;

// Base of everything that can be an event's sender.
class TObject {
 public:
  virtual ~TObject() = default;
};

using TNotifyEvent = std::function<void(TObject* Sender)>;
using TNotifyErrorEvent = std::function<void(TObject* Sender, Cardinal Place, Cardinal Code,
                                             const std::string& Msg, Byte Noise)>;

// Bit n of the COMSTAT flags word.
enum class TComStateFlag : Byte { fCtlHold, fDsrHold, fRlsHold, fXoffHold, fXOffSent, fEof, fTxim };
using TComStateFlags = Byte;  // the low byte of the COMSTAT flags word
inline constexpr bool HasFlag(TComStateFlags flags, TComStateFlag f) {
  return (flags >> static_cast<int>(f)) & 1u;
}

class TWorkThread;
class TSettingsReader;

class TSerialPort : public TObject {
 public:
  // The worker starts at once, idle while the port is closed. `owner` runs the
  // worker's events on the owner's thread; it must outlive the component.
  explicit TSerialPort(TOwnerCallQueue& owner);
  ~TSerialPort() override;
  TSerialPort(const TSerialPort&) = delete;
  TSerialPort& operator=(const TSerialPort&) = delete;

  // --- configuration properties -------------------------------------------------
  const std::string& CommPort() const { return FCommPort; }
  void SetCommPort(const std::string& v);
  Cardinal BaudRate() const { return FBaudRate; }
  void SetBaudRate(Cardinal v);
  Byte ParityType() const { return FParityType; }
  void SetParityType(Byte v);
  Char ParityErrorChar() const { return FParityErrorChar; }
  void SetParityErrorChar(Char v);
  bool ParityErrorReplacement() const { return FParityErrorReplacement; }
  void SetParityErrorReplacement(bool v);
  Byte StopBits() const { return FStopBits; }
  void SetStopBits(Byte v);
  Byte DataBits() const { return FDataBits; }
  void SetDataBits(Byte v);
  Char XONChar() const { return FXONChar; }
  void SetXONChar(Char v);
  Char XOFFChar() const { return FXOFFChar; }
  void SetXOFFChar(Char v);
  Byte XONLimDiv() const { return FXONLimDiv; }
  void SetXONLimDiv(Byte v);
  Byte XOFFLimDiv() const { return FXOFFLimDiv; }
  void SetXOFFLimDiv(Byte v);
  Integer FlowControl() const { return FFlowControl; }
  void SetFlowControl(Integer v);
  bool StripNullChars() const { return FStripNullChars; }
  void SetStripNullChars(bool v);
  Char EventChar() const { return FEventChar; }
  void SetEventChar(Char v);
  Byte ErrorNoise() const { return FErrorNoise; }
  void SetErrorNoise(Byte v);
  Cardinal RTOCharDelayTime() const { return FRTOCharDelayTime; }
  void SetRTOCharDelayTime(Cardinal v);
  Word RTOExtraDelayTime() const { return FRTOExtraDelayTime; }
  void SetRTOExtraDelayTime(Word v);
  Cardinal WTOCharDelayTime() const { return FWTOCharDelayTime; }
  void SetWTOCharDelayTime(Cardinal v);
  Word WTOExtraDelayTime() const { return FWTOExtraDelayTime; }
  void SetWTOExtraDelayTime(Word v);
  bool XTOAuto() const { return FXTOAuto; }
  void SetXTOAuto(bool v);
  bool Active() const { return FActive; }
  void SetActive(bool v);
  bool RTSState() const { return FRTSState; }
  void SetRTSState(bool v);
  bool DTRState() const { return FDTRState; }
  void SetDTRState(bool v);
  bool BREAKState() const { return FBREAKState; }
  void SetBREAKState(bool v);
  Word ClusterSize() const { return FClusterSize; }
  void SetClusterSize(Word v);
  Word RxQueueSize() const { return FRxQueueSize; }
  void SetRxQueueSize(Word v);
  Word TxQueueSize() const { return FTxQueueSize; }
  void SetTxQueueSize(Word v);
  bool ReadRequest() const { return FReadRequest; }
  void SetReadRequest(bool v);
  bool ThreadQuietMode() const { return FThreadQuietMode; }
  void SetThreadQuietMode(bool v) { FThreadQuietMode = v; }
  // While a handler keeps the worker waiting, the worker goes on cutting clusters
  // and raises their OnRxClusterEvent once the owner's thread has caught up. This
  // bounds the bytes so waiting; past it, bytes wait in the driver's queue, where
  // flow control or CE_RXOVER takes over.
  static constexpr Cardinal kDefaultRxBacklogLimit = 64u << 20;
  Cardinal RxBacklogLimit() const { return FRxBacklogLimit; }
  void SetRxBacklogLimit(Cardinal v) { FRxBacklogLimit = v; }

  // --- a device that vanished while open ------------------------------------------
  // The port is closed with one report (place 120) and OnDeviceRemoved. With
  // AutoReopen (the default) the worker then watches for the device and reopens it
  // with the same settings when it is back (place 121, OnDeviceReturned); an
  // adapter known by its serial number may come back under another name, which
  // CommPort then takes. Any Active or CommPort change by the owner ends the watch.
  bool AutoReopen() const { return FAutoReopen; }
  void SetAutoReopen(bool v);
  bool AwaitingReturn() const { return FAwaitingReturn; }
  // Why the last open failed, in words (permission, in use, no such device, not a
  // serial port); empty after a successful open or when the system said no more.
  const std::string& LastOpenFailure() const { return FLastOpenFailure; }
  // What the layer below says that no call fails with (a network server's protocol
  // faults, a setting it refused, why its connection ended) is reported at this
  // place, each once: noise 0 where it explains a failure, else 1.
  static constexpr Cardinal kPortNoticePlace = 130;

  // --- observed status (read-only, written by the worker) -----------------------
  TComStateFlags CommStateFlags() const { return FCommStateFlags; }
  Cardinal CommStateInQueue() const { return FCommStateInQueue; }
  Cardinal CommStateOutQueue() const { return FCommStateOutQueue; }
  Cardinal CommError() const { return FCommError; }
  Cardinal CommEvent() const { return FCommEvent; }
  Cardinal ModemState() const { return FModemState; }
  bool CTSState() const { return FCTSState; }
  bool DSRState() const { return FDSRState; }
  bool RLSDState() const { return FRLSDState; }
  bool RingState() const { return FRingState; }
  bool SendInProgress() const { return FSendInProgress; }
  Cardinal WrittenBytes() const { return FWrittenBytes; }
  win::HANDLE ComHandle() const { return FComHandle; }
  Integer PlatformID() const { return FPlatformID; }

  // --- events (assign while the port is closed) ---------------------------------
  TNotifyEvent OnTxQueueEmptyEvent, OnCommEvent, OnCommStat, OnBreakEvent, OnCTSEvent, OnDSREvent,
      OnLineErrorEvent, OnRingEvent, OnRIEvent, OnRLSDEvent, OnRxClusterEvent, OnRxCharEvent,
      OnRxEventCharEvent, OnWriteDone;
  TNotifyErrorEvent OnProcessError;
  TNotifyEvent OnDeviceRemoved, OnDeviceReturned;

  // --- sending and received clusters --------------------------------------------
  void SendData(const void* Buffer, Cardinal Count);
  void SendString(const std::string& S);
  Integer FirstClusterSize();
  Integer FirstClusterErrors();
  void TakeFirstCluster(std::string& S);

  // --- settings persistence ------------------------------------------------------
  void WriteSettings(const std::string& Key, const std::string& Section);
  void ReadSettings(const std::string& Key, const std::string& Section);
  // ReadSettings without opening or closing the port: the stored Active is not
  // looked at and CommPort is taken as stored. For a caller that opens the port
  // itself, so that loading cannot open a stored device it does not want.
  void LoadSettings(const std::string& Key, const std::string& Section);

  // --- operations shared with the worker ----------------------------------------
  void ProcessError(Cardinal Place, Cardinal Code, const std::string& Msg, Byte Noise);
  // Sleeps 75 ms at a time while the worker is busy, at most Rounds times; serves
  // the worker's pending owner-thread calls meanwhile so that a worker blocked in
  // Synchronize can finish its cycle.
  void WaitThreadIdle(int Rounds);
  bool ThreadBusy() const { return FThreadBusy; }
  bool Destroying() const { return FDestroying; }
  TWorkThread& WorkThread() { return *FWorkThread; }

 private:
  friend class TWorkThread;

  void ReopenPort(bool NewActive);
  void ClosePort();                      // ReopenPort's closing half
  void CloseVanishedPort();              // owner's thread, queued by the worker
  void ReopenReturnedPort(const std::string& Name);  // likewise
  void RunOnOwner(std::function<void(TSerialPort&)> Call);  // from the worker
  void ReportPortNotices(const std::vector<platform::PortNotice>& Notices);  // owner's thread
  platform::PortIdentity ReturnIdentity();
  // ReopenPort's opening half; a reopen attempt for a returning device says
  // nothing until the device has opened.
  void OpenPort(bool QuietIfAbsent = false);
  void ReadStored(const std::string& Key, const std::string& Section, bool FollowActive);
  void LoadFields(TSettingsReader& in);  // ReadSettings: the values after CommPort
  void ApplyCommState();
  void EnableCommEvents();
  void AutoTimeouts();
  void InitOverlapped(win::OVERLAPPED& Record);
  void ResetOverlappedEvent(win::OVERLAPPED& Record);
  void SetOverlappedEvent(win::OVERLAPPED& Record);
  void ThreadTerminated();
  void QueueCluster(std::unique_ptr<TSerialCluster> Cluster);  // worker: append under ClusterLock

  // Configuration (owner writes; worker reads some of them).
  std::string FCommPort = "COM2";
  std::atomic<Cardinal> FBaudRate{9600};
  std::atomic<Byte> FParityType{0};
  std::atomic<Char> FParityErrorChar{0};
  std::atomic<bool> FParityErrorReplacement{false};
  std::atomic<Byte> FStopBits{0};
  std::atomic<Byte> FDataBits{8};
  std::atomic<Char> FXONChar{17};
  std::atomic<Char> FXOFFChar{19};
  std::atomic<Byte> FXONLimDiv{33};
  std::atomic<Byte> FXOFFLimDiv{33};
  std::atomic<Integer> FFlowControl{0};
  std::atomic<bool> FStripNullChars{false};
  std::atomic<Char> FEventChar{0};
  std::atomic<Byte> FErrorNoise{255};
  // Observed status (worker writes).
  std::atomic<TComStateFlags> FCommStateFlags{0};
  std::atomic<Cardinal> FCommStateInQueue{0};
  std::atomic<Cardinal> FCommStateOutQueue{0};
  std::atomic<Cardinal> FCommError{0};
  std::atomic<Cardinal> FCommEvent{0};
  std::atomic<Cardinal> FModemState{0};
  std::atomic<Cardinal> FRTOCharDelayTime{1100};
  std::atomic<Word> FRTOExtraDelayTime{250};
  std::atomic<Cardinal> FWTOCharDelayTime{1100};
  std::atomic<Word> FWTOExtraDelayTime{250};
  std::atomic<bool> FXTOAuto{true};
  std::atomic<bool> FActive{false};
  std::atomic<bool> FRTSState{true};
  std::atomic<bool> FDTRState{true};
  std::atomic<bool> FBREAKState{false};
  std::atomic<bool> FCTSState{false};
  std::atomic<bool> FDSRState{false};
  std::atomic<bool> FRLSDState{false};
  std::atomic<bool> FRingState{false};
  std::atomic<Word> FClusterSize{3072};
  std::atomic<Word> FRxQueueSize{4096};
  std::atomic<Word> FTxQueueSize{4096};
  std::atomic<bool> FReadRequest{false};
  std::atomic<bool> FSendInProgress{false};
  std::atomic<Cardinal> FWrittenBytes{0};
  std::atomic<bool> FThreadQuietMode{false};
  std::atomic<Cardinal> FRxBacklogLimit{kDefaultRxBacklogLimit};

  std::atomic<win::HANDLE> FComHandle{win::INVALID_HANDLE_VALUE};
  win::OVERLAPPED WriteOverlapped{};
  win::OVERLAPPED ReadOverlapped{};
  win::OVERLAPPED StatusOverlapped{};
  std::atomic<Cardinal> BytesToWrite{0};
  std::atomic<Cardinal> WriteStartTick{0};
  // The bytes of the write in flight; kept alive until the write has finished.
  std::string FPendingWrite;
  std::atomic<bool> FThreadBusy{false};
  std::atomic<bool> FDestroying{false};
  std::deque<std::unique_ptr<TSerialCluster>> ClusterList;
  win::CRITICAL_SECTION ClusterLock{};
  Integer FPlatformID = 0;
  // Vanished devices: written on the owner's thread, read by the worker.
  std::atomic<bool> FAutoReopen{true};
  std::atomic<bool> FAwaitingReturn{false};
  std::atomic<bool> FReopenQueued{false};
  std::atomic<Cardinal> FOpenCount{0};  // opens so far: the worker's per-open state
  std::atomic<bool> FMuteReports{false};
  std::mutex FIdentityLock;
  platform::PortIdentity FIdentity;  // of the open port, guarded by FIdentityLock
  std::string FLastOpenFailure;
  // Cleared when the component goes, so calls queued for it are dropped.
  std::shared_ptr<TSerialPort*> FAlive = std::make_shared<TSerialPort*>(this);
  TOwnerCallQueue& FOwnerCalls;
  std::unique_ptr<TWorkThread> FWorkThread;
};

// Microseconds per byte for a baud rate (AutoTimeouts); 1100 below 110 baud.
Cardinal CharDelayForBaudRate(Cardinal baudRate);

}  // namespace veltra::engine
