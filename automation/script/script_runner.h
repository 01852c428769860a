// Runs one Lua 5.4 script on its own thread, which owns the ports the script opens.
// The front ends (veltra-cli run, the window's script panel) start it, may stop it at
// any time (inside expect, sleep or an endless loop) and get its log, its progress
// and its result through the events below, which run on the script thread.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace veltra::script {

enum class TScriptOutcome { Passed, Failed, Error, Stopped };

struct TScriptResult {
  TScriptOutcome Outcome = TScriptOutcome::Error;
  // Passed/Failed: the script's own words; Error: "FILE:LINE: what"; Stopped: why.
  std::string Message;
  int Line = 0;  // where an error was raised, else 0
  double Seconds = 0;
  // check() calls that failed, in order, each "line N: message".
  std::vector<std::string> Failures;
  std::string Log;  // every log line, for a report
};

// "PASS", "FAIL", "ERROR", "STOPPED".
const char* OutcomeName(TScriptOutcome outcome);

struct TScriptSource {
  std::string Path;  // read when Text is empty; names the chunk in messages
  std::string Text;
  // arg[1..n]; "key=value" also sets arg.key.
  std::vector<std::string> Args;
};

class TScriptRunner {
 public:
  TScriptRunner();
  ~TScriptRunner();  // stops the script and waits for it
  TScriptRunner(const TScriptRunner&) = delete;
  TScriptRunner& operator=(const TScriptRunner&) = delete;

  // Set before Start. They run on the script thread.
  std::function<void(const std::string& line)> OnLog;
  std::function<void(const std::string& text)> OnProgress;
  std::function<void(const TScriptResult& result)> OnFinished;

  // False when a script is still running.
  bool Start(TScriptSource source);
  // Any thread; the script ends at its next instruction or wait ("stopped" unless
  // a reason is given).
  void Stop(const std::string& reason = "stopped");
  bool Running() const { return running_; }
  // Waits for the script to end and returns its result.
  TScriptResult Wait();

 private:
  struct TRun;
  std::shared_ptr<TRun> run_;
  std::thread thread_;
  std::atomic<bool> running_{false};
  TScriptResult result_;
};

// Runs a script on the calling thread's behalf and waits for it (tests, tools).
TScriptResult RunScript(TScriptSource source, std::function<void(const std::string&)> log = {});

}  // namespace veltra::script
