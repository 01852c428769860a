// Helpers for the worker and transfer tests: a component on one end of a virtual
// cable, the far device driven through the Win32 calls, and logs of the events
// and reports the component raised on this (the owner's) thread.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "engine/owner_calls.h"
#include "engine/serial_port.h"
#include "engine/work_thread.h"
#include "platform/core/comm_api.h"
#include "platform/virtual/virtual_ports.h"
#include "port_test_support.h"

namespace veltra::engine::workertest {

using namespace std::chrono_literals;
using test::Cable;
using test::Pty;
using test::Report;
using Clock = std::chrono::steady_clock;
using EventSlot = TNotifyEvent TSerialPort::*;

inline double MsSince(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// The device at the other end of the cable, driven through blocking Win32 calls.
class FarEnd {
 public:
  explicit FarEnd(const std::string& name) {
    handle_ = win::CreateFileA(("\\\\.\\" + name).c_str(), win::GENERIC_READ | win::GENERIC_WRITE,
                               0, nullptr, win::OPEN_EXISTING, 0, 0);
    win::COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = win::MAXDWORD;  // reads return what is there
    win::SetCommTimeouts(handle_, &timeouts);
  }
  ~FarEnd() { win::CloseHandle(handle_); }
  FarEnd(const FarEnd&) = delete;
  FarEnd& operator=(const FarEnd&) = delete;

  bool IsOpen() const { return handle_ != win::INVALID_HANDLE_VALUE; }
  win::HANDLE Handle() const { return handle_; }
  void Write(const std::string& bytes) {
    win::DWORD written = 0;
    win::WriteFile(handle_, bytes.data(), static_cast<win::DWORD>(bytes.size()), &written, nullptr);
  }
  std::string ReadAvailable() {
    std::string out(65536, '\0');
    win::DWORD got = 0;
    win::ReadFile(handle_, out.data(), static_cast<win::DWORD>(out.size()), &got, nullptr);
    out.resize(got);
    return out;
  }
  // Our RTS is the component's CTS.
  void SetRts(bool on) { win::EscapeCommFunction(handle_, on ? win::SETRTS : win::CLRRTS); }

 private:
  win::HANDLE handle_ = win::INVALID_HANDLE_VALUE;
};

// What the component raised, in order, as "name" entries; reports as "report".
struct Recorder {
  std::vector<std::string> events;
  std::vector<Report> reports;
  std::vector<Cardinal> commEventMasks;  // CommEvent as seen by OnCommEvent

  void Hook(TSerialPort& port, EventSlot slot, const std::string& name) {
    port.*slot = [this, name](TObject*) { events.push_back(name); };
  }
  void HookReports(TSerialPort& port) {
    port.OnProcessError = [this](TObject*, Cardinal place, Cardinal code, const std::string& msg,
                                 Byte noise) {
      reports.push_back({place, code, msg, noise});
      events.push_back("report " + std::to_string(place));
    };
  }
  void HookCommEvent(TSerialPort& port) {
    port.OnCommEvent = [this, &port](TObject*) {
      commEventMasks.push_back(port.CommEvent());
      events.push_back("CommEvent");
    };
  }
  int Count(const std::string& name) const {
    return static_cast<int>(std::count(events.begin(), events.end(), name));
  }
  int ReportsAt(Cardinal place) const {
    return static_cast<int>(std::count_if(reports.begin(), reports.end(),
                                          [place](const Report& r) { return r.place == place; }));
  }
  const Report* FindReport(Cardinal place) const {
    for (const Report& r : reports) {
      if (r.place == place) return &r;
    }
    return nullptr;
  }
};

// A component on the near end of a cable, pumped from the test's thread.
struct Rig {
  TOwnerCallQueue calls;
  Cable cable;
  Recorder log;  // before the port: its handlers point here
  std::atomic<int> queuedCalls{0};  // calls the worker made to this thread
  std::unique_ptr<TSerialPort> port;

  explicit Rig(bool instant = true) : cable(instant) {
    calls.OnCallQueued = [this] { ++queuedCalls; };  // before the worker starts
    port = std::make_unique<TSerialPort>(calls);
    port->SetCommPort(cable.near);
  }

  // Opens the port and waits until the worker serves it.
  bool Open() {
    port->SetActive(true);
    return port->Active() && Pump([&] { return port->ThreadBusy(); }, 1000ms);
  }
  bool Pump(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    return calls.PumpUntil(pred, timeout);
  }
  void PumpFor(std::chrono::milliseconds d) { calls.PumpFor(d); }
  // Takes every queued cluster.
  std::vector<std::string> TakeAll() {
    std::vector<std::string> clusters;
    while (port->FirstClusterSize() >= 0) {
      std::string s;
      port->TakeFirstCluster(s);
      clusters.push_back(s);
    }
    return clusters;
  }
};

}  // namespace veltra::engine::workertest
