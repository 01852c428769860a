// run, in a build without Lua (a Windows build made without build-win-libs.sh): says so and fails as bad input.
#include "cli/commands.h"
#include "cli/session.h"

namespace veltra::cli {

int RunScriptFile(const TOptions&, TConsole& console, TRunControl&) {
  console.Err.Write("veltra-cli: scripts are not in this build (it has no Lua 5.4)\n");
  return kExitUsage;
}

}  // namespace veltra::cli
