// The commands of veltra-cli; each returns the exit status.
#pragma once

#include "cli/console.h"
#include "cli/options.h"
#include "cli/run_control.h"

namespace veltra::cli {

int RunList(const TOptions& o, TConsole& console);
int RunMonitor(const TOptions& o, TConsole& console, TRunControl& control);
int RunSpy(const TOptions& o, TConsole& console, TRunControl& control);
// send and the device tests
int RunSend(const TOptions& o, TConsole& console, TRunControl& control);
int RunChecksum(const TOptions& o, TConsole& console);
int RunDrawer(const TOptions& o, TConsole& console);
// run: a Lua script on its own thread; 0 pass, 1 fail or stopped, 2 script error.
int RunScriptFile(const TOptions& o, TConsole& console, TRunControl& control);

}  // namespace veltra::cli
