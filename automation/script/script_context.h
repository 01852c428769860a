// What the Lua functions of a running script share: its owner, its ports, where its
// log and progress go and how it ended. Private to the script layer.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "automation/script/script_owner.h"
#include "automation/script/script_port.h"
#include "automation/script/script_runner.h"

struct lua_State;

namespace veltra::script {

struct TScriptContext {
  explicit TScriptContext(TScriptResult& result) : Result(result) {}
  ~TScriptContext() { Ports.clear(); }  // closes them while the owner still serves

  TScriptOwner Owner;
  std::vector<std::unique_ptr<TScriptPort>> Ports;
  std::function<void(const std::string&)> Log, Progress;
  TScriptResult& Result;
  Clock::time_point Started = Clock::now();
  // pass() or fail() was called: the script unwinds and nothing may catch it.
  bool Ended = false;
  TScriptOutcome EndOutcome = TScriptOutcome::Passed;
  std::string EndMessage;
  int HookRounds = 0;

  void AddLog(const std::string& line) {
    Result.Log += line;
    Result.Log += '\n';
    if (Log) Log(line);
  }
};

// Registers the API in a fresh state whose extra space holds `context`.
void OpenScriptApi(lua_State* L, TScriptContext& context);
// The value every unwinding end (pass, fail, stop) raises; recognised by the runner.
bool IsEndSignal(lua_State* L, int index);

}  // namespace veltra::script
