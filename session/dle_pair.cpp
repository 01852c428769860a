#include "session/dle_pair.h"

#include <utility>

#include "session/device_commands.h"

namespace veltra::session {

TDlePair::TDlePair(char partner, std::string name) : partner_(partner), name_(std::move(name)) {}

char TDlePair::Byte() const {
  return step_ == TStep::Dle ? kDLE : partner_;
}

bool TDlePair::WriteEnded(std::size_t written, std::size_t handed) {
  // The command byte is the first of its write; a line end may follow it.
  lastLeft_ = written > 0;
  if (step_ == TStep::Dle) {
    dleLeft_ = lastLeft_;
    step_ = written == handed && handed > 0 ? TStep::Partner : TStep::Done;
    return step_ == TStep::Partner;
  }
  if (step_ == TStep::Partner) partnerLeft_ = lastLeft_;
  step_ = TStep::Done;
  return false;
}

std::string TDlePair::Status() const {
  if (step_ == TStep::Dle) return "DEL waiting ";
  std::string text = dleLeft_ ? "DEL sent + " : "DEL not sent + ";
  if (step_ == TStep::Partner) return text + name_ + " waiting ";
  return text + name_ + (partnerLeft_ ? " sent " : " not sent ");
}

}  // namespace veltra::session
