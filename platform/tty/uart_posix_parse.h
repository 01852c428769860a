// Input from a tty in PARMRK mode, split into clean data and marked bytes:
//   \377\377   a received 0xFF
//   \377\0x    byte x arrived with a parity or framing error
//   \377\0\0   a break (indistinguishable from a bad 0x00: the kernel marks both alike)
// A mark may be cut between two reads; the state carries the unfinished part.
#pragma once

#include <cstdint>

#include <string>
#include <string_view>
#include <vector>
#include "platform/core/win32_types.h"

namespace veltra::platform {

struct MarkedInputState {
  // Bytes of an unfinished mark: 0 none, 1 after \377, 2 after \377\0.
  int pending = 0;
};

struct RxPiece {
  enum class Kind { kData, kBadByte, kBreak };
  Kind kind = Kind::kData;
  std::string bytes;  // kData: the clean run; kBadByte: the one byte; kBreak: empty
  friend bool operator==(const RxPiece&, const RxPiece&) = default;
};

// Splits `input` (the next bytes read) into pieces in arrival order; consecutive
// clean bytes share one piece.
std::vector<RxPiece> ParseMarkedInput(MarkedInputState& state, std::string_view input);

// The line error for a marked byte. The mark does not tell parity from framing
// errors; the driver's counters do, when they moved for one kind only. Failing
// that, with parity off only a framing error can have caused it.
win::DWORD BadByteError(bool parityOn, std::uint32_t newFramingErrors,
                        std::uint32_t newParityErrors);

}  // namespace veltra::platform
