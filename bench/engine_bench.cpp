// Figures of the serial engine: receive throughput into clusters (also with 100
// receive triggers looking through every cluster), a two-port relay
// as spy mode does it (against socat relaying the same ptys), the CPU cost of idle
// ports, the latency from an event character to its cluster, and the latency of
// one byte relayed as spy mode relays it (against socat).
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

namespace {

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
using veltra::bench::Summarise;
using veltra::bench::Stream;
using veltra::bench::StreamChecksum;
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

void ConfigureForThroughput(TSerialPort& port) {
  port.SetRxQueueSize(kBenchQueueSize);
  port.SetTxQueueSize(kBenchQueueSize);
  port.SetBaudRate(115200);
}

struct Figure {
  double mbps = 0;
  std::size_t bytes = 0;
  std::size_t clusters = 0;
  std::size_t errorClusters = 0;  // clusters with line-error flags (CE_RXOVER: bytes dropped)
  std::size_t reports = 0;        // error reports the component raised meanwhile
  std::set<std::string> reported;  // their "code/place", to tell noise from trouble
  bool intact = false;
  std::size_t triggerEvents = 0;  // what the receive triggers set off
  double triggerSeconds = 0;      // owner-thread time spent in them
  double seconds = 0;
};

void CountReports(TSerialPort& port, Figure& f) {
  port.OnProcessError = [&f](TObject*, veltra::engine::Cardinal place,
                             veltra::engine::Cardinal code, const std::string&,
                             veltra::engine::Byte) {
    ++f.reports;
    f.reported.insert(std::to_string(code) + "/" + std::to_string(place));
  };
}

// --- 1. receive throughput ----------------------------------------------------------

// Takes every cluster on the owner's thread into a checksum, and through the
// receive triggers when there are some, as a session hands its blocks to them.
void CountClusters(TSerialPort& port, Checksum& sum, Figure& f,
                   veltra::automation::TPortTriggers* triggers = nullptr) {
  port.OnRxClusterEvent = [&port, &sum, &f, triggers](TObject*) {
    if (port.FirstClusterErrors() > 0) ++f.errorClusters;
    std::string bytes;
    port.TakeFirstCluster(bytes);
    if (triggers != nullptr) {
      std::vector<veltra::automation::TTriggerEvent> events;
      const auto start = Clock::now();
      triggers->Received(bytes, start, events);
      f.triggerSeconds += Seconds(start);
      f.triggerEvents += events.size();
    }
    sum.Feed(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    ++f.clusters;
  };
}

// Runs `feed` on its own thread until the whole stream has been taken on the owner's
// thread (or nothing more came for 3 s after the feed ended, or two minutes passed),
// then closes the port; the rate goes into f.
void TimeReceive(OwnerLoop& loop, TSerialPort& port, const Checksum& got, Figure& f,
                 const std::function<void(const std::atomic<bool>& stop)>& feed) {
  std::atomic<bool> stop{false};
  std::atomic<bool> fed{false};
  const auto start = Clock::now();
  std::thread writer([&] {
    feed(stop);
    fed = true;
  });
  std::size_t seen = 0;
  auto grew = Clock::now();
  loop.RunUntil(
      [&] {
        if (got.bytes != seen) seen = got.bytes, grew = Clock::now();
        return got.bytes >= kStreamBytes || (fed && Seconds(grew) > 3);
      },
      120s);
  const double s = Seconds(start);
  stop = true;
  writer.join();
  port.SetActive(false);
  f.bytes = got.bytes;
  f.seconds = s;
  f.mbps = got.bytes / s / 1e6;
}

Figure ReceiveOverPty(const Stream& stream, const Checksum& expected,
                      veltra::automation::TPortTriggers* triggers = nullptr) {
  Pty pty;
  OwnerLoop loop;
  TSerialPort port(loop.calls);
  Checksum got;
  Figure f;
  CountClusters(port, got, f, triggers);
  CountReports(port, f);
  ConfigureForThroughput(port);
  port.SetFlowControl(kRtsHandshake);
  port.SetCommPort(pty.slave);
  port.SetActive(true);
  TimeReceive(loop, port, got, f, [&](const std::atomic<bool>& stop) {
    WriteStream(pty.master, stream, kStreamBytes, stop);
  });
  f.intact = got.bytes == expected.bytes && got.value == expected.value;
  return f;
}

Figure ReceiveOverVirtualPair(const Stream& stream, const Checksum& expected,
                              veltra::automation::TPortTriggers* triggers = nullptr) {
  veltra::platform::CreateVirtualPair("BENCHRXA", "BENCHRXB", {.instant = true});
  OwnerLoop loop;
  Figure f;
  Checksum got;
  {
    TSerialPort port(loop.calls);
    CountClusters(port, got, f, triggers);
    CountReports(port, f);
    ConfigureForThroughput(port);
    port.SetFlowControl(kCtsAndRtsFlow);
    port.SetCommPort("BENCHRXA");
    port.SetActive(true);
    VirtualDevice device("BENCHRXB", /*ctsFlow=*/true);
    TimeReceive(loop, port, got, f, [&](const std::atomic<bool>& stop) {
      std::vector<std::uint8_t> chunk(4096);
      for (std::size_t at = 0; at < kStreamBytes && !stop; at += chunk.size()) {
        stream.Fill(at, chunk.data(), chunk.size());
        device.Write(chunk.data(), chunk.size());
      }
    });
  }
  veltra::platform::RemoveVirtualPair("BENCHRXA");
  f.intact = got.bytes == expected.bytes && got.value == expected.value;
  return f;
}

// --- 2. relay ------------------------------------------------------------------------

// Every cluster received on `from` is sent on by `to`; blocks that come while a
// write is in flight wait in a backlog and go out with the next OnWriteDone.
class Relay {
 public:
  Relay(TSerialPort& from, TSerialPort& to) : from_(from), to_(to) {
    from_.OnRxClusterEvent = [this](TObject*) {
      std::string bytes;
      from_.TakeFirstCluster(bytes);
      backlog_ += bytes;
      ++clusters;
      SendBacklog();
    };
    to_.OnWriteDone = [this](TObject*) { SendBacklog(); };
    // A write that ended short ("Error write TimeOut") would have lost bytes.
    to_.OnProcessError = [this](TObject*, veltra::engine::Cardinal place, veltra::engine::Cardinal,
                                const std::string&, veltra::engine::Byte) {
      if (place == 9701) ++shortWrites;
    };
  }
  std::size_t clusters = 0;
  std::size_t shortWrites = 0;

 private:
  void SendBacklog() {
    if (backlog_.empty() || to_.SendInProgress() || sending_) return;
    // A write finishing at once raises OnWriteDone inside SendString.
    sending_ = true;
    std::string out;
    out.swap(backlog_);
    to_.SendString(out);
    sending_ = false;
    if (!to_.SendInProgress()) SendBacklog();
  }
  TSerialPort& from_;
  TSerialPort& to_;
  std::string backlog_;
  bool sending_ = false;
};

struct RelayFigure {
  Figure figure;
  std::size_t shortWrites = 0;
};

RelayFigure RelayThroughComponents(const Stream& stream, const Checksum& expected) {
  Pty in, out;
  OwnerLoop loop;
  TSerialPort a(loop.calls), b(loop.calls);
  Relay relay(a, b);
  for (TSerialPort* port : {&a, &b}) {
    ConfigureForThroughput(*port);
    port->SetFlowControl(kRtsHandshake);
  }
  a.SetCommPort(in.slave);
  b.SetCommPort(out.slave);
  b.SetActive(true);
  a.SetActive(true);
  Checksum got;
  std::atomic<std::size_t> progress{0};
  std::atomic<bool> stop{false};
  const auto start = Clock::now();
  std::thread reader([&] { ReadStream(out.master, got, kStreamBytes, stop, progress); });
  std::thread writer([&] { WriteStream(in.master, stream, kStreamBytes, stop); });
  loop.RunUntil([&] { return progress >= kStreamBytes; }, 120s);
  const double s = Seconds(start);
  stop = true;
  writer.join();
  reader.join();
  a.SetActive(false);
  b.SetActive(false);
  RelayFigure r;
  r.figure.bytes = got.bytes;
  r.figure.clusters = relay.clusters;
  r.figure.mbps = got.bytes / s / 1e6;
  r.figure.intact = got.bytes == expected.bytes && got.value == expected.value;
  r.shortWrites = relay.shortWrites;
  return r;
}

Figure RelayThroughSocat(const Stream& stream, const Checksum& expected) {
  Pty in, out;
  Figure f;
  // Raw both ways, so socat sees the same byte stream the components see.
  const std::string left = in.slave + ",rawer";
  const std::string right = out.slave + ",rawer";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execlp("socat", "socat", "-u", "-b65536", left.c_str(), right.c_str(),
             static_cast<char*>(nullptr));
    ::_exit(127);
  }
  std::this_thread::sleep_for(300ms);  // socat has opened and configured both ends
  Checksum got;
  std::atomic<std::size_t> progress{0};
  std::atomic<bool> stop{false};
  const auto start = Clock::now();
  std::thread reader([&] { ReadStream(out.master, got, kStreamBytes, stop, progress); });
  std::thread writer([&] { WriteStream(in.master, stream, kStreamBytes, stop); });
  const auto deadline = start + 120s;
  bool reaped = false;
  while (progress < kStreamBytes && Clock::now() < deadline && !reaped) {
    reaped = ::waitpid(pid, nullptr, WNOHANG) == pid;  // socat failed
    std::this_thread::sleep_for(2ms);
  }
  const double s = Seconds(start);
  stop = true;
  writer.join();
  reader.join();
  if (!reaped) {
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
  }
  f.bytes = got.bytes;
  f.seconds = s;
  f.mbps = got.bytes / s / 1e6;
  f.intact = got.bytes == expected.bytes && got.value == expected.value;
  return f;
}

// --- 3. idle cost ---------------------------------------------------------------------

double CpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto s = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return s(usage.ru_utime) + s(usage.ru_stime);
}

// CPU seconds per minute of the whole process while the loop runs for `span`.
double CpuPerMinute(OwnerLoop& loop, std::chrono::seconds span) {
  const double before = CpuSeconds();
  loop.RunFor(span);
  return (CpuSeconds() - before) * 60.0 / static_cast<double>(span.count());
}

struct IdleFigures {
  double closed = 0;
  double openPty = 0;
  double openVirtual = 0;
};

IdleFigures IdleCost(std::chrono::seconds span) {
  IdleFigures f;
  OwnerLoop loop;
  {
    TSerialPort a(loop.calls), b(loop.calls);
    loop.RunFor(300ms);
    f.closed = CpuPerMinute(loop, span);
  }
  {
    Pty p1, p2;
    TSerialPort a(loop.calls), b(loop.calls);
    a.SetCommPort(p1.slave);
    b.SetCommPort(p2.slave);
    a.SetActive(true);
    b.SetActive(true);
    loop.RunFor(300ms);
    f.openPty = CpuPerMinute(loop, span);
    a.SetActive(false);
    b.SetActive(false);
  }
  veltra::platform::CreateVirtualPair("BENCHIDLEA", "BENCHIDLEB", {});
  {
    TSerialPort a(loop.calls), b(loop.calls);
    a.SetCommPort("BENCHIDLEA");
    b.SetCommPort("BENCHIDLEB");
    a.SetActive(true);
    b.SetActive(true);
    loop.RunFor(300ms);
    f.openVirtual = CpuPerMinute(loop, span);
    a.SetActive(false);
    b.SetActive(false);
  }
  veltra::platform::RemoveVirtualPair("BENCHIDLEA");
  return f;
}

// --- 4. latency -------------------------------------------------------------------------

// `send` puts one event character on the line; the window's handler sets
// ReadRequest, and the time to OnRxClusterEvent is measured.
Latency EventCharLatency(TSerialPort& port, OwnerLoop& loop, const std::function<void()>& send,
                         int rounds) {
  std::vector<double> samples;
  Clock::time_point sentAt;
  bool arrived = false;
  port.OnRxEventCharEvent = [&port](TObject*) { port.SetReadRequest(true); };
  port.OnRxClusterEvent = [&](TObject*) {
    std::string bytes;
    port.TakeFirstCluster(bytes);
    if (!arrived) samples.push_back(Seconds(sentAt) * 1000);
    arrived = true;
  };
  port.SetEventChar('\r');
  port.SetActive(true);
  loop.RunFor(300ms);
  for (int i = 0; i < rounds; ++i) {
    arrived = false;
    sentAt = Clock::now();
    send();
    loop.RunUntil([&] { return arrived; }, 2000ms);
    loop.RunFor(std::chrono::milliseconds(5 + i % 7));  // vary the phase against the cycle
  }
  port.SetActive(false);
  return Summarise(samples);
}

Latency LatencyOverVirtualPair(int rounds) {
  veltra::platform::CreateVirtualPair("BENCHLATA", "BENCHLATB", {.instant = true});
  OwnerLoop loop;
  Latency l;
  {
    TSerialPort port(loop.calls);
    port.SetBaudRate(115200);
    port.SetCommPort("BENCHLATA");
    VirtualDevice device("BENCHLATB", false);
    const std::uint8_t cr = '\r';
    l = EventCharLatency(
        port, loop, [&] { device.Write(&cr, 1); }, rounds);
  }
  veltra::platform::RemoveVirtualPair("BENCHLATA");
  return l;
}

Latency LatencyOverPty(int rounds) {
  Pty pty;
  OwnerLoop loop;
  TSerialPort port(loop.calls);
  port.SetCommPort(pty.slave);
  return EventCharLatency(
      port, loop, [&] { [[maybe_unused]] auto n = ::write(pty.master, "\r", 1); }, rounds);
}

// --- 5. spy relay latency ----------------------------------------------------------------

// Spy mode's forwarding as the window does it: each block received on `from` goes to
// `to` through the forwarding queue, so a block that comes while `to` still writes the
// previous one waits for that write's completion instead of being refused and lost.
class SpyForward {
 public:
  SpyForward(TSerialPort& from, TSerialPort& to)
      : queue_([&to] { return to.SendInProgress(); },
               [&to](const std::string& block) { to.SendString(block); }) {
    from.OnRxClusterEvent = [this, &from, &to](TObject*) {
      if (from.FirstClusterSize() < 0) return;
      std::string bytes;
      from.TakeFirstCluster(bytes);
      if (to.SendInProgress()) ++waited;
      queue_.Push(std::move(bytes));
    };
    to.OnWriteDone = [this](TObject*) { queue_.WriteDone(); };
    to.OnProcessError = [this](TObject*, veltra::engine::Cardinal place,
                               veltra::engine::Cardinal code, const std::string&,
                               veltra::engine::Byte) {
      if (place == kWriteRefused) ++refused;
      if (place == kWriteFailed) queue_.WriteFailed();
      if (measuring) reports.push_back(std::to_string(code) + "/" + std::to_string(place));
    };
  }
  bool measuring = false;          // the open's own messages are not counted
  int waited = 0;                  // blocks that came while the previous write was in flight
  int refused = 0;                 // sends the port turned down: each one a lost block
  std::vector<std::string> reports;  // code/place while measuring

 private:
  static constexpr veltra::engine::Cardinal kWriteRefused = 901;
  static constexpr veltra::engine::Cardinal kWriteFailed = 903;
  veltra::session::TForwardQueue queue_;
};

struct SpyLatency {
  Latency latency;
  int waited = 0, refused = 0;
  std::vector<std::string> reports;
};

// Milliseconds from one byte written into `in` until it can be read from `out`,
// once per round.
std::vector<double> OneByteLatencies(int in, int out, int rounds) {
  veltra::platform::NameCurrentThread("bench-device");
  std::vector<double> ms;
  char buffer[256];
  for (int i = 0; i < rounds; ++i) {
    const auto sentAt = Clock::now();
    if (::write(in, "x", 1) != 1) break;
    pollfd p{out, POLLIN, 0};
    if (::poll(&p, 1, 5000) != 1) break;
    ms.push_back(Seconds(sentAt) * 1000);
    while (::read(out, buffer, sizeof buffer) > 0) {
    }
    // The next byte 0 to 2.7 ms later, as a device's next burst may come: some
    // arrive within the millisecond of the previous cut.
    std::this_thread::sleep_for(std::chrono::microseconds(300 * (i % 10)));
  }
  return ms;
}

SpyLatency SpyLatencyThroughComponents(veltra::engine::Word extraDelayMs, int rounds) {
  Pty in, out;
  OwnerLoop loop;
  TSerialPort a(loop.calls), b(loop.calls);
  SpyForward toB(a, b), toA(b, a);
  for (TSerialPort* port : {&a, &b}) {
    port->SetBaudRate(115200);
    port->SetRTOExtraDelayTime(extraDelayMs);
  }
  a.SetCommPort(in.slave);
  b.SetCommPort(out.slave);
  a.SetActive(true);
  b.SetActive(true);
  loop.RunFor(300ms);
  toB.measuring = toA.measuring = true;
  std::vector<double> ms;
  std::atomic<bool> done{false};
  std::thread device([&] {
    ms = OneByteLatencies(in.master, out.master, rounds);
    done = true;
  });
  loop.RunUntil([&] { return done.load(); }, 600s);
  device.join();
  toB.measuring = toA.measuring = false;
  a.SetActive(false);
  b.SetActive(false);
  SpyLatency s{Summarise(ms), toB.waited + toA.waited, toB.refused + toA.refused, toB.reports};
  s.reports.insert(s.reports.end(), toA.reports.begin(), toA.reports.end());
  return s;
}

Latency SpyLatencyThroughSocat(int rounds) {
  Pty in, out;
  const std::string left = in.slave + ",rawer";
  const std::string right = out.slave + ",rawer";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execlp("socat", "socat", "-u", left.c_str(), right.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  std::this_thread::sleep_for(300ms);  // socat has opened and configured both ends
  const Latency l = Summarise(OneByteLatencies(in.master, out.master, rounds));
  ::kill(pid, SIGTERM);
  ::waitpid(pid, nullptr, 0);
  return l;
}

void PrintSpyRow(const char* what, const SpyLatency& s, int rounds) {
  std::string reported;
  for (const std::string& r : s.reports) reported += " " + r;
  // Fewer samples than rounds: a byte did not come through within 5 s.
  std::printf("%-46s %8.2f ms    median; p99 %.2f ms, max %.2f ms, %d/%d samples, "
              "%d blocks waited for a write, %d sends refused, %zu reports (code/place:%s)\n",
              what, s.latency.median, s.latency.p99, s.latency.max, s.latency.samples, rounds,
              s.waited, s.refused, s.reports.size(), reported.c_str());
}

void PrintSpyLatency(int rounds) {
  PrintSpyRow("5 spy, one byte relayed, default timing",
              SpyLatencyThroughComponents(250, rounds / 5), rounds / 5);
  PrintSpyRow("5 spy, one byte relayed, RTOExtraDelayTime 0", SpyLatencyThroughComponents(0, rounds),
              rounds);
  const Latency l = SpyLatencyThroughSocat(rounds);
  std::printf("%-46s %8.2f ms    median; p99 %.2f ms, max %.2f ms, %d/%d samples\n",
              "5 spy, one byte relayed, socat", l.median, l.p99, l.max, l.samples, rounds);
}

const char* Verdict(bool ok) {
  return ok ? "intact" : "LOST OR CORRUPTED";
}

void PrintReceiveFigure(const char* what, const Figure& f) {
  std::string reported;
  for (const std::string& r : f.reported) reported += " " + r;
  std::printf("%-46s %8.1f MB/s  %zu clusters (%zu with line errors), %zu reports (code/place:%s), "
              "%zu bytes missing, %s\n",
              what, f.mbps, f.clusters, f.errorClusters, f.reports, reported.c_str(),
              kStreamBytes - std::min(kStreamBytes, f.bytes), Verdict(f.intact));
}

void PrintReceive(const Stream& stream, const Checksum& expected, bool pty, bool virtualPair) {
  if (pty) PrintReceiveFigure("1 receive, pty pair -> clusters", ReceiveOverPty(stream, expected));
  if (virtualPair) {
    PrintReceiveFigure("1 receive, instant virtual pair -> clusters",
                       ReceiveOverVirtualPair(stream, expected));
  }
}

// --- 6. receive with triggers ---------------------------------------------------------

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// The pattern set alone over the stream in 4 KiB blocks: what matching costs a byte,
// in the thread's CPU time (the stream made beforehand), so other load does not count.
double MatcherMBps(const Stream& stream, const veltra::automation::TLibrary& lib, std::size_t* found) {
  veltra::automation::TPortTriggers triggers(lib, 1);
  std::vector<std::uint8_t> data(kStreamBytes);
  stream.Fill(0, data.data(), data.size());
  std::vector<veltra::automation::TTriggerEvent> events;
  auto cpu = [] {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
  };
  const double start = cpu();
  for (std::size_t at = 0; at < data.size(); at += 4096)
    triggers.Received(std::string_view(reinterpret_cast<const char*>(data.data()) + at, 4096),
                      Clock::now(), events);
  *found = events.size();
  return static_cast<double>(kStreamBytes) / (cpu() - start) / 1e6;
}

// Receive throughput without and with 100 triggers on the port, alternating which
// goes first; every run printed, then the medians and their ratio.
void PrintTriggers(const Stream& stream, const Checksum& expected, int runs) {
  const veltra::automation::TLibrary plain = veltra::bench::BenchTriggers(100, 0);
  const veltra::automation::TLibrary mixed = veltra::bench::BenchTriggers(100, 10);
  for (const auto& [what, lib] : {std::pair{"100 text/hex", &plain}, std::pair{"90 text/hex + 10 regex", &mixed}}) {
    std::size_t found = 0;
    const double mbps = MatcherMBps(stream, *lib, &found);
    std::printf("6 triggers, %-34s %8.1f MB/s  pattern set alone, 4 KiB blocks, CPU time, %zu events\n", what,
                mbps, found);
  }
  using Receive = Figure (*)(const Stream&, const Checksum&, veltra::automation::TPortTriggers*);
  for (const auto& [what, receive] : {std::pair{"pty", Receive{ReceiveOverPty}},
                                      std::pair{"virtual", Receive{ReceiveOverVirtualPair}}}) {
    std::vector<double> without, with, ratios;
    for (int run = 0; run < runs; ++run) {
      Figure f[2];
      for (int k = 0; k < 2; ++k) {
        const bool triggered = (k + run) % 2 == 1;
        veltra::automation::TPortTriggers triggers(plain, 1);
        f[triggered] = receive(stream, expected, triggered ? &triggers : nullptr);
      }
      without.push_back(f[0].mbps);
      with.push_back(f[1].mbps);
      ratios.push_back(f[0].mbps > 0 ? f[1].mbps / f[0].mbps : 0);
      std::printf("6 triggers, %-7s run %d %22s %8.1f MB/s  with 100 triggers %.1f MB/s, ratio %.3f; "
                  "matching took %.0f ms of %.0f ms (%.1f %%), %zu events, %s/%s\n",
                  what, run + 1, "without", f[0].mbps, f[1].mbps, ratios.back(),
                  f[1].triggerSeconds * 1e3, f[1].seconds * 1e3,
                  f[1].seconds > 0 ? 100 * f[1].triggerSeconds / f[1].seconds : 0.0,
                  f[1].triggerEvents, Verdict(f[0].intact), Verdict(f[1].intact));
      std::fflush(stdout);
    }
    std::printf("6 triggers, %-7s median %24.1f MB/s  with 100 triggers %.1f MB/s; median ratio %.3f "
                "(target >= 0.90), %d runs\n",
                what, Median(without), Median(with), Median(ratios), runs);
  }
}

void PrintRelay(const Stream& stream, const Checksum& expected) {
  const RelayFigure relay = RelayThroughComponents(stream, expected);
  std::printf("%-46s %8.1f MB/s  %zu clusters, %zu short writes, checksum %s\n",
              "2 relay, two components over two pty pairs", relay.figure.mbps,
              relay.figure.clusters, relay.shortWrites, Verdict(relay.figure.intact));
  const Figure socat = RelayThroughSocat(stream, expected);
  std::printf("%-46s %8.1f MB/s  checksum %s\n", "2 relay, socat over two pty pairs", socat.mbps,
              Verdict(socat.intact));
  std::printf("%-46s %8.2f      target >= 0.50\n", "2 relay ratio, components / socat",
              socat.mbps > 0 ? relay.figure.mbps / socat.mbps : 0.0);
}

void PrintIdle(std::chrono::seconds span) {
  const IdleFigures idle = IdleCost(span);
  auto line = [](const char* what, double perMinute) {
    std::printf("%-46s %8.3f s/min %.3f %% of one core\n", what, perMinute, perMinute / 60 * 100);
  };
  line("3 idle, two closed ports", idle.closed);
  line("3 idle, two open idle ports (ptys)", idle.openPty);
  line("3 idle, two open idle ports (virtual)", idle.openVirtual);
}

// Reports from one open pty with nothing happening, counted from the end of the
// open: a pty has no modem lines, which is said once, not at every worker cycle.
void PrintQuietPty(std::chrono::seconds span) {
  OwnerLoop loop;
  Pty pty;
  TSerialPort port(loop.calls);
  int reports = 0;
  port.OnProcessError = [&](TObject*, std::uint32_t, std::uint32_t, const std::string&,
                            std::uint8_t) { ++reports; };
  port.SetCommPort(pty.slave);
  port.SetActive(true);
  reports = 0;
  loop.RunFor(span);
  std::printf("%-46s %8d      over %lld s, target <= 1\n", "5 reports, one open idle pty", reports,
              static_cast<long long>(span.count()));
  port.SetActive(false);
}

void PrintLatency(int rounds) {
  for (const auto& [what, l] :
       {std::pair{"4 latency event char -> cluster, virtual", LatencyOverVirtualPair(rounds)},
        std::pair{"4 latency event char -> cluster, pty", LatencyOverPty(rounds)}}) {
    std::printf("%-46s %8.2f ms    median; p99 %.2f ms, max %.2f ms, %d samples\n", what, l.median,
                l.p99, l.max, l.samples);
  }
}

}  // namespace

// engine_bench [--quick]
// [receive|receive-pty|receive-virtual|relay|idle|latency|spy|quiet|triggers]...: every section
// by default.
int main(int argc, char** argv) {
  bool quick = false;
  std::vector<std::string> sections;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--quick") {
      quick = true;
    } else {
      sections.push_back(arg);
    }
  }
  if (sections.empty())
    sections = {"receive", "relay", "idle", "latency", "spy", "quiet", "triggers"};
  const Stream stream;
  const Checksum expected = StreamChecksum(stream, kStreamBytes);
  std::printf("Veltra engine benchmark, %zu MiB streams\n\n", kStreamBytes >> 20);
  std::printf("%-46s %12s  %s\n", "measure", "figure", "notes");
  for (const std::string& section : sections) {
    if (section == "receive") PrintReceive(stream, expected, true, true);
    if (section == "receive-pty") PrintReceive(stream, expected, true, false);
    if (section == "receive-virtual") PrintReceive(stream, expected, false, true);
    if (section == "relay") PrintRelay(stream, expected);
    if (section == "idle") PrintIdle(quick ? 3s : 10s);
    if (section == "latency") PrintLatency(quick ? 50 : 200);
    if (section == "spy") PrintSpyLatency(quick ? 100 : 500);
    if (section == "quiet") PrintQuietPty(quick ? 5s : 60s);
    if (section == "triggers") PrintTriggers(stream, expected, quick ? 3 : 5);
    std::fflush(stdout);
  }
  return 0;
}
