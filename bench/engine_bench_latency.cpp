// The engine bench's latency sections: an event character to its cluster, and one
// byte relayed as spy mode relays it, against socat.
#include "bench/engine_bench.h"

namespace engine_bench {

namespace {

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
  bool measuring = false;            // the open's own messages are not counted
  int waited = 0;                    // blocks that came while the previous write was in flight
  int refused = 0;                   // sends the port turned down: each one a lost block
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
  std::printf(
      "%-46s %8.2f ms    median; p99 %.2f ms, max %.2f ms, %d/%d samples, "
      "%d blocks waited for a write, %d sends refused, %zu reports (code/place:%s)\n",
      what, s.latency.median, s.latency.p99, s.latency.max, s.latency.samples, rounds, s.waited,
      s.refused, s.reports.size(), reported.c_str());
}

}  // namespace

void PrintSpyLatency(int rounds) {
  PrintSpyRow("5 spy, one byte relayed, default timing",
              SpyLatencyThroughComponents(250, rounds / 5), rounds / 5);
  PrintSpyRow("5 spy, one byte relayed, RTOExtraDelayTime 0",
              SpyLatencyThroughComponents(0, rounds), rounds);
  const Latency l = SpyLatencyThroughSocat(rounds);
  std::printf("%-46s %8.2f ms    median; p99 %.2f ms, max %.2f ms, %d/%d samples\n",
              "5 spy, one byte relayed, socat", l.median, l.p99, l.max, l.samples, rounds);
}

void PrintLatency(int rounds) {
  for (const auto& [what, l] :
       {std::pair{"4 latency event char -> cluster, virtual", LatencyOverVirtualPair(rounds)},
        std::pair{"4 latency event char -> cluster, pty", LatencyOverPty(rounds)}}) {
    std::printf("%-46s %8.2f ms    median; p99 %.2f ms, max %.2f ms, %d samples\n", what, l.median,
                l.p99, l.max, l.samples);
  }
}

}  // namespace engine_bench
