// veltra-cli: the process's streams and signals around cli::Run.
#include <sys/stat.h>
#include <unistd.h>

#include "cli/cli.h"

namespace {

// Standard output and error on the same terminal: the status line gives way to both.
bool SameTerminal(int a, int b) {
  struct stat sa {
  }, sb{};
  return ::isatty(a) && ::isatty(b) && ::fstat(a, &sa) == 0 && ::fstat(b, &sb) == 0 &&
         sa.st_rdev == sb.st_rdev;
}

}  // namespace

int main(int argc, char** argv) {
  veltra::cli::TFdStream out(STDOUT_FILENO), err(STDERR_FILENO);
  veltra::cli::TConsole console{out, err, SameTerminal(STDOUT_FILENO, STDERR_FILENO)};
  veltra::cli::TRunControl control;
  control.StopOnSignals();
  return veltra::cli::Run(std::vector<std::string>(argv + 1, argv + argc), console, control);
}
