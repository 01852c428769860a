// "Send ACK" and "Send NAK": a DLE, then its partner (ACK or NAK) as a second write
// once the DLE has left whole; the pair means nothing split, so a partner whose DLE
// did not get out stays back. The status text says only what has left the port.
#pragma once

#include <cstddef>
#include <string>

namespace veltra::session {

class TDlePair {
 public:
  // `name`: the partner's name in the status text ("ACK", "NAK").
  TDlePair(char partner, std::string name);

  // The byte to hand to the port now: the DLE, then the partner.
  char Byte() const;
  // The write of Byte() ended with `written` of the `handed` bytes (0 written when the
  // port refused it or could not start it). True when the partner is to go next.
  bool WriteEnded(std::size_t written, std::size_t handed);
  // Whether the byte of the write that ended last left the port.
  bool LastLeft() const { return lastLeft_; }
  bool Done() const { return step_ == TStep::Done; }

  // "DEL waiting ", "DEL sent + ACK waiting ", "DEL sent + ACK sent ",
  // "DEL sent + ACK not sent ", "DEL not sent + ACK not sent ".
  std::string Status() const;

 private:
  enum class TStep { Dle, Partner, Done };
  char partner_;
  std::string name_;
  TStep step_ = TStep::Dle;
  bool dleLeft_ = false;
  bool partnerLeft_ = false;
  bool lastLeft_ = false;
};

}  // namespace veltra::session
