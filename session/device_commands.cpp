#include "session/device_commands.h"

#include <cstdio>

namespace veltra::session {
namespace {

int DigitValue(char c) {
  return c >= '0' && c <= '9' ? c - '0' : -1;
}

std::uint32_t ScaleKey() {
  std::uint32_t v = 0x4711u << 16;
  constexpr std::uint32_t kPoly = 100003;
  for (int i = 15; i >= 0; --i)
    if (v > (1u << (i + 16))) v ^= kPoly << i;
  return v;
}

std::uint16_t RotateLeft16(std::uint16_t v, int times) {
  for (int i = 0; i < times; ++i) v = static_cast<std::uint16_t>((v << 1) | (v >> 15));
  return v;
}

std::uint16_t RotateRight16(std::uint16_t v, int times) {
  for (int i = 0; i < times; ++i) v = static_cast<std::uint16_t>((v >> 1) | ((v & 1u) << 15));
  return v;
}

std::string Hex4(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04X", v);
  return buf;
}

std::int32_t HalfToEven(std::int32_t ms) {
  const std::int32_t low = ms >= 0 ? ms / 2 : -((1 - ms) / 2);
  if (ms % 2 == 0) return low;
  return low % 2 == 0 ? low : low + 1;
}

char LowByte(std::int32_t value) {
  return static_cast<char>(static_cast<std::uint8_t>(value & 0xFF));
}

}  // namespace

std::string DrawerPulseCommand(bool secondDrawer, std::int32_t onMs, std::int32_t offMs) {
  return std::string{27, 112, secondDrawer ? char{1} : char{0}, LowByte(HalfToEven(onMs)),
                     LowByte(HalfToEven(offMs))};
}

std::uint8_t ComplementSum(std::string_view bytes) {
  std::uint8_t sum = 0;
  for (char c : bytes) sum = static_cast<std::uint8_t>(sum + static_cast<std::uint8_t>(c));
  return static_cast<std::uint8_t>(~sum);
}

TScaleChecksum ComputeScaleChecksum(std::string_view text) {
  TScaleChecksum c;
  // Only the second character is checked; a non-digit first one counts as 0.
  int d1 = text.empty() ? -1 : DigitValue(text[0]);
  int d2 = text.size() < 2 ? -1 : DigitValue(text[1]);
  if (d1 < 0) d1 = 0;
  if (d2 < 0) {
    c.Replaced = true;
    d1 = 1;
    d2 = 1;
  }
  c.KW = ScaleKey();
  c.CSRot = RotateLeft16(0x4711, d1);
  c.KWRot = RotateRight16(static_cast<std::uint16_t>(c.KW), d2);
  return c;
}

std::string ScaleChecksumMessage(const TScaleChecksum& c) {
  return "KW: " + Hex4(c.KW) + " CS Rot: " + Hex4(c.CSRot) + " KW Rot: " + Hex4(c.KWRot);
}

}  // namespace veltra::session
