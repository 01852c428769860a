// A one-line status on a terminal's standard error while a command runs: per port
// the bytes in and out with their rates, how full the driver's queues are, the
// modem lines and the hold states. Nothing is drawn when standard error is not a
// terminal, so logs and pipes never see it.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/console.h"
#include "session/port_session.h"

namespace veltra::cli {

class TStatusLine {
 public:
  TStatusLine(TStream& err, std::vector<const session::TPortSession*> ports, bool enabled);
  bool Enabled() const { return enabled_; }
  // Updates the figures and draws the line.
  void Draw();
  // Clears the line so that other output starts at the left margin.
  void Hide();

 private:
  struct TRate {
    std::uint64_t lastIn = 0, lastOut = 0;
    double in = 0, out = 0;
  };
  std::string PortText(const session::TPortSession& port, const TRate& rate) const;
  void Sample();

  TStream& err_;
  std::vector<const session::TPortSession*> ports_;
  std::vector<TRate> rates_;
  bool enabled_;
  bool visible_ = false;
  std::chrono::steady_clock::time_point sampledAt_;
};

// "12.3 kB", "512 B", "1.5 MB".
std::string ByteCountText(double bytes);

}  // namespace veltra::cli
