// The command line: which command, its port(s), line options, output options and
// what to send. Parsed with CLI11; every bad value ends in a TUsageError whose text
// names the option.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli/line_options.h"
#include "cli/log_writer.h"
#include "decode/decoder.h"

namespace veltra::cli {

class TUsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class TCommand { List, Monitor, Spy, Send, Scanner, Scale, Er650, Checksum, Drawer, Run };

struct TOptions {
  TCommand Command = TCommand::List;
  bool Json = false;  // list

  std::string Port1, Port2;
  TLineOptions Line;   // both ports
  TLineOptions Line2;  // spy: port 2's own choices

  bool Quiet = false;  // no traffic on standard output
  TEventsTo Events = TEventsTo::Stderr;
  TStamps Stamps = TStamps::Seconds;
  std::string LogPath;
  bool Status = true;
  std::optional<double> Duration;  // seconds; monitor and spy end by themselves
  // monitor and spy: the device on each port, decoded under its blocks.
  decode::Protocol Decode = decode::Protocol::None, Decode2 = decode::Protocol::None;

  std::string Data;  // send and the device tests: the bytes, before the line end
  bool AddCR = false, AddLF = false;
  double ListenSeconds = 0;  // answers shown after sending
  std::string SeqName;       // send --seq: a sequence of the library instead of Data
  std::string SeqFile;       // its library; empty: the window's
  std::string TriggersFile;  // monitor and spy: the library whose triggers are armed

  std::string RandomNumber;  // checksum

  std::string Printer;  // drawer
  bool SecondDrawer = false;
  int OnMs = 50, OffMs = 100;

  std::string Script;  // run: the Lua script, its arguments, the report
  std::vector<std::string> ScriptArgs;
  std::string JUnitPath;
  std::optional<double> Timeout;  // seconds; the script is stopped after it
};

struct TParsed {
  bool Help = false;  // --help: print HelpText, nothing else
  std::string HelpText;
  TOptions Options;
};

TParsed ParseArguments(const std::vector<std::string>& args);

}  // namespace veltra::cli
