// Protocol decoders for what passes a port: receipt printer commands (ESC/POS), a
// scale's Dialog 06 records, the ER-650 cash register's frames and scanner labels.
// Each port has one decoder, which keeps its own state for each direction, so an
// item cut across blocks is told once it is whole. Bytes a decoder does not
// recognise are reported as such, never left out. Standard C++ only.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veltra::decode {

enum class Protocol { None, Printer, Scale, CashRegister, Scanner };

// Seen from the device on the port: ToDevice is what the port sends, FromDevice
// what it receives.
enum class Direction { ToDevice, FromDevice };

// The most bytes a direction holds while an item is unfinished. Past it the first
// held byte is reported as not recognised and decoding goes on after it. Long data
// (a raster image) is counted, not held.
inline constexpr std::size_t kMaxHeld = 4096;

class PortDecoder {
 public:
  virtual ~PortDecoder() = default;

  // Decodes `bytes`, the next block in `direction`; appends one line per item that
  // is now whole (or per run of bytes not recognised) to `lines`.
  virtual void Feed(Direction direction, std::string_view bytes,
                    std::vector<std::string>& lines) = 0;
  // Reports what `direction` still holds (an unfinished item) and forgets it.
  virtual void Finish(Direction direction, std::vector<std::string>& lines) = 0;
  // Bytes `direction` holds, not counting long data it is skipping.
  virtual std::size_t Held(Direction direction) const = 0;
  // At most `lines` lines a call; past them one line says how many more there were
  // (they are decoded all the same, but not written out). 0: no limit.
  virtual void SetLineLimit(std::size_t lines) = 0;
};

// nullptr for Protocol::None.
std::unique_ptr<PortDecoder> MakePortDecoder(Protocol protocol);

// "printer", "scale", "ecr", "scanner", "none" (as veltra-cli takes them).
std::optional<Protocol> ProtocolFromName(std::string_view name);
std::string_view ProtocolName(Protocol protocol);

// GS1 check digit: `digits` (8, 12, 13 or 14 digits) ends with a check digit.
// Returns the check digit the data digits call for, or -1 if `digits` is not all
// digits.
int Gs1CheckDigit(std::string_view digitsWithCheck);

}  // namespace veltra::decode
