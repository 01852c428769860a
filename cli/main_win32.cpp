// veltra-cli on Windows: the process's streams and console control around cli::Run.
#include "cli/cli.h"

int main(int argc, char** argv) {
  veltra::cli::TFdStream out(1), err(2);
  // Both on the console: the status line gives way to both.
  veltra::cli::TConsole console{out, err, out.IsTerminal() && err.IsTerminal()};
  veltra::cli::TRunControl control;
  control.StopOnSignals();
  return veltra::cli::Run(std::vector<std::string>(argv + 1, argv + argc), console, control);
}
