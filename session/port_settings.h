// Where the window keeps each port's settings, and the flow-control choices it offers.
#pragma once

#include <array>
#include <cstdint>

namespace veltra::session {

inline constexpr const char* kSettingsKey = "Software\\Orvane\\Veltra";
inline constexpr const char* kPort1Section = "ComTest1";
inline constexpr const char* kPort2Section = "ComTest2";

// FlowControl values by flow list position: none, XOn-XOff, RTS-CTS, DSR-DTR.
inline constexpr std::array<std::int32_t, 4> FlowControlCodes = {0x0000, 0x0380, 0x2004, 0x0028};

}  // namespace veltra::session
