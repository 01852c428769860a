// The COM-PORT-OPTION (RFC 2217) messages carried in Telnet subnegotiations, and
// how a DCB maps onto them. Pure code, no I/O.
#pragma once

#include <cstdint>
#include <string>

#include "platform/core/win32_types.h"
#include "platform/net/telnet_codec.h"

namespace veltra::platform::rfc2217 {

enum class Command : std::uint8_t {
  kSignature = 0,
  kSetBaudRate = 1,
  kSetDataSize = 2,
  kSetParity = 3,
  kSetStopSize = 4,
  kSetControl = 5,
  kNotifyLineState = 6,
  kNotifyModemState = 7,
  kFlowControlSuspend = 8,
  kFlowControlResume = 9,
  kSetLineStateMask = 10,
  kSetModemStateMask = 11,
  kPurgeData = 12,
};
inline constexpr std::uint8_t kServerOffset = 100;  // the server answers with code + 100

// SET-CONTROL values.
inline constexpr std::uint8_t kOutFlowNone = 1, kOutFlowXonXoff = 2, kOutFlowHardware = 3,
                              kBreakOn = 5, kBreakOff = 6, kDtrOn = 8, kDtrOff = 9, kRtsOn = 11,
                              kRtsOff = 12, kInFlowNone = 14, kInFlowXonXoff = 15,
                              kInFlowHardware = 16, kInFlowDtr = 18, kOutFlowDsr = 19;
// NOTIFY-LINESTATE bits.
inline constexpr std::uint8_t kLineOverrun = 0x02, kLineParity = 0x04, kLineFraming = 0x08,
                              kLineBreak = 0x10;
inline constexpr std::uint8_t kLineErrorMask =
    kLineOverrun | kLineParity | kLineFraming | kLineBreak;
// NOTIFY-MODEMSTATE: the high nibble is the line levels, laid out as Win32's MS_*
// bits; the low nibble says what changed since the last notification.
inline constexpr std::uint8_t kModemDeltaCts = 0x01, kModemDeltaDsr = 0x02, kModemRingEnded = 0x04,
                              kModemDeltaCd = 0x08, kModemLevels = 0xF0;
// PURGE-DATA values: the server's buffers from the line and to the line.
inline constexpr std::uint8_t kPurgeFromLine = 1, kPurgeToLine = 2;

// A client request: IAC SB COM-PORT-OPTION command value IAC SE. The baud rate
// takes four bytes, SUSPEND and RESUME none, everything else one.
void AppendRequest(Command command, std::uint32_t value, telnet::Bytes& out);

struct ServerMessage {
  Command command = Command::kSignature;
  std::uint32_t value = 0;
  std::string text;  // the signature
};
// What a server sent in a COM-PORT-OPTION subnegotiation; false, with *error
// saying why, for a message of unknown code or the wrong length.
bool ParseServerMessage(const telnet::Bytes& payload, ServerMessage* message, std::string* error);

// The line a DCB asks for, in COM-PORT-OPTION values.
struct LineRequest {
  std::uint32_t baud = 0;
  std::uint8_t dataSize = 8;
  std::uint8_t parity = 1;
  std::uint8_t stopSize = 1;
  std::uint8_t outFlow = kOutFlowNone;
  std::uint8_t inFlow = kInFlowNone;
};
LineRequest LineRequestFromDcb(const win::DCB& dcb);

}  // namespace veltra::platform::rfc2217
