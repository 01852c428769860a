// Figures of the serial engine: receive throughput into clusters (also with 100
// receive triggers looking through every cluster), a two-port relay
// as spy mode does it (against socat relaying the same ptys), the CPU cost of idle
// ports, the latency from an event character to its cluster, and the latency of
// one byte relayed as spy mode relays it (against socat).
#include "bench/engine_bench.h"

using namespace engine_bench;

namespace {

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

const char* Verdict(bool ok) {
  return ok ? "intact" : "LOST OR CORRUPTED";
}

void PrintReceiveFigure(const char* what, const Figure& f) {
  std::string reported;
  for (const std::string& r : f.reported) reported += " " + r;
  std::printf(
      "%-46s %8.1f MB/s  %zu clusters (%zu with line errors), %zu reports (code/place:%s), "
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
double MatcherMBps(const Stream& stream, const veltra::automation::TLibrary& lib,
                   std::size_t* found) {
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
  for (const auto& [what, lib] :
       {std::pair{"100 text/hex", &plain}, std::pair{"90 text/hex + 10 regex", &mixed}}) {
    std::size_t found = 0;
    const double mbps = MatcherMBps(stream, *lib, &found);
    std::printf(
        "6 triggers, %-34s %8.1f MB/s  pattern set alone, 4 KiB blocks, CPU time, %zu events\n",
        what, mbps, found);
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
      std::printf(
          "6 triggers, %-7s run %d %22s %8.1f MB/s  with 100 triggers %.1f MB/s, ratio %.3f; "
          "matching took %.0f ms of %.0f ms (%.1f %%), %zu events, %s/%s\n",
          what, run + 1, "without", f[0].mbps, f[1].mbps, ratios.back(), f[1].triggerSeconds * 1e3,
          f[1].seconds * 1e3, f[1].seconds > 0 ? 100 * f[1].triggerSeconds / f[1].seconds : 0.0,
          f[1].triggerEvents, Verdict(f[0].intact), Verdict(f[1].intact));
      std::fflush(stdout);
    }
    std::printf(
        "6 triggers, %-7s median %24.1f MB/s  with 100 triggers %.1f MB/s; median ratio %.3f "
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
