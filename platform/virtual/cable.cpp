#include "platform/virtual/cable.h"

#include <algorithm>

#include "platform/core/thread_name.h"
#include "platform/virtual/virtual_line.h"

namespace veltra::platform {

using namespace win;  // NOLINT: Win32 constants read better unqualified here
using Clock = std::chrono::steady_clock;

namespace {

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

Cable::Cable(std::vector<std::string> names, bool instant) : instant_(instant) {
  for (auto& n : names) {
    ends_.emplace_back();
    ends_.back().name = std::move(n);
    ends_.back().dcb = InitialLine();
  }
}

Cable::~Cable() {
  std::lock_guard life(lifeMutex_);
  StopPacer();
}

DWORD Cable::Open(std::size_t i) {
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

void Cable::Release(std::size_t i) {
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
    const SampledCharacter r = SampleCharacter(*e.flowChar, e.dcb, rx);
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
    SampledCharacter r = SampleCharacter(bytes[k], e.dcb, rx.dcb);
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
}  // namespace veltra::platform
