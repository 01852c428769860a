// Sequences and receive triggers on the command line: a port's automation served
// by the command's loop. Answers and sequences are logged and written through the
// port's session, one write at a time; trigger events go to the error stream.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "automation/library.h"
#include "automation/port_automation.h"
#include "cli/session.h"

namespace veltra::cli {

// Reads a library file for an option; the one-line reason in *why when it cannot.
std::optional<automation::TLibrary> ReadLibraryOption(const std::string& option,
                                                      const std::string& path, std::string* why);

class TCliAutomation {
 public:
  // Serves the ports' automation (index 0 is port 1) in the command's loop.
  TCliAutomation(TCommandSession& command, std::vector<session::TPortSession*> ports);
  ~TCliAutomation();
  TCliAutomation(const TCliAutomation&) = delete;
  TCliAutomation& operator=(const TCliAutomation&) = delete;

  // Arms the library's triggers on every port; false with the reason.
  bool ArmTriggers(const automation::TLibrary& library, std::string* why);
  void Play(std::size_t port, const std::vector<automation::TSendStep>& steps);
  // Nothing waits to be written on any port, and no write is in flight.
  bool Idle() const;
  // The port's count of drained output when its last write was handed over.
  std::uint64_t TxEmptyAtLastWrite(std::size_t port) const {
    return ports_.at(port).txEmptyAtWrite;
  }
  // "P1 "weight request" 3" for each armed trigger; empty without triggers.
  std::string MatchSummary() const;

 private:
  struct TPort {
    session::TPortSession* session;
    automation::TPortAutomation automation;
    int observer = 0;
    bool writing = false;
    std::uint64_t txEmptyAtWrite = 0;
  };
  void Serve();
  void Show(TPort& port, const std::vector<automation::TTriggerEvent>& events);

  TCommandSession& command_;
  std::vector<TPort> ports_;
};

}  // namespace veltra::cli
