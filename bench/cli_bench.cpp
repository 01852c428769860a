// veltra-cli spy against the relays technicians use, in one run: 64 MiB written into
// one pty pair, relayed by the tool to a second pair, read and checksummed there.
//   plain:   veltra-cli spy (no logging)            vs  socat (a plain relay)
//   logging: veltra-cli spy --log (every byte)      vs  jpnevulator --pass with its hex
//            log, and socat -x (hex dump to a file)
// Each tool runs as its own process on fresh ptys set raw beforehand; it counts as
// ready once a probe byte has come through. Every run is printed, then the medians.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <thread>

#include "bench/bench_support.h"

namespace {

using namespace std::chrono_literals;
using veltra::bench::Checksum;
using veltra::bench::Clock;
using veltra::bench::kStreamBytes;
using veltra::bench::Pty;
using veltra::bench::Seconds;
using veltra::bench::Stream;
namespace fs = std::filesystem;

struct Tool {
  std::string name;
  std::vector<std::string> args;  // "{A}", "{B}" and "{LOG}" are filled in
  bool logToStdout = false;       // the tool writes its log on stdout, else on stderr
};

struct Result {
  double mbps = 0;
  bool intact = false;
  std::uintmax_t logBytes = 0;
};

void MakeRaw(const std::string& slave) {
  const int fd = ::open(slave.c_str(), O_RDWR | O_NOCTTY);
  termios t{};
  if (fd >= 0 && ::tcgetattr(fd, &t) == 0) {
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
  }
  if (fd >= 0) ::close(fd);
}

std::string Fill(std::string arg, const std::map<std::string, std::string>& values) {
  for (const auto& [key, value] : values)
    for (std::size_t at; (at = arg.find(key)) != std::string::npos;)
      arg.replace(at, key.size(), value);
  return arg;
}

pid_t Launch(const Tool& tool, const std::map<std::string, std::string>& values,
             const std::string& logPath) {
  std::vector<std::string> args;
  for (const std::string& a : tool.args) args.push_back(Fill(a, values));
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  const int devnull = ::open("/dev/null", O_RDWR);
  const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ::dup2(devnull, STDIN_FILENO);
  ::dup2(tool.logToStdout ? log : devnull, STDOUT_FILENO);
  ::dup2(tool.logToStdout ? devnull : log, STDERR_FILENO);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  ::execvp(argv[0], argv.data());
  ::_exit(127);
}

// A pty master sees a hang-up while no one holds the slave open.
bool SlaveOpened(const Pty& pty) {
  pollfd p{pty.master, POLLIN, 0};
  return ::poll(&p, 1, 0) >= 0 && !(p.revents & POLLHUP);
}

// Once the tool holds both slaves, one probe byte must come through. A second probe
// only when the first was lost while the tool was still setting its ports up; it
// is given time to arrive before the stream starts, so it cannot land in the stream.
bool WaitUntilRelaying(const Pty& in, const Pty& out) {
  const auto opened = Clock::now() + 15s;
  while (!(SlaveOpened(in) && SlaveOpened(out)) && Clock::now() < opened)
    std::this_thread::sleep_for(10ms);
  std::this_thread::sleep_for(500ms);
  for (int probe = 0; probe < 2; ++probe) {
    std::uint8_t byte = 0x55;
    [[maybe_unused]] auto w = ::write(in.master, &byte, 1);
    pollfd p{out.master, POLLIN, 0};
    if (::poll(&p, 1, 5000) > 0 && ::read(out.master, &byte, 1) == 1) {
      std::this_thread::sleep_for(probe == 0 ? 300ms : 5000ms);
      std::uint8_t drain[64];
      while (::read(out.master, drain, sizeof drain) > 0) {
      }
      return true;
    }
  }
  return false;
}

Result RelayOnce(const Tool& tool, const Stream& stream, const Checksum& expected,
                 const fs::path& dir) {
  Pty in, out;
  MakeRaw(in.slave);
  MakeRaw(out.slave);
  const std::string log = (dir / (tool.name + ".log")).string();
  const pid_t pid = Launch(tool, {{"{A}", in.slave}, {"{B}", out.slave}, {"{LOG}", log}},
                           (dir / (tool.name + ".out")).string());
  Result r;
  if (!WaitUntilRelaying(in, out)) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return r;
  }
  Checksum got;
  std::atomic<std::size_t> progress{0};
  std::atomic<bool> stop{false};
  const auto start = Clock::now();
  std::thread reader(
      [&] { veltra::bench::ReadStream(out.master, got, kStreamBytes, stop, progress); });
  std::thread writer([&] { veltra::bench::WriteStream(in.master, stream, kStreamBytes, stop); });
  const auto deadline = start + 900s;  // socat -x needs minutes for 64 MiB
  while (progress < kStreamBytes && Clock::now() < deadline &&
         ::waitpid(pid, nullptr, WNOHANG) == 0)
    std::this_thread::sleep_for(2ms);
  const double s = Seconds(start);
  stop = true;
  writer.join();
  reader.join();
  ::kill(pid, SIGTERM);
  ::waitpid(pid, nullptr, 0);
  r.mbps = got.bytes / s / 1e6;
  r.intact = got.bytes == expected.bytes && got.value == expected.value;
  std::error_code ec;
  for (const char* ext : {".log", ".txt", ".out"}) {
    const auto size = fs::file_size(dir / (tool.name + ext), ec);
    if (!ec) r.logBytes += size;
  }
  return r;
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

// cli_bench [runs]: 3 runs by default.
int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  const std::string cli = VELTRA_CLI_PATH;
  // Input flow control on both ports: a pty then simply stops being read when the
  // driver's queue is full, as socat and jpnevulator stop reading.
  const std::vector<std::string> spy = {cli,      "spy",    "{A}", "{B}",
                                        "--flow", "rtscts", "-q",  "--no-status"};
  std::vector<std::string> spyLogging = spy;
  spyLogging.insert(spyLogging.end(), {"--log", "{LOG}"});
  const std::vector<Tool> tools = {
      {"socat", {"socat", "-b65536", "{A},rawer", "{B},rawer"}, false},
      {"veltra-spy", spy, false},
      {"veltra-spy-log", spyLogging, false},
      {"jpnevulator",
       {"jpnevulator", "--ascii", "--timing-print", "--pass", "--read", "--tty", "{A}", "--tty",
        "{B}"},
       true},
      {"socat-x", {"socat", "-x", "-b65536", "{A},rawer", "{B},rawer"}, false},
  };
  const fs::path dir =
      fs::temp_directory_path() / ("veltra-cli-bench-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const Stream stream;
  const Checksum expected = veltra::bench::StreamChecksum(stream, kStreamBytes);
  std::printf("veltra-cli relay benchmark: %zu MiB over two pty pairs, %d runs\n\n",
              kStreamBytes >> 20, runs);
  std::printf("%-4s %-16s %10s  %12s  %s\n", "run", "tool", "MB/s", "log bytes", "checksum");
  std::map<std::string, std::vector<double>> rates;
  for (int run = 1; run <= runs; ++run) {
    for (const Tool& tool : tools) {
      const Result r = RelayOnce(tool, stream, expected, dir);
      rates[tool.name].push_back(r.intact ? r.mbps : 0.0);
      std::printf("%-4d %-16s %10.2f  %12ju  %s\n", run, tool.name.c_str(), r.mbps, r.logBytes,
                  r.intact ? "intact" : "LOST OR CORRUPTED");
      std::fflush(stdout);
    }
  }
  fs::remove_all(dir);
  std::printf("\nmedians (a run with a broken checksum counts as 0)\n");
  for (const Tool& tool : tools)
    std::printf("  %-16s %10.2f MB/s\n", tool.name.c_str(), Median(rates[tool.name]));
  auto ratio = [&](const char* a, const char* b) {
    const double d = Median(rates[b]);
    return d > 0 ? Median(rates[a]) / d : 0.0;
  };
  std::printf("\n  spy / socat                 %6.2f   target >= 0.8\n",
              ratio("veltra-spy", "socat"));
  std::printf("  spy --log / jpnevulator      %6.1f   target >= 10\n",
              ratio("veltra-spy-log", "jpnevulator"));
  std::printf("  spy --log / socat -x         %6.1f\n", ratio("veltra-spy-log", "socat-x"));
  return 0;
}
