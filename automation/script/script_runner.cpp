#include "automation/script/script_runner.h"

#include <lua.hpp>

#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include "automation/script/script_context.h"
#include "platform/core/thread_name.h"

namespace veltra::script {

const char* OutcomeName(TScriptOutcome outcome) {
  switch (outcome) {
    case TScriptOutcome::Passed:
      return "PASS";
    case TScriptOutcome::Failed:
      return "FAIL";
    case TScriptOutcome::Error:
      return "ERROR";
    case TScriptOutcome::Stopped:
      return "STOPPED";
  }
  return "ERROR";
}

// What Stop and the script thread share; the owner exists only while the script runs.
struct TScriptRunner::TRun {
  std::mutex mutex;
  TScriptOwner* owner = nullptr;
  std::string stopReason;
};

namespace {

// Scripts are a few kilobytes; this keeps a mistaken path from reading a disk image.
constexpr std::size_t kScriptSizeLimit = 4u << 20;
constexpr const char* kErrorLineKey = "veltra.errorline";

bool ReadScript(const std::string& path, std::string* text, std::string* why) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *why = "cannot read the script " + path + ": " + std::strerror(errno);
    return false;
  }
  std::ostringstream bytes;
  bytes << in.rdbuf();
  *text = bytes.str();
  if (text->size() > kScriptSizeLimit) {
    *why = "the script " + path + " is larger than 4 MiB";
    return false;
  }
  return true;
}

// Message handler: the end signal goes through as it is; an error gets the line of
// the innermost Lua function that raised it, in front unless Lua put it there.
int ErrorWithLine(lua_State* L) {
  if (IsEndSignal(L, 1)) return 1;
  const char* message = lua_tostring(L, 1);
  std::string text =
      message != nullptr ? message : std::string("error (") + luaL_typename(L, 1) + ")";
  lua_Debug ar;
  int line = 0;
  std::string where;
  for (int level = 1; lua_getstack(L, level, &ar); ++level) {
    lua_getinfo(L, "Sl", &ar);
    if (ar.currentline > 0) {
      line = ar.currentline;
      where = std::string(ar.short_src) + ":" + std::to_string(line) + ":";
      break;
    }
  }
  if (!where.empty() && text.rfind(where, 0) != 0) text = where + " " + text;
  lua_pushstring(L, text.c_str());
  lua_pushinteger(L, line);
  lua_setfield(L, LUA_REGISTRYINDEX, kErrorLineKey);  // read back by the runner
  return 1;
}

// "file:12: ..." from a syntax error: the number after the chunk name.
int LineOf(const std::string& message, const std::string& chunk) {
  if (message.rfind(chunk + ":", 0) != 0) return 0;
  return std::atoi(message.c_str() + chunk.size() + 1);
}

void SetArgs(lua_State* L, const TScriptSource& source) {
  lua_createtable(L, static_cast<int>(source.Args.size()), 0);
  lua_pushstring(L, source.Path.c_str());
  lua_rawseti(L, -2, 0);
  lua_Integer i = 1;
  for (const std::string& a : source.Args) {
    lua_pushlstring(L, a.data(), a.size());
    lua_rawseti(L, -2, i++);
    const auto eq = a.find('=');
    if (eq != std::string::npos && eq > 0) {
      lua_pushlstring(L, a.data() + eq + 1, a.size() - eq - 1);
      lua_setfield(L, -2, a.substr(0, eq).c_str());
    }
  }
  lua_setglobal(L, "arg");
}

void Execute(lua_State* L, TScriptContext& c, const TScriptSource& source,
             const std::string& text) {
  TScriptResult& r = c.Result;
  const std::string chunk = source.Path.empty() ? "script" : source.Path;
  lua_pushcfunction(L, ErrorWithLine);
  if (luaL_loadbufferx(L, text.data(), text.size(), ("@" + chunk).c_str(), "t") != LUA_OK) {
    r.Outcome = TScriptOutcome::Error;
    r.Message = lua_tostring(L, -1) != nullptr ? lua_tostring(L, -1) : "cannot load the script";
    r.Line = LineOf(r.Message, chunk);
    return;
  }
  SetArgs(L, source);
  const int status = lua_pcall(L, 0, 0, 1);
  if (c.Ended) {
    r.Outcome = c.EndOutcome;
    r.Message = c.EndMessage;
  } else if (c.Owner.StopRequested()) {
    r.Outcome = TScriptOutcome::Stopped;
    r.Message = c.Owner.StopReason();
  } else if (status != LUA_OK) {
    r.Outcome = TScriptOutcome::Error;
    r.Message = lua_tostring(L, -1) != nullptr ? lua_tostring(L, -1) : "error";
    lua_getfield(L, LUA_REGISTRYINDEX, kErrorLineKey);
    r.Line = static_cast<int>(lua_tointeger(L, -1));
  } else {
    r.Outcome = TScriptOutcome::Passed;
  }
  // Checks that failed turn an ending without fail() into a failure.
  if (r.Outcome == TScriptOutcome::Passed && !r.Failures.empty()) {
    r.Outcome = TScriptOutcome::Failed;
    r.Message = std::to_string(r.Failures.size()) +
                " of the checks failed, the first: " + r.Failures.front();
  }
}

}  // namespace

TScriptRunner::TScriptRunner() : run_(std::make_shared<TRun>()) {}

TScriptRunner::~TScriptRunner() {
  Stop();
  if (thread_.joinable()) thread_.join();
}

bool TScriptRunner::Start(TScriptSource source) {
  if (running_) return false;
  if (thread_.joinable()) thread_.join();
  run_ = std::make_shared<TRun>();
  running_ = true;
  thread_ = std::thread([this, run = run_, source = std::move(source)] {
    platform::NameCurrentThread("veltra-script");
    TScriptResult result;
    std::string text = source.Text;
    std::string why;
    if (text.empty() && !ReadScript(source.Path, &text, &why)) {
      result.Message = why;
    } else {
      auto context = std::make_unique<TScriptContext>(result);
      context->Log = OnLog;
      context->Progress = OnProgress;
      {
        std::lock_guard lock(run->mutex);
        run->owner = &context->Owner;
        if (!run->stopReason.empty()) context->Owner.RequestStop(run->stopReason);
      }
      lua_State* L = luaL_newstate();
      OpenScriptApi(L, *context);
      Execute(L, *context, source, text);
      lua_close(L);
      {
        std::lock_guard lock(run->mutex);
        run->owner = nullptr;
      }
      result.Seconds = std::chrono::duration<double>(Clock::now() - context->Started).count();
      context.reset();  // the ports close here, on their owner's thread
    }
    result_ = result;
    running_ = false;
    if (OnFinished) OnFinished(result);
  });
  return true;
}

void TScriptRunner::Stop(const std::string& reason) {
  std::lock_guard lock(run_->mutex);
  if (run_->stopReason.empty()) run_->stopReason = reason;
  if (run_->owner != nullptr) run_->owner->RequestStop(reason);
}

TScriptResult TScriptRunner::Wait() {
  if (thread_.joinable()) thread_.join();
  return result_;
}

TScriptResult RunScript(TScriptSource source, std::function<void(const std::string&)> log) {
  TScriptRunner runner;
  runner.OnLog = std::move(log);
  runner.Start(std::move(source));
  return runner.Wait();
}

}  // namespace veltra::script
