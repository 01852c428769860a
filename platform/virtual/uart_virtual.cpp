// The virtual lower half: ports joined by an in-process null-modem cable (cable.h),
// the registry of their names (the built-in ports, the simulated devices, pairs
// made at run time), and the control of a cable end from the far side in tests.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/driver/uart.h"
#include "platform/virtual/cable.h"
#include "platform/virtual/simulated_devices.h"
#include "platform/virtual/virtual_device.h"
#include "platform/virtual/virtual_ports.h"

namespace veltra::platform {

using namespace win;  // NOLINT: Win32 constants read better unqualified here
using Clock = std::chrono::steady_clock;

namespace {

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

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
