#include "cli/cli.h"

#include "cli/commands.h"
#include "cli/options.h"
#include "cli/session.h"

namespace veltra::cli {

int Run(const std::vector<std::string>& args, TConsole& console, TRunControl& control) {
  TParsed parsed;
  try {
    parsed = ParseArguments(args);
  } catch (const TUsageError& e) {
    const std::string message = e.what();
    console.Err.Write("veltra-cli: " + message.substr(0, message.find('\n')) + "\n");
    return kExitUsage;
  }
  if (parsed.Help) {
    console.Out.Write(parsed.HelpText);
    return kExitOk;
  }
  const TOptions& o = parsed.Options;
  switch (o.Command) {
    case TCommand::List:
      return RunList(o, console);
    case TCommand::Monitor:
      return RunMonitor(o, console, control);
    case TCommand::Spy:
      return RunSpy(o, console, control);
    case TCommand::Send:
    case TCommand::Scanner:
    case TCommand::Scale:
    case TCommand::Er650:
      return RunSend(o, console, control);
    case TCommand::Checksum:
      return RunChecksum(o, console);
    case TCommand::Drawer:
      return RunDrawer(o, console);
    case TCommand::Run:
      return RunScriptFile(o, console, control);
  }
  return kExitUsage;
}

}  // namespace veltra::cli
