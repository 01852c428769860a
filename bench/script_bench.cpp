// How soon a script's expect returns after the matching byte arrives, with
// RTOExtraDelayTime 0, beside the engine alone in the same run: a TSerialPort whose
// owner thread sleeps until the cluster event. One byte is written to a pty's master
// side at a varying phase; the time to the script's next line (or the cluster
// handler) is one sample; the script also on the built-in null-modem cable.
//   script_bench [--runs N] [--rounds N]
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

#include "automation/script/script_runner.h"
#include "bench/bench_support.h"
#include "engine/serial_port.h"
#include "platform/virtual/simulated_devices.h"
#include "tests/platform/far_end_open.h"

namespace {

using namespace std::chrono_literals;
using veltra::bench::Clock;
using veltra::bench::Latency;
using veltra::bench::Pty;
using veltra::bench::Summarise;

// Counts arrivals signalled from another thread, each with its time.
class Arrivals {
 public:
  void Arrived() {
    const auto now = Clock::now();
    std::lock_guard lock(mutex_);
    at_ = now;
    ++count_;
    changed_.notify_all();
  }
  bool WaitFor(int count, std::chrono::milliseconds timeout, Clock::time_point* at) {
    std::unique_lock lock(mutex_);
    const bool ok = changed_.wait_for(lock, timeout, [&] { return count_ >= count; });
    *at = at_;
    return ok;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;
  Clock::time_point at_;
};

using TWriteOne = std::function<bool()>;

// Writes one '!' per round at a varying phase; `arrivals` has one more each round.
std::vector<double> Drive(const TWriteOne& writeOne, Arrivals& arrivals, int first, int rounds) {
  std::vector<double> ms;
  for (int i = 0; i < rounds; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(3 + i % 7));
    const auto sent = Clock::now();
    if (!writeOne()) break;
    Clock::time_point at;
    if (!arrivals.WaitFor(first + i + 1, 2000ms, &at)) continue;
    ms.push_back(std::chrono::duration<double, std::milli>(at - sent).count());
  }
  return ms;
}

Latency ScriptExpect(const std::string& port, const TWriteOne& writeOne, int rounds) {
  Arrivals arrivals;
  veltra::script::TScriptRunner runner;
  // A pty has no modem lines: its reports come through the log as well.
  runner.OnLog = [&](const std::string& line) {
    if (line == "ready" || line == "got") arrivals.Arrived();
  };
  runner.Start({"bench.lua",
                "local p = open(arg[1], {baud = 115200, rto_extra = 0})\n"
                "log('ready')\n"
                "for i = 1, tonumber(arg[2]) do p:expect('!', 5) log('got') end\n",
                {port, std::to_string(rounds)}});
  Clock::time_point at;
  if (!arrivals.WaitFor(1, 5000ms, &at)) return {};
  const auto ms = Drive(writeOne, arrivals, 1, rounds);
  const auto r = runner.Wait();
  if (r.Outcome != veltra::script::TScriptOutcome::Passed)
    std::fprintf(stderr, "script: %s\n", r.Message.c_str());
  return Summarise(ms);
}

Latency ScriptOverPty(int rounds) {
  Pty pty;
  return ScriptExpect(
      pty.slave, [&] { return ::write(pty.master, "!", 1) == 1; }, rounds);
}

// The built-in null-modem cable at 115200: the byte's 87 us on the line count too.
Latency ScriptOverNullModem(int rounds) {
  namespace win = veltra::win;
  const win::HANDLE far = veltra::testing::OpenFarEnd(veltra::platform::kNullModemPortB, 115200);
  const Latency l = ScriptExpect(
      veltra::platform::kNullModemPortA,
      [&] {
        win::DWORD written = 0;
        return win::WriteFile(far, "!", 1, &written, nullptr) && written == 1;
      },
      rounds);
  win::CloseHandle(far);
  return l;
}

Latency EngineAlone(int rounds) {
  Pty pty;
  Arrivals arrivals;
  std::atomic<bool> opened{false}, done{false};
  std::thread owner([&] {
    veltra::engine::TOwnerCallQueue calls;
    std::mutex m;
    std::condition_variable wake;
    bool queued = false;
    calls.OnCallQueued = [&] {
      std::lock_guard lock(m);
      queued = true;
      wake.notify_one();
    };
    {
      veltra::engine::TSerialPort port(calls);
      port.OnRxClusterEvent = [&](veltra::engine::TObject*) {
        std::string bytes;
        port.TakeFirstCluster(bytes);
        arrivals.Arrived();
      };
      port.SetBaudRate(115200);
      port.SetRTOExtraDelayTime(0);
      port.SetCommPort(pty.slave);
      port.SetActive(true);
      opened = true;
      while (!done) {
        std::unique_lock lock(m);
        wake.wait_for(lock, 50ms, [&] { return queued; });
        queued = false;
        lock.unlock();
        calls.ServePending();
      }
      port.SetActive(false);
    }
    calls.OnCallQueued = nullptr;
  });
  while (!opened) std::this_thread::sleep_for(1ms);
  std::this_thread::sleep_for(100ms);
  const auto ms = Drive([&] { return ::write(pty.master, "!", 1) == 1; }, arrivals, 0, rounds);
  done = true;
  owner.join();
  return Summarise(ms);
}

void Print(const char* what, int run, const Latency& l, int rounds) {
  std::printf("%-34s run %d: median %6.3f ms  p99 %6.3f ms  max %6.3f ms  (%d of %d)\n", what, run,
              l.median, l.p99, l.max, l.samples, rounds);
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 5, rounds = 300;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--runs") == 0) runs = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::atoi(argv[i + 1]);
  }
  std::printf("expect reaction over a pty, RTOExtraDelayTime 0, %d rounds a run\n", rounds);
  std::vector<double> ratios;
  for (int run = 1; run <= runs; ++run) {
    const Latency engine = EngineAlone(rounds);
    const Latency script = ScriptOverPty(rounds);
    const Latency cable = ScriptOverNullModem(rounds);
    Print("engine alone: byte -> cluster", run, engine, rounds);
    Print("script: byte -> expect returned", run, script, rounds);
    Print("script, NULL-MODEM-A at 115200", run, cable, rounds);
    const double ratio = engine.p99 > 0 ? script.p99 / engine.p99 : 0;
    ratios.push_back(ratio);
    const bool within = script.p99 <= 5.0 && cable.p99 <= 5.0 && script.samples == rounds &&
                        cable.samples == rounds;
    std::printf("%-34s run %d: p99 script/engine over the pty %.2f  %s\n", "", run, ratio,
                within ? "(both p99 within 5 ms)" : "(OVER 5 ms or samples missing)");
  }
  std::sort(ratios.begin(), ratios.end());
  std::printf("median p99 ratio over %d runs: %.2f\n", runs, ratios[ratios.size() / 2]);
  return 0;
}
