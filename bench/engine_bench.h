// Shared by the engine bench's sections: the owner's event loop, a far-end device on
// a virtual port, a receive figure and its reports.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "automation/port_triggers.h"
#include "bench/bench_support.h"
#include "bench/bench_triggers.h"
#include "engine/owner_calls.h"
#include "engine/serial_port.h"
#include "platform/core/comm_api.h"
#include "platform/core/thread_name.h"
#include "platform/virtual/virtual_ports.h"
#include "session/forward_queue.h"

namespace engine_bench {

using namespace std::chrono_literals;
using veltra::engine::TObject;
using veltra::engine::TOwnerCallQueue;
using veltra::engine::TSerialPort;
namespace win = veltra::win;
using veltra::bench::Checksum;
using veltra::bench::Clock;
using veltra::bench::kStreamBytes;
using veltra::bench::Latency;
using veltra::bench::Pty;
using veltra::bench::ReadStream;
using veltra::bench::Seconds;
using veltra::bench::Stream;
using veltra::bench::StreamChecksum;
using veltra::bench::Summarise;
using veltra::bench::WriteStream;
constexpr veltra::engine::Integer kRtsHandshake = 0x2000;   // input flow control
constexpr veltra::engine::Integer kCtsAndRtsFlow = 0x2004;  // both ways
constexpr veltra::engine::Word kBenchQueueSize = 32768;

// The owner's thread, as an event loop runs it: asleep until a worker queues a
// call (no polling, so idle figures measure the engine, not this loop).
class OwnerLoop {
 public:
  OwnerLoop() {
    calls.OnCallQueued = [this] {
      {
        std::lock_guard lock(mutex_);
        queued_ = true;
      }
      wake_.notify_one();
    };
  }
  void RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!done() && Clock::now() < deadline) {
      {
        std::unique_lock lock(mutex_);
        wake_.wait_until(lock, std::min(deadline, Clock::now() + 50ms), [this] { return queued_; });
        queued_ = false;
      }
      calls.ServePending();
    }
  }
  void RunFor(std::chrono::milliseconds d) {
    RunUntil([] { return false; }, d);
  }
  TOwnerCallQueue calls;

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool queued_ = false;
};

// A raw handle on the far end of a virtual pair (the device side).
class VirtualDevice {
 public:
  explicit VirtualDevice(const std::string& name, bool ctsFlow) {
    handle_ = win::CreateFileA(("\\\\.\\" + name).c_str(), win::GENERIC_READ | win::GENERIC_WRITE,
                               0, nullptr, win::OPEN_EXISTING, 0, 0);
    win::DCB dcb;
    win::GetCommState(handle_, &dcb);
    dcb.BaudRate = 115200;  // the components' setting: a mismatch would garble bytes
    if (ctsFlow) dcb.Flags |= win::DCB_fOutxCtsFlow;
    win::SetCommState(handle_, &dcb);
    win::SetupComm(handle_, kBenchQueueSize, kBenchQueueSize);
  }
  ~VirtualDevice() { win::CloseHandle(handle_); }
  VirtualDevice(const VirtualDevice&) = delete;
  VirtualDevice& operator=(const VirtualDevice&) = delete;
  void Write(const std::uint8_t* p, std::size_t n) {
    win::DWORD written = 0;
    win::WriteFile(handle_, p, static_cast<win::DWORD>(n), &written, nullptr);
  }

 private:
  win::HANDLE handle_ = win::INVALID_HANDLE_VALUE;
};

inline void ConfigureForThroughput(TSerialPort& port) {
  port.SetRxQueueSize(kBenchQueueSize);
  port.SetTxQueueSize(kBenchQueueSize);
  port.SetBaudRate(115200);
}

struct Figure {
  double mbps = 0;
  std::size_t bytes = 0;
  std::size_t clusters = 0;
  std::size_t errorClusters = 0;   // clusters with line-error flags (CE_RXOVER: bytes dropped)
  std::size_t reports = 0;         // error reports the component raised meanwhile
  std::set<std::string> reported;  // their "code/place", to tell noise from trouble
  bool intact = false;
  std::size_t triggerEvents = 0;  // what the receive triggers set off
  double triggerSeconds = 0;      // owner-thread time spent in them
  double seconds = 0;
};

inline void CountReports(TSerialPort& port, Figure& f) {
  port.OnProcessError = [&f](TObject*, veltra::engine::Cardinal place,
                             veltra::engine::Cardinal code, const std::string&,
                             veltra::engine::Byte) {
    ++f.reports;
    f.reported.insert(std::to_string(code) + "/" + std::to_string(place));
  };
}

void PrintLatency(int rounds);
void PrintSpyLatency(int rounds);

}  // namespace engine_bench
