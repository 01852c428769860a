// Runs veltra-cli commands in-process: each command on its own thread (which becomes
// the owner thread of its ports, as main's is), its output captured, and a stop
// asked for as Ctrl-C asks for it.
#pragma once

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli.h"
#include "platform/core/comm_api.h"
#include "tests/engine/port_test_support.h"
#include "tests/platform/far_end_open.h"
#include "tests/platform/test_wait.h"

namespace veltra::cli::test {

using veltra::test::WaitUntil;
using namespace std::chrono_literals;

class TCliRun {
 public:
  explicit TCliRun(std::vector<std::string> args, bool terminal = false)
      : out_(terminal), err_(terminal) {
    thread_ = std::thread([this, args = std::move(args)] {
      code_ = Run(args, console_, control_);
      done_ = true;
    });
  }
  ~TCliRun() { Stop(); }
  TCliRun(const TCliRun&) = delete;
  TCliRun& operator=(const TCliRun&) = delete;

  std::string Out() const { return out_.Text(); }
  std::string Err() const { return err_.Text(); }
  bool Done() const { return done_; }
  bool OutHas(const std::string& text, std::chrono::milliseconds within = 5000ms) const {
    return WaitUntil([&] { return Out().find(text) != std::string::npos; }, within);
  }
  bool ErrHas(const std::string& text, std::chrono::milliseconds within = 5000ms) const {
    return WaitUntil([&] { return Err().find(text) != std::string::npos; }, within);
  }
  // Asks the command to end, as SIGINT does, and returns its exit status.
  int Stop() {
    control_.RequestStop();
    return Wait();
  }
  int Wait() {
    if (thread_.joinable()) thread_.join();
    return code_;
  }

 private:
  TStringStream out_, err_;
  TConsole console_{out_, err_};
  TRunControl control_;
  std::atomic<int> code_{-1};
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// The device at the far end of a virtual cable: raw Win32 reads and writes.
class TFarEnd {
 public:
  explicit TFarEnd(const std::string& name, win::DWORD baud = 9600) {
    handle_ = veltra::testing::OpenFarEnd(name, baud);
  }
  ~TFarEnd() { win::CloseHandle(handle_); }
  TFarEnd(const TFarEnd&) = delete;
  TFarEnd& operator=(const TFarEnd&) = delete;

  void Write(const std::string& bytes) {
    win::DWORD written = 0;
    win::WriteFile(handle_, bytes.data(), static_cast<win::DWORD>(bytes.size()), &written, nullptr);
  }
  // What arrives until `count` bytes are there or the time is up.
  std::string Read(std::size_t count, std::chrono::milliseconds within = 3000ms) {
    std::string got;
    WaitUntil(
        [&] {
          char buffer[4096];
          win::DWORD n = 0;
          while (win::ReadFile(handle_, buffer, sizeof buffer, &n, nullptr) && n > 0)
            got.append(buffer, n);
          return got.size() >= count;
        },
        within);
    return got;
  }

 private:
  win::HANDLE handle_ = win::INVALID_HANDLE_VALUE;
};

// Once the command has opened the near end of each cable.
inline bool OpenedBy(std::initializer_list<const engine::test::Cable*> cables) {
  return WaitUntil(
      [&] {
        for (const auto* cable : cables)
          if (!cable->Near()->IsOpen()) return false;
        return true;
      },
      10000ms);
}

struct TResult {
  int code;
  std::string out, err;
};

// Runs a command that ends by itself.
inline TResult RunCli(std::vector<std::string> args) {
  TCliRun run(std::move(args));
  const int code = run.Wait();
  return {code, run.Out(), run.Err()};
}

// Log lines with their time stamps replaced by "<stamp>".
inline std::string WithoutStamps(const std::string& text) {
  static const std::regex stamp(R"(\d\d\.\d\d\.\d\d \d\d:\d\d:\d\d(\.\d\d\d)? :)");
  return std::regex_replace(text, stamp, "<stamp> :");
}

}  // namespace veltra::cli::test
