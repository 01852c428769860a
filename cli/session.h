// What every port command is made of, in the order it must be built and torn down:
// the owner loop (the workers call into it), the logs, the port sessions and the
// status line. Also the command line's own messages and the summary figures.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "cli/log_writer.h"
#include "cli/options.h"
#include "cli/owner_loop.h"
#include "cli/status_line.h"
#include "session/port_session.h"

namespace veltra::cli {

enum TExitCode { kExitOk = 0, kExitFailed = 1, kExitUsage = 2 };

class TCommandSession {
 public:
  TCommandSession(TConsole& console, TRunControl& control, const TOptions& options);
  ~TCommandSession();
  TCommandSession(const TCommandSession&) = delete;
  TCommandSession& operator=(const TCommandSession&) = delete;

  // Creates the log files; prints why not and returns false.
  bool OpenLog();
  // A port session with its line options; null (after saying why) when its saved
  // settings cannot be read. `name` may be empty when a section names it. `txEmpty`:
  // the session counts drained output.
  session::TPortSession* AddPort(const std::string& name, const TLineOptions& line,
                                 const session::TPortPrefixes& prefixes, Byte defaultNoise,
                                 bool txEmpty);
  // Opens a port; says why not and returns false.
  bool Open(session::TPortSession& port);
  // Serves the ports until done(), a stop request (unless draining) or the deadline;
  // the status line and the logs are kept up to date meanwhile.
  TOwnerLoop::TEnd Run(const std::function<bool()>& done, Clock::time_point deadline,
                       bool stopEnds = true);
  // Takes the bytes the drivers still hold as blocks, so that ending a command does
  // not lose the last of them (closing purges the driver's queue).
  void TakeWhatWaits();
  // Closes every port (its closing reports still reach the logs).
  void CloseAll();
  // "veltra-cli: " + line on standard error, after what the logs hold.
  void Say(const std::string& line);
  double Seconds() const;

  TConsole& Console;
  TOwnerLoop Loop;
  TLogWriter Log;
  // Work of the sequences and triggers before each sleep, and when it is due next.
  std::function<void()> AutomationWork;
  std::function<Clock::time_point()> AutomationWakeBy;

 private:
  std::vector<std::unique_ptr<session::TPortSession>> ports_;
  std::unique_ptr<TStatusLine> status_;
  bool statusWanted_;
  Clock::time_point started_ = Clock::now();
};

TLogOptions LogOptionsOf(const TOptions& o);
// "1234 bytes in 56 blocks, 2 with line errors"
std::string ReceiveSummary(const session::TPortCounters& c);
std::string Plural(std::uint64_t n, const char* one, const char* many);

}  // namespace veltra::cli
