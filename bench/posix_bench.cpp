// The tty lower half on a pty: throughput each way, the CPU an idle port costs, and
// how long Configure takes. Prints figures; asserts nothing.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/driver/uart.h"
#include "platform/tty/uart_posix_seam.h"

namespace {

using namespace veltra;
using Clock = std::chrono::steady_clock;

class CountingSink : public platform::UartSink {
 public:
  void OnReceive(const std::uint8_t*, std::size_t count) override { received += count; }
  void OnReceiveError(std::uint8_t, win::DWORD) override { ++received; }
  void OnLineError(win::DWORD) override {}
  void OnModemStatus(win::DWORD) override {}
  void OnBreak() override {}
  void OnVanished() override {}
  std::size_t TakeTransmit(std::uint8_t* out, std::size_t max) override {
    const std::size_t left = toSend.load();
    const std::size_t n = std::min(max, left);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(i);
    toSend -= n;
    return n;
  }
  void OnTransmitterEmpty() override {}
  std::atomic<std::size_t> received{0};
  std::atomic<std::size_t> toSend{0};
};

double ProcessCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

void Inbound(int master, CountingSink& sink, std::size_t total) {
  const std::string chunk(4096, 'x');
  const auto start = Clock::now();
  std::size_t written = 0;
  while (written < total) {
    const ssize_t n = write(master, chunk.data(), std::min(chunk.size(), total - written));
    if (n > 0) {
      written += static_cast<std::size_t>(n);
    } else {
      pollfd p{master, POLLOUT, 0};
      poll(&p, 1, 10);
    }
  }
  while (sink.received.load() < total && Seconds(start) < 60) std::this_thread::yield();
  std::printf("pty -> uart: %zu bytes in %.3f s = %.1f MB/s\n", sink.received.load(),
              Seconds(start), static_cast<double>(total) / Seconds(start) / 1e6);
}

void Outbound(int master, platform::Uart& uart, CountingSink& sink, std::size_t total) {
  const auto start = Clock::now();
  sink.toSend = total;
  uart.TransmitReady();
  std::size_t got = 0;
  char buffer[65536];
  while (got < total && Seconds(start) < 60) {
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else {
      pollfd p{master, POLLIN, 0};
      poll(&p, 1, 10);
    }
  }
  std::printf("uart -> pty: %zu bytes in %.3f s = %.1f MB/s\n", got, Seconds(start),
              static_cast<double>(total) / Seconds(start) / 1e6);
}

long ContextSwitches() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_nvcsw + usage.ru_nivcsw;
}

void IdleCost(const char* what, const std::atomic<long>* looks = nullptr) {
  const long looks0 = looks ? looks->load() : 0;
  const long switches0 = ContextSwitches();
  const double cpu0 = ProcessCpuSeconds();
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const double seconds = Seconds(start);
  std::printf("idle, %s: %.4f %% of one core, %.1f context switches/s", what,
              100.0 * (ProcessCpuSeconds() - cpu0) / seconds,
              static_cast<double>(ContextSwitches() - switches0) / seconds);
  if (looks) std::printf(", %.1f line reads/s", static_cast<double>(*looks - looks0) / seconds);
  std::printf(" over %.1f s\n", seconds);
}

// A pty has no modem lines, so its I/O thread sleeps for good. A stand-in UART
// (line register and counters, as serial_core has them) shows what following the
// lines costs: polled every 10 ms where TIOCMIWAIT is refused, else waited for.
void IdleCostWithModemLines(int ports, bool waits) {
  std::atomic<long> looks{0};
  const int bell = eventfd(0, EFD_CLOEXEC);  // never rung: the lines never move
  platform::TtyModemLines lines;
  lines.get = [&](int* bits) {
    ++looks;
    *bits = 0;
    return 0;
  };
  lines.counters = [&](serial_icounter_struct* c) {
    ++looks;
    *c = {};
    return 0;
  };
  lines.change = [](int, bool) { return 0; };
  lines.wait = [&](int) {
    if (!waits) return ENOTTY;
    std::uint64_t rung = 0;
    return read(bell, &rung, sizeof rung) < 0 ? errno : 0;  // EINTR when closed
  };
  platform::UseTtyModemLinesForTests(&lines);
  std::vector<int> masters;
  std::vector<std::unique_ptr<platform::Uart>> uarts;
  std::vector<std::unique_ptr<CountingSink>> sinks;
  for (int i = 0; i < ports; ++i) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    char slave[128] = {};
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, slave, sizeof slave) != 0)
      break;
    masters.push_back(master);
    win::DWORD error = 0;
    uarts.push_back(platform::OpenPosixUart(slave, &error));
    sinks.push_back(std::make_unique<CountingSink>());
    if (uarts.back()) uarts.back()->Start(*sinks.back());
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // past the start
  const std::string what = std::to_string(ports) + (ports == 1 ? " port" : " ports") +
                           (waits ? ", lines waited for (TIOCMIWAIT)" : ", lines polled");
  IdleCost(what.c_str(), &looks);
  for (auto& uart : uarts)
    if (uart) uart->Stop();
  for (const int master : masters) close(master);
  platform::UseTtyModemLinesForTests(nullptr);
  close(bell);
}

void ConfigureCost(platform::Uart& uart) {
  win::DCB dcb;
  const int rounds = 2000;
  const auto start = Clock::now();
  for (int i = 0; i < rounds; ++i) {
    dcb.BaudRate = (i % 2) ? 115000 : 256000;
    uart.Configure(dcb);
  }
  std::printf("Configure: %.1f us each\n", Seconds(start) * 1e6 / rounds);
}

}  // namespace

int main() {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return 1;
  char slave[128] = {};
  if (ptsname_r(master, slave, sizeof slave) != 0) return 1;
  win::DWORD error = 0;
  auto uart = platform::OpenPosixUart(slave, &error);
  if (!uart) {
    std::printf("open failed: %u\n", error);
    return 1;
  }
  CountingSink sink;
  win::DCB dcb;
  dcb.BaudRate = 115200;
  uart->Configure(dcb);
  uart->Start(sink);
  const std::size_t total = std::size_t{64} << 20;
  Inbound(master, sink, total);
  Outbound(master, *uart, sink, total);
  IdleCost("pty");
  ConfigureCost(*uart);
  uart->Stop();
  close(master);
  for (const bool waits : {false, true}) {
    IdleCostWithModemLines(1, waits);
    IdleCostWithModemLines(2, waits);
  }
  return 0;
}
