#include "platform/virtual/virtual_line.h"

#include <algorithm>

namespace veltra::platform {

using namespace win;  // NOLINT: Win32 constants read better unqualified here
using Clock = std::chrono::steady_clock;

namespace {

double StopBitCount(const DCB& dcb) {
  return dcb.StopBits == ONESTOPBIT ? 1.0 : dcb.StopBits == ONE5STOPBITS ? 1.5 : 2.0;
}

bool ParityBit(std::uint8_t data, int dataBits, BYTE parity) {
  int ones = 0;
  for (int i = 0; i < dataBits; ++i) ones += (data >> i) & 1;
  switch (parity) {
    case ODDPARITY:
      return ones % 2 == 0;
    case EVENPARITY:
      return ones % 2 == 1;
    case MARKPARITY:
      return true;
    default:
      return false;
  }
}

// The level of the sender's frame at bit position `bit` (0 is the start bit); past
// the frame the line idles at mark.
bool SenderLevel(std::uint8_t byte, const DCB& tx, std::size_t bit) {
  if (bit == 0) return false;
  if (bit <= tx.ByteSize) return (byte >> (bit - 1)) & 1;
  if (tx.Parity != NOPARITY && bit == tx.ByteSize + 1u)
    return ParityBit(byte, tx.ByteSize, tx.Parity);
  return true;
}

}  // namespace

Clock::duration CharTime(const DCB& dcb) {
  const double bits = 1 + dcb.ByteSize + (dcb.Parity != NOPARITY ? 1 : 0) + StopBitCount(dcb);
  const double seconds = bits / std::max<DWORD>(dcb.BaudRate, 1);
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

SampledCharacter SampleCharacter(std::uint8_t byte, const DCB& tx, const DCB& rx) {
  SampledCharacter r;
  if (tx.BaudRate == rx.BaudRate && tx.ByteSize == rx.ByteSize && tx.Parity == rx.Parity) {
    r.byte = static_cast<std::uint8_t>(byte & ((1u << rx.ByteSize) - 1));
    return r;
  }
  const double ratio = static_cast<double>(tx.BaudRate) / std::max<DWORD>(rx.BaudRate, 1);
  auto sample = [&](std::size_t k) {
    return SenderLevel(byte, tx, static_cast<std::size_t>((k + 0.5) * ratio));
  };
  if (sample(0)) r.error |= CE_FRAME;
  for (int i = 0; i < rx.ByteSize; ++i)
    if (sample(1 + i)) r.byte = static_cast<std::uint8_t>(r.byte | (1u << i));
  std::size_t next = 1 + rx.ByteSize;
  if (rx.Parity != NOPARITY) {
    const bool bit = sample(next++);
    const bool checked = (rx.Flags & DCB_fParity) != 0;
    if (checked && bit != ParityBit(r.byte, rx.ByteSize, rx.Parity)) r.error |= CE_RXPARITY;
  }
  if (!sample(next)) r.error |= CE_FRAME;
  return r;
}

}  // namespace veltra::platform
