// The tty lower half on a pty: throughput each way, the CPU an idle port costs, and
// how long Configure takes. Prints figures; asserts nothing.
#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "platform/src/uart.h"
#include "platform/src/uart_posix_seam.h"

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

void IdleCost(const char* what) {
  const double cpu0 = ProcessCpuSeconds();
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  std::printf("idle port, %s: %.4f %% of one core over %.1f s\n", what,
              100.0 * (ProcessCpuSeconds() - cpu0) / Seconds(start), Seconds(start));
}

// A pty has no modem lines, so its I/O thread sleeps for good; a UART's lines are
// polled every 10 ms. A stand-in line register shows what that polling costs.
void IdleCostWithModemLines(const char* slave) {
  platform::TtyModemLines lines;
  lines.get = [](int* bits) {
    *bits = 0;
    return 0;
  };
  lines.change = [](int, bool) { return 0; };
  platform::UseTtyModemLinesForTests(&lines);
  win::DWORD error = 0;
  auto uart = platform::OpenPosixUart(slave, &error);
  if (uart) {
    CountingSink sink;
    uart->Start(sink);
    IdleCost("modem lines polled");
    uart->Stop();
  }
  platform::UseTtyModemLinesForTests(nullptr);
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
  IdleCostWithModemLines(slave);
  close(master);
  return 0;
}
