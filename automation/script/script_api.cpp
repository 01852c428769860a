// The Lua functions of a script. Lua raises errors with longjmp, which must never
// cross a C++ frame that owns something: every function does its work in a C++ body
// that throws, and only its thin wrapper raises the Lua error once that body has
// unwound.
#include <lua.hpp>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "session/port_settings.h"
#include "automation/script/script_context.h"
#include "automation/script/script_patterns.h"

namespace veltra::script {

namespace {

constexpr const char* kPortType = "veltra.port";
constexpr double kDefaultTimeout = 5.0;
// The end signal: a unique light userdata.
char endSignalTag;

class TApiError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
struct TEndNow {};  // pass, fail or a stop: unwind the script

TScriptContext& Ctx(lua_State* L) {
  return **static_cast<TScriptContext**>(lua_getextraspace(L));
}

int RaiseEnd(lua_State* L) {
  lua_pushlightuserdata(L, &endSignalTag);
  return lua_error(L);
}

using TApiFn = int (*)(lua_State*, TScriptContext&);

template <TApiFn F>
int Api(lua_State* L) {
  char message[1024];
  bool end = false;
  try {
    return F(L, Ctx(L));
  } catch (const TEndNow&) {
    end = true;
  } catch (const std::exception& e) {
    std::snprintf(message, sizeof message, "%s", e.what());
  }
  if (end) return RaiseEnd(L);
  return luaL_error(L, "%s", message);
}

// --- arguments ------------------------------------------------------------------------

std::string StringArg(lua_State* L, int i, const char* what) {
  const int type = lua_type(L, i);
  if (type != LUA_TSTRING && type != LUA_TNUMBER)
    throw TApiError(std::string(what) + " must be a string, not " + luaL_typename(L, i));
  std::size_t size = 0;
  const char* text = lua_tolstring(L, i, &size);
  return std::string(text, size);
}

double NumberArg(lua_State* L, int i, const char* what, double fallback) {
  if (lua_isnoneornil(L, i)) return fallback;
  int isNumber = 0;
  const double value = lua_tonumberx(L, i, &isNumber);
  if (!isNumber || !std::isfinite(value) || value < 0)
    throw TApiError(std::string(what) + " must be a number of seconds, 0 or more");
  return value;
}

Clock::duration Seconds(double s) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

int CurrentLine(lua_State* L) {
  lua_Debug ar;
  for (int level = 1; lua_getstack(L, level, &ar); ++level) {
    lua_getinfo(L, "l", &ar);
    if (ar.currentline > 0) return ar.currentline;
  }
  return 0;
}

void Progress(lua_State* L, TScriptContext& c, const std::string& what) {
  if (c.Progress) c.Progress("line " + std::to_string(CurrentLine(L)) + ": " + what);
}

// A wait that a stop ended unwinds the script.
bool Waited(TScriptContext& c, const std::function<bool()>& done, Clock::time_point deadline) {
  const auto end = c.Owner.WaitUntil(done, deadline);
  if (end == TScriptOwner::TEnd::Stopped) throw TEndNow{};
  return end == TScriptOwner::TEnd::Done;
}

// --- ports ----------------------------------------------------------------------------

TScriptPort& PortArg(lua_State* L) {
  auto* ref = static_cast<TScriptPort**>(luaL_testudata(L, 1, kPortType));
  if (ref == nullptr) throw TApiError("call port functions with ':' (port:send(...))");
  return **ref;
}

template <std::size_t N>
std::size_t Choice(const std::array<const char*, N>& names, const std::string& text,
                   const char* key) {
  for (std::size_t i = 0; i < N; ++i)
    if (text == names[i]) return i;
  std::string list;
  for (const char* name : names) list += (list.empty() ? "" : "|") + std::string(name);
  throw TApiError(std::string(key) + ": '" + text + "' is not one of " + list);
}

std::uint32_t Whole(lua_State* L, int i, const char* key, std::uint32_t min, std::uint32_t max) {
  int isInteger = 0;
  const lua_Integer v = lua_tointegerx(L, i, &isInteger);
  if (!isInteger || v < min || v > max)
    throw TApiError(std::string(key) + " must be a whole number from " + std::to_string(min) +
                    " to " + std::to_string(max));
  return static_cast<std::uint32_t>(v);
}

void ReadSetting(lua_State* L, const std::string& key, TPortConfig& c) {
  static constexpr std::array<const char*, 5> kParity{"none", "odd", "even", "mark", "space"};
  static constexpr std::array<const char*, 4> kFlow{"none", "xonxoff", "rtscts", "dsrdtr"};
  static constexpr std::array<const char*, 3> kStop{"1", "1.5", "2"};
  static constexpr std::array<const char*, 5> kReport{"nothing", "errors", "warnings", "debuginfo",
                                                      "everything"};
  const char* k = key.c_str();
  if (key == "baud") {
    c.BaudRate = Whole(L, -1, k, 1, 0x7FFFFFFF);
  } else if (key == "data") {
    c.DataBits = static_cast<Byte>(Whole(L, -1, k, 4, 8));
  } else if (key == "parity") {
    c.ParityType = static_cast<Byte>(Choice(kParity, StringArg(L, -1, k), k));
  } else if (key == "stop") {
    c.StopBits = static_cast<Byte>(Choice(kStop, StringArg(L, -1, k), k));
  } else if (key == "flow") {
    c.FlowControl = session::FlowControlCodes[Choice(kFlow, StringArg(L, -1, k), k)];
  } else if (key == "rto_char") {
    c.RTOCharDelayTime = Whole(L, -1, k, 0, 0x7FFFFFFF);
  } else if (key == "rto_extra") {
    c.RTOExtraDelayTime = static_cast<Word>(Whole(L, -1, k, 0, 65535));
  } else if (key == "wto_char") {
    c.WTOCharDelayTime = Whole(L, -1, k, 0, 0x7FFFFFFF);
  } else if (key == "wto_extra") {
    c.WTOExtraDelayTime = static_cast<Word>(Whole(L, -1, k, 0, 65535));
  } else if (key == "event_char") {
    c.EventChar = static_cast<Char>(ReadCharCode(StringArg(L, -1, k))[0]);
  } else if (key == "report") {
    c.ErrorNoise = static_cast<Byte>(Choice(kReport, StringArg(L, -1, k), k));
  } else {
    throw TApiError("'" + key +
                    "' is not a port setting (baud data parity stop flow rto_char rto_extra "
                    "wto_char wto_extra event_char report)");
  }
}

// The settings table at index i (nil: none).
TPortConfig ConfigArg(lua_State* L, int i) {
  TPortConfig config;
  if (lua_isnoneornil(L, i)) return config;
  if (!lua_istable(L, i)) throw TApiError("port settings must be a table ({baud = 9600, ...})");
  const int table = lua_absindex(L, i);
  lua_pushnil(L);
  while (lua_next(L, table) != 0) {
    if (lua_type(L, -2) != LUA_TSTRING) {
      lua_pop(L, 2);
      throw TApiError("port settings are named: {baud = 9600, parity = \"even\"}");
    }
    const std::string key = lua_tostring(L, -2);
    try {
      ReadSetting(L, key, config);
    } catch (...) {
      lua_pop(L, 2);
      throw;
    }
    lua_pop(L, 1);
  }
  return config;
}

int OpenPort(lua_State* L, TScriptContext& c) {
  const std::string name = StringArg(L, 1, "the port name");
  const TPortConfig config = ConfigArg(L, 2);
  Progress(L, c, "open " + name);
  auto port = std::make_unique<TScriptPort>(c.Owner, name,
                                            [&c](const std::string& line) { c.AddLog(line); });
  port->Apply(config);
  std::string why;
  if (!port->Open(&why)) throw TApiError("cannot open " + name + ": " + why);
  auto** ref = static_cast<TScriptPort**>(lua_newuserdatauv(L, sizeof(TScriptPort*), 0));
  *ref = port.get();
  luaL_setmetatable(L, kPortType);
  c.Ports.push_back(std::move(port));
  return 1;
}

int Reopen(lua_State* L, TScriptContext& c) {
  TScriptPort& p = PortArg(L);
  if (p.IsOpen()) return 0;
  Progress(L, c, "open " + p.Name());
  std::string why;
  if (!p.Open(&why)) throw TApiError("cannot open " + p.Name() + ": " + why);
  return 0;
}

int ClosePort(lua_State* L, TScriptContext& c) {
  TScriptPort& p = PortArg(L);
  Progress(L, c, "close " + p.Name());
  p.Close();
  return 0;
}

int Configure(lua_State* L, TScriptContext&) {
  TScriptPort& p = PortArg(L);
  p.Apply(ConfigArg(L, 2));
  return 0;
}

void SendBytes(lua_State* L, TScriptContext& c, TScriptPort& p, const std::string& bytes) {
  Progress(L, c, "send " + ShownBytes(bytes.substr(0, 40)) + " to " + p.Name());
  std::string why;
  if (p.Send(bytes, &why)) return;
  if (c.Owner.StopRequested()) throw TEndNow{};
  throw TApiError("send: " + why);
}

// send(a, b, ...): the strings one after the other, as one write.
int Send(lua_State* L, TScriptContext& c) {
  TScriptPort& p = PortArg(L);
  std::string bytes;
  for (int i = 2; i <= lua_gettop(L); ++i) bytes += StringArg(L, i, "what is sent");
  SendBytes(L, c, p, bytes);
  return 0;
}

int SendHex(lua_State* L, TScriptContext& c) {
  TScriptPort& p = PortArg(L);
  SendBytes(L, c, p, ReadHex(StringArg(L, 2, "the hex bytes")));
  return 0;
}

int SendAsc(lua_State* L, TScriptContext& c) {
  TScriptPort& p = PortArg(L);
  SendBytes(L, c, p, ReadAsciiCodes(StringArg(L, 2, "the codes")));
  return 0;
}

// Waits for the first match in what the port received; what comes before it is
// dropped, the match is consumed. find returns the match or nothing.
using TFind = std::function<std::optional<TFound>(const std::string&)>;
std::optional<std::string> Expect(TScriptContext& c, TScriptPort& p, const TFind& find,
                                  double timeout) {
  const auto deadline = Clock::now() + Seconds(timeout);
  std::optional<TFound> found;
  std::uint64_t seen = ~std::uint64_t{0};
  auto matched = [&] {
    if (p.Arrivals() == seen) return false;
    seen = p.Arrivals();
    found = find(p.Buffer());
    return found.has_value();
  };
  if (!Waited(c, matched, deadline)) return std::nullopt;
  std::string match = p.Buffer().substr(found->Begin, found->End - found->Begin);
  p.Buffer().erase(0, found->End);
  return match;
}

int PushExpected(lua_State* L, const std::optional<std::string>& match) {
  if (match) {
    lua_pushlstring(L, match->data(), match->size());
    return 1;
  }
  lua_pushnil(L);
  lua_pushliteral(L, "timeout");
  return 2;
}

int ExpectText(lua_State* L, TScriptContext& c) {
  TScriptPort& p = PortArg(L);
  const std::string text = StringArg(L, 2, "the expected text");
  const double timeout = NumberArg(L, 3, "the time-out", kDefaultTimeout);
  Progress(L, c, "expect " + ShownBytes(text.substr(0, 40)) + " on " + p.Name());
  return PushExpected(L,
                      Expect(
                          c, p, [&](const std::string& b) { return FindText(b, text); }, timeout));
}

int ExpectHex(lua_State* L, TScriptContext& c) {
  TScriptPort& p = PortArg(L);
  const std::string text = StringArg(L, 2, "the hex pattern");
  const THexPattern pattern = ReadHexPattern(text);
  const double timeout = NumberArg(L, 3, "the time-out", kDefaultTimeout);
  Progress(L, c, "expect hex " + text.substr(0, 40) + " on " + p.Name());
  return PushExpected(
      L, Expect(
             c, p, [&](const std::string& b) { return FindHex(b, pattern); }, timeout));
}

// A Lua pattern through string.find; returns the match and its captures.
int ExpectPattern(lua_State* L, TScriptContext& c) {
  TScriptPort& p = PortArg(L);
  const std::string pattern = StringArg(L, 2, "the pattern");
  const double timeout = NumberArg(L, 3, "the time-out", kDefaultTimeout);
  Progress(L, c, "expect pattern " + ShownBytes(pattern.substr(0, 40)) + " on " + p.Name());
  const int base = lua_gettop(L);
  std::string error;
  auto find = [&](const std::string& buffer) -> std::optional<TFound> {
    lua_settop(L, base);
    lua_getfield(L, LUA_REGISTRYINDEX, "veltra.find");
    lua_pushlstring(L, buffer.data(), buffer.size());
    lua_pushlstring(L, pattern.data(), pattern.size());
    if (lua_pcall(L, 2, LUA_MULTRET, 0) != LUA_OK) {
      error = lua_tostring(L, -1) != nullptr ? lua_tostring(L, -1) : "bad pattern";
      lua_settop(L, base);
      throw TApiError("expect_pattern: " + error);
    }
    if (lua_isnil(L, base + 1)) return std::nullopt;
    const auto begin = static_cast<std::size_t>(lua_tointeger(L, base + 1) - 1);
    const auto end = static_cast<std::size_t>(lua_tointeger(L, base + 2));
    return TFound{begin, std::max(begin, end)};
  };
  const auto match = Expect(c, p, find, timeout);
  if (!match) {
    lua_settop(L, base);
    return PushExpected(L, match);
  }
  // The captures follow start and end; the match goes in their place.
  const int captures = lua_gettop(L) - base - 2;
  lua_pushlstring(L, match->data(), match->size());
  lua_replace(L, base + 1);
  lua_remove(L, base + 2);
  return 1 + captures;
}

// Whatever arrived; waits up to the time-out for something when nothing has.
int Read(lua_State* L, TScriptContext& c) {
  TScriptPort& p = PortArg(L);
  const double timeout = NumberArg(L, 2, "the time-out", 0);
  if (p.Buffer().empty() && timeout > 0) {
    Progress(L, c, "read " + p.Name());
    Waited(
        c, [&] { return !p.Buffer().empty(); }, Clock::now() + Seconds(timeout));
  }
  c.Owner.Calls.ServePending();
  lua_pushlstring(L, p.Buffer().data(), p.Buffer().size());
  p.Buffer().clear();
  return 1;
}

int Flush(lua_State* L, TScriptContext& c) {
  TScriptPort& p = PortArg(L);
  c.Owner.Calls.ServePending();
  lua_pushinteger(L, static_cast<lua_Integer>(p.Buffer().size()));
  p.Buffer().clear();
  return 1;
}

int SetRts(lua_State* L, TScriptContext&) {
  PortArg(L).Port().SetRTSState(lua_toboolean(L, 2) != 0);
  return 0;
}

int SetDtr(lua_State* L, TScriptContext&) {
  PortArg(L).Port().SetDTRState(lua_toboolean(L, 2) != 0);
  return 0;
}

int SendBreak(lua_State* L, TScriptContext& c) {
  TScriptPort& p = PortArg(L);
  const double seconds = NumberArg(L, 2, "the break's length", 0.25);
  Progress(L, c, "break on " + p.Name());
  p.Port().SetBREAKState(true);
  const bool stopped = c.Owner.WaitUntil([] { return false; }, Clock::now() + Seconds(seconds)) ==
                       TScriptOwner::TEnd::Stopped;
  p.Port().SetBREAKState(false);
  if (stopped) throw TEndNow{};
  return 0;
}

int Modem(lua_State* L, TScriptContext& c) {
  TScriptPort& p = PortArg(L);
  c.Owner.Calls.ServePending();
  lua_createtable(L, 0, 4);
  lua_pushboolean(L, p.Port().CTSState());
  lua_setfield(L, -2, "cts");
  lua_pushboolean(L, p.Port().DSRState());
  lua_setfield(L, -2, "dsr");
  lua_pushboolean(L, p.Port().RLSDState());
  lua_setfield(L, -2, "dcd");
  lua_pushboolean(L, p.Port().RingState());
  lua_setfield(L, -2, "ring");
  return 1;
}

int Trace(lua_State* L, TScriptContext&) {
  PortArg(L).SetTrace(lua_isnone(L, 2) || lua_toboolean(L, 2) != 0);
  return 0;
}

// port.name, else the methods.
int PortIndex(lua_State* L) {
  auto** ref = static_cast<TScriptPort**>(luaL_checkudata(L, 1, kPortType));
  const char* key = lua_tostring(L, 2);
  if (key != nullptr && std::strcmp(key, "name") == 0) {
    lua_pushstring(L, (*ref)->Name().c_str());
    return 1;
  }
  lua_getfield(L, lua_upvalueindex(1), key != nullptr ? key : "");
  return 1;
}

// --- globals --------------------------------------------------------------------------

int Sleep(lua_State* L, TScriptContext& c) {
  const double seconds = NumberArg(L, 1, "sleep's time", 0);
  Progress(L, c, "sleep");
  Waited(
      c, [] { return false; }, Clock::now() + Seconds(seconds));
  return 0;
}

std::string JoinedArgs(lua_State* L, int from) {
  std::string text;
  for (int i = from; i <= lua_gettop(L); ++i) {
    std::size_t size = 0;
    const char* piece = luaL_tolstring(L, i, &size);  // may call __tostring
    if (i > from) text += ' ';
    text.append(piece, size);
    lua_pop(L, 1);
  }
  return text;
}

int Log(lua_State* L, TScriptContext& c) {
  c.AddLog(JoinedArgs(L, 1));
  return 0;
}

int SetProgress(lua_State* L, TScriptContext& c) {
  if (c.Progress) c.Progress(JoinedArgs(L, 1));
  return 0;
}

int EndScript(lua_State* L, TScriptContext& c, TScriptOutcome outcome) {
  c.Ended = true;
  c.EndOutcome = outcome;
  c.EndMessage = lua_isnoneornil(L, 1) ? "" : JoinedArgs(L, 1);
  throw TEndNow{};
}

int Pass(lua_State* L, TScriptContext& c) {
  return EndScript(L, c, TScriptOutcome::Passed);
}

int Fail(lua_State* L, TScriptContext& c) {
  return EndScript(L, c, TScriptOutcome::Failed);
}

// check(condition, message): a failure is counted and logged; the script goes on.
int Check(lua_State* L, TScriptContext& c) {
  const bool ok = lua_toboolean(L, 1) != 0;
  if (!ok) {
    const std::string what = lua_isnoneornil(L, 2) ? "check failed" : JoinedArgs(L, 2);
    const std::string failure = "line " + std::to_string(CurrentLine(L)) + ": " + what;
    c.Result.Failures.push_back(failure);
    c.AddLog("check failed: " + failure);
  }
  lua_pushboolean(L, ok);
  return 1;
}

int Hex(lua_State* L, TScriptContext&) {
  const std::string bytes = ReadHex(StringArg(L, 1, "the hex bytes"));
  lua_pushlstring(L, bytes.data(), bytes.size());
  return 1;
}

int Asc(lua_State* L, TScriptContext&) {
  const std::string bytes = ReadAsciiCodes(StringArg(L, 1, "the codes"));
  lua_pushlstring(L, bytes.data(), bytes.size());
  return 1;
}

int Code(lua_State* L, TScriptContext&) {
  const std::string byte = ReadCharCode(StringArg(L, 1, "the character code"));
  lua_pushlstring(L, byte.data(), byte.size());
  return 1;
}

int Elapsed(lua_State* L, TScriptContext& c) {
  lua_pushnumber(L, std::chrono::duration<double>(Clock::now() - c.Started).count());
  return 1;
}

int NoExit(lua_State* L) {
  return luaL_error(L, "os.exit would end the program; use pass() or fail()");
}

// pcall and xpcall that cannot catch the end of a script.
int GuardedCall(lua_State* L) {
  lua_pushvalue(L, lua_upvalueindex(1));
  lua_insert(L, 1);
  lua_call(L, lua_gettop(L) - 1, LUA_MULTRET);
  TScriptContext& c = Ctx(L);
  if (c.Ended || c.Owner.StopRequested()) return RaiseEnd(L);
  return lua_gettop(L);
}

void GuardCatcher(lua_State* L, const char* table, const char* name) {
  if (table != nullptr) {
    lua_getglobal(L, table);
  } else {
    lua_pushglobaltable(L);
  }
  lua_getfield(L, -1, name);
  lua_pushcclosure(L, GuardedCall, 1);
  lua_setfield(L, -2, name);
  lua_pop(L, 1);
}

// Every few thousand instructions: a stop ends even an endless loop, and the
// workers' calls are served while the script computes.
void CountHook(lua_State* L, lua_Debug*) {
  TScriptContext& c = Ctx(L);
  if (c.Ended || c.Owner.StopRequested()) {
    RaiseEnd(L);
    return;
  }
  if (++c.HookRounds % 16 == 0) c.Owner.Calls.ServePending();
}

void RegisterPortType(lua_State* L) {
  static const luaL_Reg methods[] = {
      {"send", Api<Send>},
      {"send_hex", Api<SendHex>},
      {"send_asc", Api<SendAsc>},
      {"expect", Api<ExpectText>},
      {"expect_hex", Api<ExpectHex>},
      {"expect_pattern", Api<ExpectPattern>},
      {"read", Api<Read>},
      {"flush", Api<Flush>},
      {"configure", Api<Configure>},
      {"open", Api<Reopen>},
      {"close", Api<ClosePort>},
      {"rts", Api<SetRts>},
      {"dtr", Api<SetDtr>},
      {"send_break", Api<SendBreak>},
      {"modem", Api<Modem>},
      {"trace", Api<Trace>},
      {nullptr, nullptr},
  };
  luaL_newmetatable(L, kPortType);
  luaL_newlib(L, methods);
  lua_pushcclosure(L, PortIndex, 1);
  lua_setfield(L, -2, "__index");
  lua_pop(L, 1);
}

void RegisterGlobals(lua_State* L) {
  static const luaL_Reg globals[] = {
      {"open", Api<OpenPort>}, {"sleep", Api<Sleep>},
      {"log", Api<Log>},       {"progress", Api<SetProgress>},
      {"pass", Api<Pass>},     {"fail", Api<Fail>},
      {"check", Api<Check>},   {"hex", Api<Hex>},
      {"asc", Api<Asc>},       {"code", Api<Code>},
      {"clock", Api<Elapsed>}, {nullptr, nullptr},
  };
  lua_pushglobaltable(L);
  luaL_setfuncs(L, globals, 0);
  static const std::pair<const char*, char> kControls[] = {
      {"NUL", 0x00}, {"STX", 0x02}, {"ETX", 0x03}, {"EOT", 0x04}, {"ENQ", 0x05}, {"ACK", 0x06},
      {"LF", 0x0A},  {"CR", 0x0D},  {"DLE", 0x10}, {"NAK", 0x15}, {"ESC", 0x1B}};
  for (const auto& [name, byte] : kControls) {
    lua_pushlstring(L, &byte, 1);
    lua_setfield(L, -2, name);
  }
  lua_pop(L, 1);
}

}  // namespace

bool IsEndSignal(lua_State* L, int index) {
  return lua_touserdata(L, index) == &endSignalTag;
}

void OpenScriptApi(lua_State* L, TScriptContext& context) {
  *static_cast<TScriptContext**>(lua_getextraspace(L)) = &context;
  luaL_openlibs(L);
  lua_getglobal(L, "string");
  lua_getfield(L, -1, "find");
  lua_setfield(L, LUA_REGISTRYINDEX, "veltra.find");
  lua_pop(L, 1);
  lua_getglobal(L, "os");
  lua_pushcfunction(L, NoExit);
  lua_setfield(L, -2, "exit");
  lua_pop(L, 1);
  GuardCatcher(L, nullptr, "pcall");
  GuardCatcher(L, nullptr, "xpcall");
  GuardCatcher(L, "coroutine", "resume");
  RegisterPortType(L);
  RegisterGlobals(L);
  lua_sethook(L, CountHook, LUA_MASKCOUNT, 1000);
}

}  // namespace veltra::script
