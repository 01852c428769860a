// What the lamps show: image indexes, the hold-state texts and the line lamps.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace veltra::session {

// Indexes into the lamp image list.
enum TLampImage : int {
  kLampEmpty = 0,
  kLampDarkRed = 1,
  kLampBrightRed = 2,
  kLampDarkGreen = 3,
  kLampBrightGreen = 4,
  kLampDarkYellow = 5,
  kLampBrightYellow = 6,
};
inline constexpr int kLampImageCount = 7;

// The thirteen lamps, in the order they are repainted.
enum class TLamp : int {
  CTS,
  DCD,
  RTS,
  DSR,
  RI,
  DTR,
  TxD,
  RxD,
  CTSHold,
  DSRHold,
  RLSHold,
  XOffHold,
  XOnSend,
};
inline constexpr int kLampCount = 13;

// One image per lamp; kNoChange leaves a lamp as it is.
inline constexpr int kNoChange = -1;
using TLampImages = std::array<int, kLampCount>;
inline int& At(TLampImages& images, TLamp lamp) {
  return images[static_cast<int>(lamp)];
}
inline int At(const TLampImages& images, TLamp lamp) {
  return images[static_cast<int>(lamp)];
}

// The hold flags in report order with their lamp (if any) and sentence.
struct THoldState {
  int Bit;  // bit of the COMSTAT flags byte
  bool HasLamp;
  TLamp Lamp;
  const char* Text;
};
extern const std::array<THoldState, 7> kHoldStates;

struct THoldReport {
  TLampImages Images{};
  std::string Text;  // the set flags' sentences, each followed by CR LF; empty when none
};
THoldReport HoldReport(std::uint8_t commStateFlags);

// Line lamps from the port's state and the two output check boxes.
struct TLineState {
  bool Break = false, CTS = false, DSR = false, Ring = false, RLSD = false;
  bool DTRBox = false, RTSBox = false;
};
TLampImages LineLampImages(const TLineState& s);

// Neutral pictures right after a port was switched on.
TLampImages ResetLampImages();

}  // namespace veltra::session
