// The wire between two virtual ends, one character at a time: how long a
// character takes on the line, and what a receiver with other settings makes of
// it. Pure functions, apart from the cable that moves the characters.
#pragma once

#include <chrono>
#include <cstdint>

#include "platform/core/win32_types.h"

namespace veltra::platform {

// One character's time on the line with the sender's settings: start bit, data
// bits, parity bit and stop bits at its baud rate.
std::chrono::steady_clock::duration CharTime(const win::DCB& dcb);

struct SampledCharacter {
  std::uint8_t byte = 0;
  win::DWORD error = 0;  // CE_FRAME, CE_RXPARITY
};

// What a receiver set to `rx` makes of a character sent with `tx`: it samples the
// middle of each of its own bit times on the sender's waveform, so mismatched
// rates, sizes and parities give the bytes and errors a real UART would.
SampledCharacter SampleCharacter(std::uint8_t byte, const win::DCB& tx, const win::DCB& rx);

}  // namespace veltra::platform
