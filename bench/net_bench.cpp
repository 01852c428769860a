// Network ports: 64 MiB through a private ser2net and back, a pty whose far end
// echoes every byte standing in for the device. Veltra's port opened as
// rfc2217://, then as tcp://, then socat on ser2net's raw TCP port (socat speaks no
// RFC 2217), each with a fresh server, in the same run, several runs; checksums of
// what went and what came back must match. Prints figures; asserts nothing.
//
//   net_bench [runs] [MiB]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/core/comm_api.h"
#include "platform/core/open_failure.h"
#include "tests/platform/ser2net_fixture.h"
#include "tests/platform/test_posix_pty.h"

extern char** environ;

namespace {

using namespace veltra::win;
using Clock = std::chrono::steady_clock;

struct Figure {
  double mbps = 0;  // MB of payload per second, each way
  bool intact = false;
};

std::uint64_t Fnv1a(const std::uint8_t* data, std::size_t n, std::uint64_t h) {
  for (std::size_t i = 0; i < n; ++i) h = (h ^ data[i]) * 0x100000001b3ull;
  return h;
}
constexpr std::uint64_t kFnvStart = 0xcbf29ce484222325ull;

// No wait for more characters before sending, and buffers of 64 KiB instead of the
// default 64 bytes: ser2net's own pace would hide everything else.
const char* const kServerOptions =
    "    chardelay: false\n    dev-to-net-bufsize: 65536\n    net-to-dev-bufsize: 65536\n";

// The device: a pty master that sends back what it gets, until told to stop.
class EchoDevice {
 public:
  EchoDevice() : thread_([this] { Run(); }) {}
  ~EchoDevice() {
    stop_ = true;
    thread_.join();
  }
  const std::string& slave() const { return pty_.slave(); }

 private:
  void Run() {
    const int master = pty_.master();
    std::vector<char> buffer(1 << 16);
    std::size_t held = 0;
    while (!stop_) {
      pollfd p{master, static_cast<short>(held ? POLLOUT : POLLIN), 0};
      if (poll(&p, 1, 20) <= 0) continue;
      if (held == 0) {
        const ssize_t n = read(master, buffer.data(), buffer.size());
        if (n > 0) held = static_cast<std::size_t>(n);
        continue;
      }
      const ssize_t n = write(master, buffer.data(), held);
      if (n > 0) {
        std::copy(buffer.begin() + n, buffer.begin() + static_cast<std::ptrdiff_t>(held),
                  buffer.begin());
        held -= static_cast<std::size_t>(n);
      }
    }
  }
  veltra::test::Pty pty_;
  std::atomic<bool> stop_{false};
  std::thread thread_;  // last: it starts on what comes before
};

bool WaitDone(HANDLE h, OVERLAPPED& ov, DWORD* bytes) {
  return GetOverlappedResult(h, &ov, bytes, TRUE) != FALSE;
}

// Reads until `total` bytes came back or nothing came for 10 s.
std::uint64_t ReadBack(HANDLE h, std::size_t total, std::size_t* got) {
  std::vector<std::uint8_t> buffer(1 << 20);
  std::uint64_t sum = kFnvStart;
  OVERLAPPED ov;
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  auto lastByte = Clock::now();
  while (*got < total && Clock::now() - lastByte < std::chrono::seconds(10)) {
    DWORD n = 0;
    if (!ReadFile(h, buffer.data(), static_cast<DWORD>(buffer.size()), &n, &ov) &&
        (GetLastError() != ERROR_IO_PENDING || !WaitDone(h, ov, &n)))
      break;
    if (n > 0) {
      sum = Fnv1a(buffer.data(), n, sum);
      *got += n;
      lastByte = Clock::now();
      continue;
    }
    DWORD mask = 0;
    if (!WaitCommEvent(h, &mask, &ov) && GetLastError() == ERROR_IO_PENDING &&
        WaitForSingleObject(ov.hEvent, 100) != WAIT_OBJECT_0) {
      SetCommMask(h, EV_RXCHAR);  // ends the wait
      WaitDone(h, ov, &n);
    }
  }
  CloseHandle(ov.hEvent);
  return sum;
}

Figure ThroughPort(const std::string& name, const std::vector<std::uint8_t>& data,
                   std::uint64_t expected) {
  const HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OVERLAPPED, 0);
  if (h == INVALID_HANDLE_VALUE) {
    std::printf("  open %s failed: %s\n", name.c_str(),
                veltra::platform::LastOpenFailureText().c_str());
    return {};
  }
  SetupComm(h, 1 << 20, 1 << 20);
  DCB dcb;
  GetCommState(h, &dcb);
  dcb.BaudRate = 3000000;
  dcb.Flags = DCB_fBinary | (RTS_CONTROL_HANDSHAKE << 12);  // loses nothing when reading lags
  SetCommState(h, &dcb);
  COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 0};
  SetCommTimeouts(h, &t);
  SetCommMask(h, EV_RXCHAR);
  const auto start = Clock::now();
  std::size_t got = 0;
  std::uint64_t sum = 0;
  std::thread reader([&] { sum = ReadBack(h, data.size(), &got); });
  OVERLAPPED ov;
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  constexpr std::size_t kChunk = 256 * 1024;
  for (std::size_t done = 0; done < data.size(); done += kChunk) {
    DWORD n = 0;
    const DWORD size = static_cast<DWORD>(std::min(kChunk, data.size() - done));
    if (!WriteFile(h, data.data() + done, size, &n, &ov) && !WaitDone(h, ov, &n)) break;
  }
  reader.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  CloseHandle(ov.hEvent);
  CloseHandle(h);
  return {static_cast<double>(got) / seconds / 1e6, got == data.size() && sum == expected};
}

// socat between a pipe pair and ser2net's raw TCP port.
Figure ThroughSocat(const std::string& tcpName, const std::vector<std::uint8_t>& data,
                    std::uint64_t expected) {
  const std::string address = "TCP:" + tcpName.substr(6);  // tcp://HOST:PORT
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::vector<std::string> args = {"socat", "-b65536", "-", address};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, "socat", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  if (rc != 0) return {};
  const auto start = Clock::now();
  std::size_t got = 0;
  std::uint64_t sum = kFnvStart;
  std::thread reader([&] {
    std::vector<std::uint8_t> buffer(1 << 16);
    while (got < data.size()) {
      const ssize_t n = read(out[0], buffer.data(), buffer.size());
      if (n <= 0) break;
      sum = Fnv1a(buffer.data(), static_cast<std::size_t>(n), sum);
      got += static_cast<std::size_t>(n);
    }
  });
  for (std::size_t done = 0; done < data.size();) {  // stdin stays open until all is back
    const ssize_t n =
        write(in[1], data.data() + done, std::min<std::size_t>(65536, data.size() - done));
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  reader.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  close(in[1]);
  close(out[0]);
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  return {static_cast<double>(got) / seconds / 1e6, got == data.size() && sum == expected};
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const std::size_t mib = argc > 2 ? static_cast<std::size_t>(std::max(1, std::atoi(argv[2]))) : 64;
  std::vector<std::uint8_t> data(mib << 20);
  std::mt19937_64 random(2217);
  for (auto& b : data) b = static_cast<std::uint8_t>(random());  // 0xFF (IAC) 1 in 256
  const std::uint64_t expected = Fnv1a(data.data(), data.size(), kFnvStart);
  const char* const kinds[] = {"veltra rfc2217://", "veltra tcp://", "socat, raw TCP"};
  std::vector<double> figures[3];
  std::printf(
      "%zu MiB through ser2net (no chardelay, 64 KiB buffers) to an echoing pty and back; MB/s "
      "each way\n",
      mib);
  for (int run = 1; run <= runs; ++run) {
    for (int kind = 0; kind < 3; ++kind) {
      EchoDevice device;  // a fresh device and server for every pass
      veltra::test::PrivateSer2net server(device.slave(), kServerOptions);
      if (!server.Ready()) {
        std::printf("ser2net: %s\n", server.Failure().c_str());
        return 1;
      }
      const Figure f = kind == 0   ? ThroughPort(server.Rfc2217Name(), data, expected)
                       : kind == 1 ? ThroughPort(server.TcpName(), data, expected)
                                   : ThroughSocat(server.TcpName(), data, expected);
      figures[kind].push_back(f.mbps);
      std::printf("run %d  %-18s %8.1f MB/s  checksum %s\n", run, kinds[kind], f.mbps,
                  f.intact ? "intact" : "BROKEN");
      std::fflush(stdout);
    }
  }
  for (int kind = 0; kind < 3; ++kind)
    std::printf("median %-18s %8.1f MB/s\n", kinds[kind], Median(figures[kind]));
  std::printf("ratio rfc2217:// / socat   %8.2f\n",
              Median(figures[2]) > 0 ? Median(figures[0]) / Median(figures[2]) : 0.0);
  return 0;
}
