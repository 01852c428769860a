// Fixed commands of the point-of-sale devices and the scale's checksum calculator.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace veltra::session {

// PSC Magellan scanner letters.
inline const std::string kMagellanEnable = "E";
inline const std::string kMagellanDisable = "D";
inline const std::string kMagellanNotOnFileBeep = "F";

// Scale test: EOT STX "01" ESC "000220" ESC ETX.
inline const std::string kScaleCommand{
    "\x04\x02"
    "01\x1B"
    "000220\x1B\x03",
    13};

// ER-650 report request: DLE STX, 19 bytes, DLE ETX, then the complement of the sum.
inline const std::string kEr650ReportRequest{
    "\x10\x02"
    "\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x03\x01\x00\x00\x00\x01\x00"
    "\x10\x03"
    "\xD3",
    24};

// One's complement of the 8-bit sum of `bytes`: the ER-650 frame's last byte.
std::uint8_t ComplementSum(std::string_view bytes);

// Single control characters of the command page.
inline constexpr char kEOT = 0x04, kSTX = 0x02, kETX = 0x03, kENQ = 0x05, kACK = 0x06, kDLE = 0x10,
                      kNAK = 0x15, kESC = 0x1B;

// Dialog 06 weight request (EOT ENQ): the scale answers with its weight record.
inline const std::string kScaleWeightRequest{"\x04\x05", 2};

// Cash drawer through an ESC/POS receipt printer: select the printer as the
// peripheral device and initialise it, then the pulse.
inline const std::string kDrawerSelectAndInit{"\x1B=\x01\x1B@", 5};
// ESC p m t1 t2 for drawer 1 (pin 2) or drawer 2 (pin 5). The printer counts the
// times in 2 ms steps; an odd time lies halfway and goes to the even neighbour
// (25 ms gives 12, 27 ms gives 14); only the low byte of each is sent.
std::string DrawerPulseCommand(bool secondDrawer, std::int32_t onMs, std::int32_t offMs);

struct TScaleChecksum {
  bool Replaced = false;  // the random number was invalid and 11 was used
  std::uint32_t KW = 0;
  std::uint16_t CSRot = 0;
  std::uint16_t KWRot = 0;
};

inline constexpr const char* kRandomNumberInvalid = "Random number invalid, replaced with 11";

// The values for the random number typed in the scale page's edit.
TScaleChecksum ComputeScaleChecksum(std::string_view randomNumberText);
// "KW: F336 CS Rot: 8E22 KW Rot: 799B".
std::string ScaleChecksumMessage(const TScaleChecksum& c);

}  // namespace veltra::session
