// The virtual lower half: ports joined by an in-process null-modem cable.
//
// A Cable holds the line state of its one (loopback) or two ends under one mutex.
// Everything that reaches a driver (bytes, modem changes, vanishing, transmit pulls)
// happens in Pump, which holds pumpMutex_ so that sink calls of a cable are
// serialised and in order, and never holds the state mutex during a sink call.
// State changes pump at once in the caller's thread (so an instant line completes
// a write inside WriteFile); a pacing thread per cable, running while an end is
// open, pumps again when the next character is due and sleeps on a condition
// variable otherwise.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/core/thread_name.h"
#include "platform/driver/uart.h"
#include "platform/virtual/simulated_devices.h"
#include "platform/virtual/virtual_device.h"
#include "platform/virtual/virtual_ports.h"

namespace veltra::platform {

using namespace win;

namespace {

using Clock = std::chrono::steady_clock;

// Characters are taken from the driver this far ahead of the line, and the pacing
// thread wakes at most about once per granule, delivering what has arrived.
constexpr auto kLookahead = std::chrono::milliseconds(1);
constexpr auto kGranule = std::chrono::milliseconds(1);
constexpr std::size_t kMaxTakeAtOnce = 64 * 1024;
// An instant line under output flow control moves a FIFO's worth at a time, so
// the receiver's throttle stops it about as soon as a real UART would stop.
constexpr std::size_t kFifoSize = 16;

// The cable whose Pump runs on this thread: a sink calling back into its lower
// half (to pause reception) only changes state, and the running Pump picks it up.
thread_local const void* pumpingCable = nullptr;

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

double StopBitCount(const DCB& dcb) {
  return dcb.StopBits == ONESTOPBIT ? 1.0 : dcb.StopBits == ONE5STOPBITS ? 1.5 : 2.0;
}

Clock::duration CharTime(const DCB& dcb) {
  const double bits = 1 + dcb.ByteSize + (dcb.Parity != NOPARITY ? 1 : 0) + StopBitCount(dcb);
  const double seconds = bits / std::max<DWORD>(dcb.BaudRate, 1);
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

bool ParityBit(std::uint8_t data, int dataBits, BYTE parity) {
  int ones = 0;
  for (int i = 0; i < dataBits; ++i) ones += (data >> i) & 1;
  switch (parity) {
    case ODDPARITY:
      return ones % 2 == 0;
    case EVENPARITY:
      return ones % 2 == 1;
    case MARKPARITY:
      return true;
    default:
      return false;
  }
}

// The level of the sender's frame at bit position `bit` (0 is the start bit); past
// the frame the line idles at mark.
bool SenderLevel(std::uint8_t byte, const DCB& tx, std::size_t bit) {
  if (bit == 0) return false;
  if (bit <= tx.ByteSize) return (byte >> (bit - 1)) & 1;
  if (tx.Parity != NOPARITY && bit == tx.ByteSize + 1u)
    return ParityBit(byte, tx.ByteSize, tx.Parity);
  return true;
}

struct Received {
  std::uint8_t byte = 0;
  DWORD error = 0;
};

// What a receiver set to `rx` makes of a character sent with `tx`: it samples the
// middle of each of its own bit times on the sender's waveform, so mismatched
// rates, sizes and parities give the bytes and errors a real UART would.
Received SampleCharacter(std::uint8_t byte, const DCB& tx, const DCB& rx) {
  Received r;
  if (tx.BaudRate == rx.BaudRate && tx.ByteSize == rx.ByteSize && tx.Parity == rx.Parity) {
    r.byte = static_cast<std::uint8_t>(byte & ((1u << rx.ByteSize) - 1));
    return r;
  }
  const double ratio = static_cast<double>(tx.BaudRate) / std::max<DWORD>(rx.BaudRate, 1);
  auto sample = [&](std::size_t k) {
    return SenderLevel(byte, tx, static_cast<std::size_t>((k + 0.5) * ratio));
  };
  if (sample(0)) r.error |= CE_FRAME;
  for (int i = 0; i < rx.ByteSize; ++i)
    if (sample(1 + i)) r.byte = static_cast<std::uint8_t>(r.byte | (1u << i));
  std::size_t next = 1 + rx.ByteSize;
  if (rx.Parity != NOPARITY) {
    const bool bit = sample(next++);
    const bool checked = (rx.Flags & DCB_fParity) != 0;
    if (checked && bit != ParityBit(r.byte, rx.ByteSize, rx.Parity)) r.error |= CE_RXPARITY;
  }
  if (!sample(next)) r.error |= CE_FRAME;
  return r;
}

struct WireChar {
  std::uint8_t byte;
  DWORD error;
  Clock::time_point arrival;
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
  Clock::time_point txFreeAt{};
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
  Clock::time_point ringUntil{};
  std::optional<DWORD> reportedModem;
};

struct Action {
  enum Kind { kReceive, kReceiveError, kModem, kVanish, kTake, kTxEmpty } kind;
  std::size_t end;
  UartSink* sink;
  std::vector<std::uint8_t> bytes{};
  DWORD value = 0;
  std::uint64_t txReadyCount = 0;  // kTake: the end's count when the pull was planned
};

DCB InitialLine() {
  DCB dcb;
  dcb.BaudRate = 9600;
  dcb.Flags = DCB_fBinary;
  return dcb;
}

// A new open starts from a quiet line; injected faults (stall, forced DCD, ring,
// corruption) stay, as they belong to the far device.
void ResetLine(EndState& e) {
  e.dcb = InitialLine();
  e.rts = e.dtr = e.brk = e.rxPaused = e.xoffReceived = e.xoffSent = false;
  e.flowChar.reset();
  e.incoming.clear();
  e.txFreeAt = {};
  e.txReady = false;
  e.txEmptyReported = true;
  e.breakReported = e.vanishReported = false;
  e.reportedModem.reset();
}

}  // namespace

class Cable {
 public:
  Cable(std::vector<std::string> names, bool instant) : instant_(instant) {
    for (auto& n : names) {
      ends_.emplace_back();
      ends_.back().name = std::move(n);
      ends_.back().dcb = InitialLine();
    }
  }
  ~Cable() {
    std::lock_guard life(lifeMutex_);
    StopPacer();
  }

  const std::string& Name(std::size_t i) const { return ends_[i].name; }

  DWORD Open(std::size_t i) {
    std::lock_guard life(lifeMutex_);
    {
      std::lock_guard lock(mutex_);
      EndState& e = ends_[i];
      if (!e.present) return ERROR_FILE_NOT_FOUND;
      if (e.open) return ERROR_ACCESS_DENIED;
      ResetLine(e);
      e.open = true;
    }
    StartPacer();
    return ERROR_SUCCESS;
  }

  void Start(std::size_t i, UartSink& sink) {
    Change([&](EndState& e) { e.sink = &sink; }, i);
  }

  // Ends delivery to end i; once this returns no sink call for it is running.
  void Release(std::size_t i) {
    {
      std::lock_guard pump(pumpMutex_);
      std::lock_guard lock(mutex_);
      EndState& e = ends_[i];
      e.open = false;
      e.sink = nullptr;
      ResetLine(e);
      cv_.notify_all();
    }
    Pump();                            // the peer sees the lines drop
    std::lock_guard life(lifeMutex_);  // no open slips in between the test and the stop
    bool anyOpen = false;
    {
      std::lock_guard lock(mutex_);
      for (const auto& e : ends_) anyOpen = anyOpen || e.open;
    }
    if (!anyOpen) StopPacer();
  }

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
  std::size_t Peer(std::size_t i) const { return ends_.size() == 1 ? i : 1 - i; }
  bool EffectiveRts(const EndState& e) const {
    if (!e.open || !e.present) return false;
    switch (DcbRtsControl(e.dcb.Flags)) {
      case RTS_CONTROL_HANDSHAKE:
        return !e.rxPaused;
      case RTS_CONTROL_TOGGLE:
        return e.txReady || e.txFreeAt > Clock::now();  // while sending
      default:
        return e.rts;
    }
  }
  bool EffectiveDtr(const EndState& e) const {
    if (!e.open || !e.present) return false;
    return DcbDtrControl(e.dcb.Flags) == DTR_CONTROL_HANDSHAKE ? !e.rxPaused : e.dtr;
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

DWORD Cable::ModemStatus(std::size_t i) const {
  const EndState& e = ends_[i];
  const EndState& p = ends_[Peer(i)];
  DWORD s = 0;
  if (!e.present) return 0;
  if (EffectiveRts(p)) s |= MS_CTS_ON;
  if (EffectiveDtr(p)) s |= MS_DSR_ON;
  if (e.forcedDcd ? *e.forcedDcd : EffectiveDtr(p)) s |= MS_RLSD_ON;
  if (e.ringing) s |= MS_RING_ON;
  return s;
}

DWORD Cable::HoldFlags(std::size_t i) const {
  const EndState& e = ends_[i];
  const DWORD modem = ModemStatus(i);
  DWORD h = 0;
  if ((e.dcb.Flags & DCB_fOutxCtsFlow) && !(modem & MS_CTS_ON)) h |= COMSTAT_fCtsHold;
  if ((e.dcb.Flags & DCB_fOutxDsrFlow) && !(modem & MS_DSR_ON)) h |= COMSTAT_fDsrHold;
  if (e.xoffReceived) h |= COMSTAT_fXoffHold;
  // Without fTXContinueOnXoff, sending XOFF stops our own transmission until XON.
  if (e.xoffSent && !(e.dcb.Flags & DCB_fTXContinueOnXoff)) h |= COMSTAT_fXoffSent;
  return h;
}

DWORD Cable::OutputPending(std::size_t i) const {
  const auto now = Clock::now();
  const auto& wire = ends_[Peer(i)].incoming;
  return static_cast<DWORD>(std::count_if(wire.begin(), wire.end(),
                                          [now](const WireChar& c) { return c.arrival > now; }));
}

void Cable::PurgeTransmit(std::size_t i) {
  Change(
      [this, i](EndState& e) {
        const auto now = Clock::now();
        auto& wire = ends_[Peer(i)].incoming;
        wire.erase(std::remove_if(wire.begin(), wire.end(),
                                  [now](const WireChar& c) { return c.arrival > now; }),
                   wire.end());
        e.txFreeAt = std::min(e.txFreeAt, now);
      },
      i);
}

void Cable::Pump() {
  if (pumpingCable == this) return;
  {
    std::lock_guard pump(pumpMutex_);
    pumpWanted_ = false;
    PumpLocked();
  }
  PumpIfWanted();
}

void Cable::PumpIfWanted() {
  while (pumpWanted_ && pumpMutex_.try_lock()) {
    std::lock_guard pump(pumpMutex_, std::adopt_lock);
    pumpWanted_ = false;
    PumpLocked();
  }
}

void Cable::PumpLocked() {
  // A sink may write to a port of another cable, whose Pump then runs nested here.
  struct Leave {
    const void* outer;
    ~Leave() { pumpingCable = outer; }
  } leave{pumpingCable};
  pumpingCable = this;
  std::vector<Action> actions;
  for (;;) {
    actions.clear();
    bool again = false;
    {
      std::lock_guard lock(mutex_);
      collectAgain_ = false;
      Collect(Clock::now(), actions);
      again = collectAgain_;
    }
    if (actions.empty() && !again) return;
    for (auto& a : actions) {
      switch (a.kind) {
        case Action::kReceive:
          a.sink->OnReceive(a.bytes.data(), a.bytes.size());
          break;
        case Action::kReceiveError:
          a.sink->OnReceiveError(a.bytes[0], a.value);
          break;
        case Action::kModem:
          a.sink->OnModemStatus(a.value);
          break;
        case Action::kVanish:
          a.sink->OnVanished();
          break;
        case Action::kTxEmpty:
          a.sink->OnTransmitterEmpty();
          break;
        case Action::kTake: {
          std::vector<std::uint8_t> buffer(a.value);
          const std::size_t n = a.sink->TakeTransmit(buffer.data(), buffer.size());
          std::lock_guard lock(mutex_);
          Taken(a.end, buffer.data(), n, a.txReadyCount, Clock::now());
          break;
        }
      }
    }
  }
}

void Cable::Collect(Clock::time_point now, std::vector<Action>& out) {
  for (std::size_t i = 0; i < ends_.size(); ++i) {
    EndState& e = ends_[i];
    if (e.ringing && now >= e.ringUntil) e.ringing = false;
    if (!e.sink) continue;
    if (!e.present) {
      e.incoming.clear();
      if (!e.vanishReported) out.push_back({Action::kVanish, i, e.sink});
      e.vanishReported = true;
      continue;
    }
    const DWORD modem = ModemStatus(i);
    if (modem != e.reportedModem) out.push_back({Action::kModem, i, e.sink, {}, modem});
    e.reportedModem = modem;
    const bool peerBreak = ends_[Peer(i)].brk && ends_[Peer(i)].open;
    if (peerBreak && !e.breakReported)
      out.push_back({Action::kReceiveError, i, e.sink, {0}, CE_BREAK});
    e.breakReported = peerBreak;
    CollectArrivals(i, now, out);
    CollectTransmit(i, now, out);
  }
}

void Cable::CollectArrivals(std::size_t i, Clock::time_point now, std::vector<Action>& out) {
  EndState& e = ends_[i];
  std::vector<std::uint8_t> clean;
  auto flush = [&] {
    if (!clean.empty()) out.push_back({Action::kReceive, i, e.sink, std::move(clean)});
    clean.clear();
  };
  while (!e.incoming.empty() && e.incoming.front().arrival <= now) {
    const WireChar c = e.incoming.front();
    e.incoming.pop_front();
    // With XON/XOFF output control the flow characters act here and are not passed on.
    if ((e.dcb.Flags & DCB_fOutX) && c.error == 0 &&
        (c.byte == static_cast<std::uint8_t>(e.dcb.XoffChar) ||
         c.byte == static_cast<std::uint8_t>(e.dcb.XonChar))) {
      e.xoffReceived = c.byte == static_cast<std::uint8_t>(e.dcb.XoffChar);
      continue;
    }
    if (c.error == 0) {
      clean.push_back(c.byte);
    } else {
      flush();
      out.push_back({Action::kReceiveError, i, e.sink, {c.byte}, c.error});
    }
  }
  flush();
}

void Cable::CollectTransmit(std::size_t i, Clock::time_point now, std::vector<Action>& out) {
  EndState& e = ends_[i];
  if (e.txFreeAt < now) e.txFreeAt = now;
  const auto charTime = CharTime(e.dcb);
  if (e.flowChar && !e.brk && !e.stalled) {
    const DCB& rx = ends_[Peer(i)].dcb;
    const Received r = SampleCharacter(*e.flowChar, e.dcb, rx);
    const auto arrival = instant_ ? now : e.txFreeAt + charTime;
    ends_[Peer(i)].incoming.push_back({r.byte, r.error, arrival});
    if (!instant_) e.txFreeAt += charTime;
    e.flowChar.reset();
    collectAgain_ = true;  // the peer may act on it in this very pump
    cv_.notify_all();
  }
  if (e.txReady && CanSend(i)) {
    const DWORD outFlow = DCB_fOutxCtsFlow | DCB_fOutxDsrFlow | DCB_fOutX;
    std::size_t count = (e.dcb.Flags & outFlow) ? kFifoSize : kMaxTakeAtOnce;
    if (!instant_) {
      if (e.txFreeAt > now + kLookahead) return;
      const auto room = now + 2 * kLookahead - e.txFreeAt;
      count = std::clamp<std::size_t>(static_cast<std::size_t>(room / charTime), 1, kMaxTakeAtOnce);
    }
    out.push_back({Action::kTake, i, e.sink, {}, static_cast<DWORD>(count), e.txReadyCount});
    return;
  }
  if (!e.txReady && !e.txEmptyReported && (instant_ || e.txFreeAt <= now)) {
    out.push_back({Action::kTxEmpty, i, e.sink});
    e.txEmptyReported = true;
  }
}

void Cable::Taken(std::size_t i, const std::uint8_t* bytes, std::size_t n, std::uint64_t readyCount,
                  Clock::time_point now) {
  EndState& e = ends_[i];
  if (n == 0) {
    // A write queued after the driver said "nothing" (its TransmitReady found this
    // pump busy and left the pull to it) must not be forgotten.
    if (e.txReadyCount == readyCount) e.txReady = false;
    return;
  }
  if (!e.open || !e.present) return;  // closed meanwhile: the bytes are lost
  EndState& rx = ends_[Peer(i)];
  const auto charTime = CharTime(e.dcb);
  if (e.txFreeAt < now) e.txFreeAt = now;
  e.txEmptyReported = false;
  for (std::size_t k = 0; k < n; ++k) {
    Received r = SampleCharacter(bytes[k], e.dcb, rx.dcb);
    if (e.corruptCount > 0) {
      --e.corruptCount;
      r.error |= e.corruptError;
    }
    if (!instant_) e.txFreeAt += charTime;
    if (rx.open && rx.present)
      rx.incoming.push_back({r.byte, r.error, instant_ ? now : e.txFreeAt});
  }
  cv_.notify_all();
}

std::optional<Clock::time_point> Cable::NextWake(Clock::time_point now) const {
  std::optional<Clock::time_point> next;
  auto consider = [&next](Clock::time_point t) {
    if (!next || t < *next) next = t;
  };
  for (std::size_t i = 0; i < ends_.size(); ++i) {
    const EndState& e = ends_[i];
    if (e.ringing) consider(e.ringUntil);
    if (!e.sink) continue;
    if (!e.incoming.empty()) consider(e.incoming.front().arrival);
    if (e.txReady && CanSend(i)) consider(e.txFreeAt - kLookahead);
    if (!e.txReady && !e.txEmptyReported) consider(e.txFreeAt);
  }
  if (next && *next > now) next = std::max(*next, now + kGranule);
  return next;
}

// Both run under lifeMutex_.
void Cable::StartPacer() {
  if (pacer_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    pacerStop_ = false;
  }
  pacer_ = std::thread([this] {
    NameCurrentThread("veltra-vcable");
    PacerLoop();
  });
}

void Cable::StopPacer() {
  if (!pacer_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    pacerStop_ = true;
    cv_.notify_all();
  }
  pacer_.join();
}

void Cable::PacerLoop() {
  std::unique_lock lock(mutex_);
  while (!pacerStop_) {
    const auto now = Clock::now();
    const auto next = NextWake(now);
    if (pumpWanted_ || (next && *next <= now)) {
      lock.unlock();
      Pump();
      lock.lock();
      continue;
    }
    if (next)
      cv_.wait_until(lock, *next);
    else
      cv_.wait(lock);
  }
}

// --- public objects -----------------------------------------------------------------

class VirtualEnd {
 public:
  VirtualEnd(std::shared_ptr<Cable> cable, std::size_t index)
      : cable(std::move(cable)), index(index) {}
  std::shared_ptr<Cable> cable;
  std::size_t index;
  std::string description;  // guarded by the registry's mutex
  bool builtIn = false;     // stays for the life of the process
  // The device behind the cable's other end, attached while this end is open.
  std::shared_ptr<VirtualDevice> device;
};

namespace {

struct Registry {
  std::mutex mutex;
  std::vector<std::shared_ptr<VirtualEnd>> ends;  // the loopback first
};

void AddBuiltIn(Registry& r, const std::shared_ptr<Cable>& cable, std::size_t index,
                std::string description, std::shared_ptr<VirtualDevice> device = nullptr) {
  r.ends.push_back(std::make_shared<VirtualEnd>(cable, index));
  r.ends.back()->description = std::move(description);
  r.ends.back()->builtIn = true;
  r.ends.back()->device = std::move(device);
}

Registry& Ports() {
  static Registry* registry = [] {
    auto* r = new Registry;  // outlives static destructors, like the handle table
    AddBuiltIn(*r, std::make_shared<Cable>(std::vector<std::string>{kLoopbackPortName}, false), 0,
               "built-in loopback: TxD to RxD, RTS to CTS, DTR to DSR and DCD");
    auto pair =
        std::make_shared<Cable>(std::vector<std::string>{kNullModemPortA, kNullModemPortB}, false);
    AddBuiltIn(*r, pair, 0, std::string("virtual null-modem cable to ") + kNullModemPortB);
    AddBuiltIn(*r, pair, 1, std::string("virtual null-modem cable to ") + kNullModemPortA);
    // A device's own end has no name of its own in the list: only the device opens it.
    for (BuiltInDevice& d : MakeSimulatedDevices()) {
      auto cable =
          std::make_shared<Cable>(std::vector<std::string>{d.name, d.name + " device"}, false);
      AddBuiltIn(*r, cable, 0, std::move(d.description), std::move(d.device));
    }
    return r;
  }();
  return *registry;
}

std::shared_ptr<VirtualEnd> FindEnd(Registry& r, const std::string& name) {
  const std::string key = Upper(name);
  for (auto& e : r.ends)
    if (Upper(e->cable->Name(e->index)) == key) return e;
  return nullptr;
}

class VirtualUart final : public Uart {
 public:
  VirtualUart(std::shared_ptr<Cable> cable, std::size_t index,
              std::shared_ptr<VirtualDevice> device = nullptr)
      : cable_(std::move(cable)), i_(index), device_(std::move(device)) {}
  ~VirtualUart() override { Stop(); }
  void Start(UartSink& sink) override { cable_->Start(i_, sink); }
  void Stop() override {
    if (released_) return;
    released_ = true;
    cable_->Release(i_);
    if (device_) device_->Detach();
  }
  DWORD Configure(const DCB& dcb) override {
    cable_->Change(
        [&](EndState& e) {
          e.dcb = dcb;
          if (!(dcb.Flags & DCB_fOutX)) e.xoffReceived = false;
          if (!(dcb.Flags & DCB_fInX)) e.xoffSent = false;
        },
        i_);
    return ERROR_SUCCESS;
  }
  DWORD SetRts(bool on) override { return Set(&EndState::rts, on); }
  DWORD SetDtr(bool on) override { return Set(&EndState::dtr, on); }
  DWORD SetBreak(bool on) override { return Set(&EndState::brk, on); }
  DWORD SetTransmitHeld(bool held) override { return Set(&EndState::xoffReceived, held); }
  DWORD GetModemStatus(DWORD* modemStatus) override {
    *modemStatus = cable_->Read([this](EndState&, std::size_t i) { return Status(i); }, i_);
    return ERROR_SUCCESS;
  }
  void TransmitReady() override {
    cable_->Change(
        [](EndState& e) {
          e.txReady = true;
          ++e.txReadyCount;
        },
        i_);
  }
  DWORD OutputPending() override { return Query(&Cable::OutputPending); }
  DWORD HoldFlags() override { return Query(&Cable::HoldFlags); }
  // The driver's service thread calls this holding a lock that a sink call of this
  // cable may be waiting for, and a pump would call the driver back on this thread.
  void PauseReceive(bool paused) override {
    cable_->ChangeWithoutWaiting(
        [paused](EndState& e) {
          e.rxPaused = paused;
          if (e.dcb.Flags & DCB_fInX) {
            e.flowChar = static_cast<std::uint8_t>(paused ? e.dcb.XoffChar : e.dcb.XonChar);
            e.xoffSent = paused;
          }
        },
        i_);
  }
  void PurgeTransmit() override { cable_->PurgeTransmit(i_); }
  bool AcceptsCallsFromSink() const override { return true; }
  void PurgeReceive() override {
    cable_->Change(
        [](EndState& e) {
          const auto now = Clock::now();
          while (!e.incoming.empty() && e.incoming.front().arrival <= now) e.incoming.pop_front();
        },
        i_);
  }

 private:
  DWORD Status(std::size_t i) const { return cable_->ModemStatus(i); }
  DWORD Set(bool EndState::*line, bool on) {
    cable_->Change([&](EndState& e) { e.*line = on; }, i_);
    return ERROR_SUCCESS;
  }
  DWORD Query(DWORD (Cable::*query)(std::size_t) const) {
    return cable_->Read([&](EndState&, std::size_t i) { return (cable_.get()->*query)(i); }, i_);
  }

  std::shared_ptr<Cable> cable_;
  std::size_t i_;
  std::shared_ptr<VirtualDevice> device_;
  bool released_ = false;
};

}  // namespace

bool IsVirtualPortName(const std::string& name) {
  auto& r = Ports();
  std::lock_guard lock(r.mutex);
  return FindEnd(r, name) != nullptr;
}

bool VirtualPortPresent(const std::string& name) {
  std::shared_ptr<VirtualEnd> end;
  {
    auto& r = Ports();
    std::lock_guard lock(r.mutex);
    end = FindEnd(r, name);
  }
  return end && end->cable->Read([](EndState& e, std::size_t) { return e.present; }, end->index);
}

std::unique_ptr<Uart> OpenVirtualUart(const std::string& name, DWORD* error) {
  std::shared_ptr<VirtualEnd> end;
  {
    auto& r = Ports();
    std::lock_guard lock(r.mutex);
    end = FindEnd(r, name);
  }
  if (!end) {
    *error = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  *error = end->cable->Open(end->index);
  if (*error != ERROR_SUCCESS) return nullptr;
  if (end->device) {
    // The device's end opens with the host's: the device is on while its port is open.
    const std::size_t far = 1 - end->index;
    if (end->cable->Open(far) == ERROR_SUCCESS)
      end->device->Attach(std::make_unique<VirtualUart>(end->cable, far));
  }
  return std::make_unique<VirtualUart>(end->cable, end->index, end->device);
}

bool CreateVirtualPair(const std::string& a, const std::string& b, VirtualPairOptions options) {
  if (a.empty() || b.empty() || Upper(a) == Upper(b)) return false;
  auto& r = Ports();
  std::lock_guard lock(r.mutex);
  if (FindEnd(r, a) || FindEnd(r, b)) return false;
  auto cable = std::make_shared<Cable>(std::vector<std::string>{a, b}, options.instant);
  r.ends.push_back(std::make_shared<VirtualEnd>(cable, 0));
  r.ends.push_back(std::make_shared<VirtualEnd>(cable, 1));
  return true;
}

void RemoveVirtualPair(const std::string& a) {
  std::shared_ptr<Cable> cable;
  {
    auto& r = Ports();
    std::lock_guard lock(r.mutex);
    const auto end = FindEnd(r, a);
    if (!end || end->builtIn) return;
    cable = end->cable;
    std::erase_if(r.ends, [&](const auto& e) { return e->cable == cable; });
  }
  cable->Unplug(0);
  cable->Unplug(1);
}

std::unique_ptr<VirtualEndControl> ControlVirtualEnd(const std::string& name) {
  auto& r = Ports();
  std::lock_guard lock(r.mutex);
  auto end = FindEnd(r, name);
  return end ? std::make_unique<VirtualEndControl>(std::move(end)) : nullptr;
}

std::vector<std::string> VirtualPortNames() {
  auto& r = Ports();
  std::lock_guard lock(r.mutex);
  std::vector<std::string> names;
  for (const auto& e : r.ends) names.push_back(e->cable->Name(e->index));
  return names;
}

std::vector<std::string> BuiltInPortNames() {
  auto& r = Ports();
  std::lock_guard lock(r.mutex);
  std::vector<std::string> names;
  for (const auto& e : r.ends)
    if (e->builtIn) names.push_back(e->cable->Name(e->index));
  return names;
}

std::string VirtualPortDescription(const std::string& name) {
  auto& r = Ports();
  std::lock_guard lock(r.mutex);
  const auto end = FindEnd(r, name);
  return end ? end->description : std::string();
}

void SetVirtualPortDescription(const std::string& name, const std::string& description) {
  auto& r = Ports();
  std::lock_guard lock(r.mutex);
  if (const auto end = FindEnd(r, name)) end->description = description;
}

// --- VirtualEndControl --------------------------------------------------------------

VirtualEndControl::VirtualEndControl(std::shared_ptr<VirtualEnd> end) : end_(std::move(end)) {}

const std::string& VirtualEndControl::Name() const {
  return end_->cable->Name(end_->index);
}

bool VirtualEndControl::IsOpen() const {
  return end_->cable->IsOpen(end_->index);
}

void VirtualEndControl::CorruptNextBytes(std::size_t count, DWORD lineError) {
  end_->cable->Change(
      [&](EndState& e) {
        e.corruptCount = count;
        e.corruptError = lineError;
      },
      end_->index);
}

void VirtualEndControl::StallTransmit() {
  end_->cable->Change([](EndState& e) { e.stalled = true; }, end_->index);
}

void VirtualEndControl::Unstall() {
  end_->cable->Change([](EndState& e) { e.stalled = false; }, end_->index);
}

void VirtualEndControl::RingPulse(unsigned ms) {
  end_->cable->Change(
      [ms](EndState& e) {
        e.ringing = true;
        e.ringUntil = Clock::now() + std::chrono::milliseconds(ms);
      },
      end_->index);
}

void VirtualEndControl::ForceDcd(bool on) {
  end_->cable->Change([on](EndState& e) { e.forcedDcd = on; }, end_->index);
}

void VirtualEndControl::ClearForcedDcd() {
  end_->cable->Change([](EndState& e) { e.forcedDcd.reset(); }, end_->index);
}

void VirtualEndControl::Unplug() {
  end_->cable->Unplug(end_->index);
}

void VirtualEndControl::Replug() {
  end_->cable->Replug(end_->index);
}

}  // namespace veltra::platform
