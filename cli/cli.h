// veltra-cli's entry: one command line run against the given streams, so that
// tests run commands in-process and main only adds the process's own streams and
// signals.
#pragma once

#include <string>
#include <vector>

#include "cli/console.h"
#include "cli/run_control.h"

namespace veltra::cli {

// `args` without the program name. Returns the exit status: 0 done, 1 the port or
// printer failed, 2 bad input.
int Run(const std::vector<std::string>& args, TConsole& console, TRunControl& control);

}  // namespace veltra::cli
