#include "cli/options.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <sstream>

#include "session/char_code.h"
#include "session/device_commands.h"
#include "session/hex_text.h"
#include "session/integer_text.h"

namespace veltra::cli {

namespace {

constexpr const char* kFooter = R"(Examples:
  veltra-cli list --json
  veltra-cli monitor ttyUSB0 --baud 9600 --parity even --data 7 --timestamps=ms
  veltra-cli spy ttyUSB0 ttyUSB1 --flow rtscts --log spy.log
  veltra-cli send ttyUSB0 --hex "02 30 31 03" --cr
  veltra-cli scale weight --settings ComTest1
  veltra-cli run examples/soak.lua rounds=50 --junit soak.xml
Exit status: 0 done, 1 the port or printer failed, 2 bad input.
run: 0 the script passed, 1 it failed or was stopped, 2 a script error.)";

// An option whose text is read by `read`; a TBadValue becomes an error naming it.
template <typename T, typename Read>
CLI::Option* AddValue(CLI::App* app, const std::string& name, std::optional<T>& target, Read read,
                      const std::string& help) {
  return app->add_option_function<std::string>(
      name,
      [name, &target, read](const std::string& text) {
        try {
          target = static_cast<T>(read(text));
        } catch (const TBadValue& e) {
          throw CLI::ValidationError(name, e.what());
        }
      },
      help);
}

template <typename T>
auto Unsigned(std::uint32_t min, std::uint32_t max) {
  return
      [min, max](const std::string& text) { return static_cast<T>(ReadUnsigned(text, min, max)); };
}

// The per-port choices of the window's settings page; spy takes them a second time
// with "2" appended for port 2.
void AddPortOptions(CLI::App* app, TLineOptions& o, const std::string& suffix) {
  const std::string of = suffix.empty() ? "" : " of port 2";
  AddValue(app, "--settings" + suffix, o.Section, ReadSection,
           "take the settings saved by the window (ComTest1|ComTest2)" + of);
  AddValue(app, "--baud" + suffix, o.BaudRate, Unsigned<Cardinal>(1, 0x7FFFFFFF),
           "baud rate (any rate the port takes)" + of);
  AddValue(app, "--data" + suffix, o.DataBits, ReadDataBits, "data bits, 4 to 8" + of);
  AddValue(app, "--parity" + suffix, o.ParityType, ReadParity, "none|odd|even|mark|space" + of);
  AddValue(app, "--stop" + suffix, o.StopBits, ReadStopBits, "stop bits: 1|1.5|2" + of);
  AddValue(app, "--flow" + suffix, o.FlowControl, ReadFlow, "none|rtscts|dsrdtr|xonxoff" + of);
}

void AddLineOptions(CLI::App* app, TLineOptions& o) {
  AddPortOptions(app, o, "");
  AddValue(app, "--event-char", o.EventChar, ReadCharCode,
           "event character: a character or a code (13, 0x0D, $0D)");
  AddValue(app, "--xon-char", o.XONChar, ReadCharCode, "XON character");
  AddValue(app, "--xoff-char", o.XOFFChar, ReadCharCode, "XOFF character");
  AddValue(app, "--xon-limit", o.XONLimDiv, Unsigned<Byte>(0, 100), "XON limit, % of the queue");
  AddValue(app, "--xoff-limit", o.XOFFLimDiv, Unsigned<Byte>(0, 100), "XOFF limit, % of the queue");
  AddValue(app, "--parity-error-char", o.ParityErrorChar, ReadCharCode,
           "replace bytes received with a parity error by this character");
  app->add_flag("--strip-nulls", o.StripNullChars, "drop received NUL bytes");
  AddValue(app, "--rto-char", o.RTOCharDelayTime, Unsigned<Cardinal>(0, 0x7FFFFFFF),
           "receive: microseconds per waiting byte before a block is cut (default from the baud)");
  AddValue(app, "--rto-extra", o.RTOExtraDelayTime, Unsigned<Word>(0, 65535),
           "receive: milliseconds of quiet added (default 250)");
  AddValue(app, "--wto-char", o.WTOCharDelayTime, Unsigned<Cardinal>(0, 0x7FFFFFFF),
           "send: microseconds per byte before a write times out (default from the baud)");
  AddValue(app, "--wto-extra", o.WTOExtraDelayTime, Unsigned<Word>(0, 65535),
           "send: milliseconds added to the write time-out (default 250)");
  AddValue(app, "--cluster-size", o.ClusterSize, Unsigned<Word>(1, 65535),
           "bytes waiting that make a block (default 3072)");
  AddValue(app, "--rx-queue", o.RxQueueSize, Unsigned<Word>(1, 65535),
           "driver receive queue in bytes (default 65535)");
  AddValue(app, "--tx-queue", o.TxQueueSize, Unsigned<Word>(1, 65535),
           "driver transmit queue in bytes (default 65535)");
  AddValue(app, "--report", o.ErrorNoise, ReadReportLevel,
           "reports shown: nothing|errors|warnings|debuginfo|everything (the window's list)");
}

struct TOutputTexts {
  std::optional<std::string> events, stamps;
};

void AddOutputOptions(CLI::App* app, TOptions& o, TOutputTexts& t) {
  app->add_flag("-q,--quiet", o.Quiet, "no traffic or events on the terminal");
  app->add_option("--events", t.events, "comm events: stderr|inline|off");
  app->add_option("--timestamps", t.stamps, "time stamps: s (as the window) or ms");
  app->add_option("--log", o.LogPath,
                  "write FILE (events, errors) and the traffic beside it (m.log: m.txt, "
                  "m.txt: m-traffic.txt), as \"Save Logs\" does");
  app->add_flag("!--no-status", o.Status, "no status line on a terminal");
}

struct TSendTexts {
  std::optional<std::string> text, hex, asc, file, seq;
  bool cr = false, noCr = false, lf = false;
  std::optional<double> listen;
};

void AddEndingOptions(CLI::App* app, TSendTexts& t) {
  app->add_flag("--cr", t.cr, "append CR (\"Add CR\")");
  app->add_flag("--no-cr", t.noCr, "no CR, where it is the default");
  app->add_flag("--lf", t.lf, "append LF (\"Add LF\")");
}

void AddListen(CLI::App* app, TSendTexts& t, const std::string& help) {
  app->add_option("--listen", t.listen, help)->check(CLI::NonNegativeNumber);
}

}  // namespace

namespace {

struct TTexts {
  std::optional<std::string> decode, decode2;
  TOutputTexts output;
  TSendTexts send;
  std::string action;
  std::string drawer = "1";
};

std::string SendData(const TSendTexts& t) {
  const int given = !!t.text + !!t.hex + !!t.asc + !!t.file + !!t.seq;
  if (given != 1)
    throw TUsageError("send: give exactly one of --text, --hex, --asc, --file, --seq");
  if (t.seq) return {};  // the sequence's parts, read with its library
  try {
    if (t.text) return *t.text;
    if (t.hex) return session::ParseHexBytes(*t.hex);
  } catch (const session::EConvertError& e) {
    throw TUsageError(std::string("--hex: ") + e.what());
  }
  if (t.asc) {
    const std::string skipped = session::FirstSkippedAsciiCode(*t.asc);
    if (!skipped.empty())
      throw TUsageError("--asc: '" + skipped +
                        "' is not a code from 000 to 255 (three characters, one separator)");
    return session::ParseAsciiCodes(*t.asc);
  }
  std::ifstream in(*t.file, std::ios::binary);
  std::ostringstream bytes;
  if (!in || !(bytes << in.rdbuf())) throw TUsageError("--file: cannot read '" + *t.file + "'");
  return bytes.str();
}

std::string DeviceCommand(TCommand command, const std::string& action) {
  struct Row {
    TCommand command;
    const char* action;
    const std::string& bytes;
  };
  const Row rows[] = {{TCommand::Scanner, "enable", session::kMagellanEnable},
                      {TCommand::Scanner, "disable", session::kMagellanDisable},
                      {TCommand::Scanner, "beep", session::kMagellanNotOnFileBeep},
                      {TCommand::Scale, "test", session::kScaleCommand},
                      {TCommand::Scale, "weight", session::kScaleWeightRequest},
                      {TCommand::Er650, "", session::kEr650ReportRequest}};
  for (const Row& row : rows)
    if (row.command == command && action == row.action) return row.bytes;
  throw TUsageError(command == TCommand::Scanner
                        ? "scanner: '" + action + "' is not one of enable|disable|beep"
                        : "scale: '" + action + "' is not one of test|weight");
}

void AddSendCommands(CLI::App& app, TOptions& o, TTexts& t) {
  auto* send =
      app.add_subcommand("send", "send bytes to a port; exit status 0 only when all left it");
  send->add_option("PORT", o.Port1, "the port");
  send->add_option("--text", t.send.text, "the bytes of TEXT");
  send->add_option("--hex", t.send.hex, "hex bytes: \"48 65 6C\" or 48656C");
  send->add_option("--asc", t.send.asc, "three-digit codes: \"072 101\" (\"Send as ASC\")");
  send->add_option("--file", t.send.file, "the bytes of FILE");
  send->add_option("--seq", t.send.seq, "the sequence NAME of the library, with its waits");
  send->add_option("--seq-file", o.SeqFile,
                   "the library to take --seq from (default: the window's)");
  AddEndingOptions(send, t.send);
  AddListen(send, t.send, "show what arrives for SECONDS after sending (default 0)");

  auto* scanner = app.add_subcommand("scanner", "PSC Magellan tests: enable|disable|beep");
  auto* scale = app.add_subcommand("scale", "scale tests: test (price record) | weight (request)");
  auto* er650 = app.add_subcommand("er650", "ER-650 cash register report request");
  for (CLI::App* device : {scanner, scale, er650}) {
    // The action first: the port may come from --settings instead.
    if (device != er650) device->add_option("ACTION", t.action, "what to send")->required();
    device->add_option("PORT", o.Port1, "the port the device is on");
    AddEndingOptions(device, t.send);
    AddListen(device, t.send, "show the answer for SECONDS (default 1)");
  }
  for (CLI::App* sender : {send, scanner, scale, er650}) {
    AddLineOptions(sender, o.Line);
    AddOutputOptions(sender, o, t.output);
  }
}

constexpr const char* kDecodeNames = "printer|scale|ecr|scanner|none";

decode::Protocol DecodeOption(const std::optional<std::string>& text, const char* option) {
  if (!text) return decode::Protocol::None;
  const auto protocol = decode::ProtocolFromName(*text);
  if (!protocol)
    throw TUsageError(std::string(option) + ": '" + *text + "' is not one of " + kDecodeNames);
  return *protocol;
}

void AddWatchCommands(CLI::App& app, TOptions& o, TTexts& t, std::optional<double>& duration) {
  auto* monitor =
      app.add_subcommand("monitor", "show what a port receives, as the window's panes do");
  monitor->add_option("PORT", o.Port1, "the port: ttyUSB0, /dev/ttyS1, LOOPBACK, ...");
  auto* spy = app.add_subcommand("spy", "relay between two ports and show both ways");
  spy->add_option("PORT1", o.Port1, "port 1");
  spy->add_option("PORT2", o.Port2, "port 2");
  AddPortOptions(spy, o.Line2, "2");
  AddEndingOptions(spy, t.send);
  spy->add_option("--decode2", t.decode2, "decode the device on port 2: " + std::string(kDecodeNames));
  for (CLI::App* watch : {monitor, spy}) {
    watch->add_option("--decode", t.decode,
                      "decode the device on port 1: " + std::string(kDecodeNames) +
                          "; decoded lines begin with '>>'");
    AddLineOptions(watch, o.Line);
    AddOutputOptions(watch, o, t.output);
    watch->add_option("--duration", duration, "end after SECONDS")->check(CLI::PositiveNumber);
    watch->add_option("--triggers", o.TriggersFile,
                      "arm the receive triggers of library FILE (and send their answers)");
  }
}

void AddOtherCommands(CLI::App& app, TOptions& o, TTexts& t) {
  app.add_subcommand("list", "the serial ports and the built-in ports")
      ->add_flag("--json", o.Json, "as JSON");
  app.add_subcommand("checksum", "the scale's checksum values for a random number")
      ->add_option("N", o.RandomNumber, "the random number (two digits, as on the scale page)")
      ->required();
  auto* drawer = app.add_subcommand("drawer", "kick a cash drawer through a receipt printer");
  drawer->add_option("--printer", o.Printer, "the printer (default: the default printer)");
  drawer->add_option("--drawer", t.drawer, "drawer 1 or 2 (default 1)");
  drawer->add_option("--on", o.OnMs, "pulse on time, 0 to 510 ms (default 50)")
      ->check(CLI::Range(0, 510));
  drawer->add_option("--off", o.OffMs, "pulse off time, 0 to 510 ms (default 100)")
      ->check(CLI::Range(0, 510));
}

void AddRunCommand(CLI::App& app, TOptions& o) {
  auto* run =
      app.add_subcommand("run", "run a Lua script against the ports: 0 pass, 1 fail, 2 error");
  run->add_option("SCRIPT", o.Script, "the script")->required();
  run->add_option("ARGS", o.ScriptArgs,
                  "the script's arg[1..]; key=value also sets arg.key; after --, options too");
  run->add_option("--junit", o.JUnitPath, "write a JUnit-XML report to FILE");
  run->add_option("--timeout", o.Timeout, "stop the script after SECONDS")
      ->check(CLI::PositiveNumber);
  run->add_flag("-q,--quiet", o.Quiet, "no log lines, only the result");
}

TCommand CommandOf(const CLI::App& app) {
  static const std::pair<const char*, TCommand> kNames[] = {
      {"list", TCommand::List},   {"monitor", TCommand::Monitor},   {"spy", TCommand::Spy},
      {"send", TCommand::Send},   {"scanner", TCommand::Scanner},   {"scale", TCommand::Scale},
      {"er650", TCommand::Er650}, {"checksum", TCommand::Checksum}, {"drawer", TCommand::Drawer},
      {"run", TCommand::Run}};
  const std::string name = app.get_subcommands().at(0)->get_name();
  for (const auto& [text, command] : kNames)
    if (name == text) return command;
  return TCommand::List;
}

bool Watches(TCommand c) {
  return c == TCommand::Monitor || c == TCommand::Spy;
}
bool Sends(TCommand c) {
  return c == TCommand::Send || c == TCommand::Scanner || c == TCommand::Scale ||
         c == TCommand::Er650;
}

void CheckPorts(const TOptions& o) {
  if (o.Port1.empty() && !o.Line.Section)
    throw TUsageError(o.Command == TCommand::Spy ? "PORT1 is required (or --settings)"
                                                 : "PORT is required (or --settings)");
  if (o.Command == TCommand::Spy && o.Port2.empty() && !o.Line2.Section)
    throw TUsageError("PORT2 is required (or --settings2)");
}

void FinishOutput(TOptions& o, const TOutputTexts& t) {
  o.Events = Watches(o.Command) && !o.Quiet ? TEventsTo::Stderr : TEventsTo::Off;
  if (t.events) {
    if (*t.events == "stderr")
      o.Events = TEventsTo::Stderr;
    else if (*t.events == "inline")
      o.Events = TEventsTo::Inline;
    else if (*t.events == "off")
      o.Events = TEventsTo::Off;
    else
      throw TUsageError("--events: '" + *t.events + "' is not one of stderr|inline|off");
  }
  if (t.stamps && *t.stamps != "s" && *t.stamps != "ms")
    throw TUsageError("--timestamps: '" + *t.stamps + "' is not one of s|ms");
  if (t.stamps && *t.stamps == "ms") o.Stamps = TStamps::Milliseconds;
}

void FinishSending(TOptions& o, const TTexts& t) {
  const bool device = o.Command != TCommand::Send && o.Command != TCommand::Spy;
  // The device tests go out as the window sends them ("Add CR" ticked); a relay and
  // raw data are not changed unless asked.
  o.AddCR = (device && !t.send.noCr) || t.send.cr;
  o.AddLF = t.send.lf;
  if (!Sends(o.Command)) return;
  o.ListenSeconds = t.send.listen.value_or(device ? 1.0 : 0.0);
  o.Data = o.Command == TCommand::Send ? SendData(t.send) : DeviceCommand(o.Command, t.action);
  if (o.Command == TCommand::Send && t.send.seq) o.SeqName = *t.send.seq;
}

void Finish(TOptions& o, const TTexts& t) {
  if (Watches(o.Command) || Sends(o.Command)) {
    CheckPorts(o);
    FinishOutput(o, t.output);
    FinishSending(o, t);
    o.Decode = DecodeOption(t.decode, "--decode");
    o.Decode2 = DecodeOption(t.decode2, "--decode2");
  }
  if (o.Command == TCommand::Checksum && o.RandomNumber.size() > 2)
    throw TUsageError("checksum: '" + o.RandomNumber + "' is longer than two characters");
  if (o.Command == TCommand::Drawer) {
    if (t.drawer != "1" && t.drawer != "2")
      throw TUsageError("--drawer: '" + t.drawer + "' is not one of 1|2");
    o.SecondDrawer = t.drawer == "2";
  }
}

}  // namespace

TParsed ParseArguments(const std::vector<std::string>& args) {
  TParsed parsed;
  TOptions& o = parsed.Options;
  TTexts t;
  CLI::App app{"veltra-cli: Veltra's serial engine from a terminal or a script", "veltra-cli"};
  app.footer(kFooter);
  app.require_subcommand(1);
  // On Windows CLI11 would take "/x" for an option; a port path is no option.
  app.allow_windows_style_options(false);
  AddOtherCommands(app, o, t);
  AddWatchCommands(app, o, t, o.Duration);
  AddSendCommands(app, o, t);
  AddRunCommand(app, o);
  if (!args.empty() && !args[0].empty() && args[0][0] != '-') {
    std::string names;
    bool known = false;
    for (const CLI::App* command : app.get_subcommands([](CLI::App*) { return true; })) {
      names += (names.empty() ? "" : " ") + command->get_name();
      known = known || command->get_name() == args[0];
    }
    if (!known) throw TUsageError("'" + args[0] + "' is not a command; the commands: " + names);
  }
  // run: what follows "--" goes to the script as it is, options included.
  std::vector<std::string> own = args, passed;
  if (!args.empty() && args[0] == "run") {
    const auto dashes = std::find(own.begin(), own.end(), "--");
    if (dashes != own.end()) {
      passed.assign(dashes + 1, own.end());
      own.erase(dashes, own.end());
    }
  }
  std::vector<std::string> reversed(own.rbegin(), own.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    parsed.Help = true;
    parsed.HelpText = app.help();
    return parsed;
  } catch (const CLI::ParseError& e) {
    throw TUsageError(e.what());
  }
  o.Command = CommandOf(app);
  o.ScriptArgs.insert(o.ScriptArgs.end(), passed.begin(), passed.end());
  Finish(o, t);
  return parsed;
}

}  // namespace veltra::cli
