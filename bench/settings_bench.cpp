// Loading settings files far larger than any real one: the time for "Load Settings"
// on a section of 80 000 values, and the time and peak memory for the largest
// files the store accepts. Each case runs in a child process of its own so its peak
// RSS is its own; `wc -l` on the same file is the floor of merely reading it.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "engine/owner_calls.h"
#include "engine/serial_port.h"
#include "platform/settings/settings_store.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using veltra::engine::TOwnerCallQueue;
using veltra::engine::TSerialPort;

const std::string kKey = "Software\\Orvane\\Veltra";
const std::string kHeader = "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Orvane\\Veltra\\ComTest1]\n";
constexpr int kRuns = 5;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// "V0000001"="1" ...: 80 000 lines of 16 bytes, 1.28 MB, as in the report.
std::string ManyValues(int count) {
  std::string text = kHeader;
  char line[32];
  for (int i = 0; i < count; ++i) {
    std::snprintf(line, sizeof line, "\"V%07d\"=\"%d\"\n", i, i % 10);
    text += line;
  }
  return text;
}

// The largest accepted file filled with the smallest distinct values.
std::string TinyValuesAtTheLimit() {
  std::string text = kHeader;
  char line[32];
  for (int i = 0; text.size() + 16 < veltra::platform::kMaxSettingsFileSize; ++i) {
    std::snprintf(line, sizeof line, "\"%x\"=\"\"\n", i);
    text += line;
  }
  return text;
}

// Runs `work` in a child; returns its seconds and its peak RSS in MB.
std::pair<double, double> InChild(const std::function<bool()>& work) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return {-1, -1};
  const pid_t pid = ::fork();
  if (pid == 0) {
    const auto start = Clock::now();
    const bool ok = work();
    double s = ok ? Seconds(start) : -1;
    if (::write(pipeFds[1], &s, sizeof s) != sizeof s) ::_exit(2);
    ::_exit(0);
  }
  double s = -1;
  if (::read(pipeFds[0], &s, sizeof s) != sizeof s) s = -1;
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  return {s, static_cast<double>(usage.ru_maxrss) / 1024.0};
}

bool LoadThroughThePort() {
  TOwnerCallQueue calls;
  TSerialPort port(calls);
  bool ok = false;
  port.OnProcessError = [&](veltra::engine::TObject*, veltra::engine::Cardinal place,
                            veltra::engine::Cardinal, const std::string&,
                            veltra::engine::Byte) { ok = ok || place == 401; };
  port.ReadSettings(kKey, "ComTest1");
  return ok;
}

bool OpenKey() {
  return veltra::platform::OpenCurrentUserKey(kKey) != nullptr;
}

void Case(const char* label, const fs::path& file, const std::string& text,
          const std::function<bool()>& work) {
  std::ofstream(file, std::ios::binary) << text;
  std::vector<double> times;
  std::printf("%-38s %5.2f MB:", label, static_cast<double>(text.size()) / 1e6);
  double rss = 0;
  for (int run = 0; run < kRuns; ++run) {
    const auto [s, mb] = InChild(work);
    times.push_back(s);
    rss = std::max(rss, mb);
    std::printf(" %.3f", s);
  }
  std::sort(times.begin(), times.end());
  std::printf(" s; median %.3f s, peak RSS %.0f MB\n", times[kRuns / 2], rss);
  const std::string wc = "wc -l < '" + file.string() + "' > /dev/null";
  const auto start = Clock::now();
  const int rc = std::system(wc.c_str());
  std::printf("%-38s %s %.3f s (one run, process start included)\n", "  peer: wc -l, the same file",
              rc == 0 ? "" : "failed", Seconds(start));
}

}  // namespace

int main() {
  std::string dir = (fs::temp_directory_path() / "veltra-settings-bench-XXXXXX").string();
  if (::mkdtemp(dir.data()) == nullptr) return 1;
  ::setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
  const fs::path file = fs::path(dir) / "Orvane" / "Veltra" / "registry.reg";
  fs::create_directories(file.parent_path());

  const std::string many = ManyValues(80000);
  Case("Load Settings, 80 000 values", file, many, LoadThroughThePort);
  Case("Open the key, 80 000 values", file, many, OpenKey);
  Case("Open the key, tiny values at the limit", file, TinyValuesAtTheLimit(), OpenKey);
  Case("Open the key, newlines at the limit", file,
       "REGEDIT4\n" + std::string(veltra::platform::kMaxSettingsFileSize - 9, '\n'), OpenKey);
  fs::remove_all(dir);
  return 0;
}
