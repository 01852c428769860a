#include "platform/net/rfc2217_codec.h"

namespace veltra::platform::rfc2217 {

namespace {

constexpr std::uint8_t kLastCommand = static_cast<std::uint8_t>(Command::kPurgeData);

std::size_t ValueSize(Command command) {
  switch (command) {
    case Command::kSetBaudRate:
      return 4;
    case Command::kFlowControlSuspend:
    case Command::kFlowControlResume:
      return 0;
    default:
      return 1;
  }
}

std::uint8_t ParityValue(win::BYTE parity) {
  switch (parity) {
    case win::ODDPARITY:
      return 2;
    case win::EVENPARITY:
      return 3;
    case win::MARKPARITY:
      return 4;
    case win::SPACEPARITY:
      return 5;
    default:
      return 1;
  }
}

std::uint8_t StopSizeValue(win::BYTE stopBits) {
  switch (stopBits) {
    case win::ONE5STOPBITS:
      return 3;
    case win::TWOSTOPBITS:
      return 2;
    default:
      return 1;
  }
}

// The server's UART does the handshakes the DCB asks for; what COM-PORT-OPTION
// cannot express (RTS toggle, DSR sensitivity) stays with the client.
std::uint8_t OutFlow(const win::DCB& dcb) {
  if (dcb.Flags & win::DCB_fOutxCtsFlow) return kOutFlowHardware;
  if (dcb.Flags & win::DCB_fOutxDsrFlow) return kOutFlowDsr;
  if (dcb.Flags & win::DCB_fOutX) return kOutFlowXonXoff;
  return kOutFlowNone;
}

std::uint8_t InFlow(const win::DCB& dcb) {
  if (win::DcbRtsControl(dcb.Flags) == win::RTS_CONTROL_HANDSHAKE) return kInFlowHardware;
  if (win::DcbDtrControl(dcb.Flags) == win::DTR_CONTROL_HANDSHAKE) return kInFlowDtr;
  if (dcb.Flags & win::DCB_fInX) return kInFlowXonXoff;
  return kInFlowNone;
}

}  // namespace

void AppendRequest(Command command, std::uint32_t value, telnet::Bytes& out) {
  telnet::Bytes payload{static_cast<std::uint8_t>(command)};
  const std::size_t size = ValueSize(command);
  for (std::size_t i = size; i > 0; --i)
    payload.push_back(static_cast<std::uint8_t>(value >> (8 * (i - 1))));
  telnet::AppendSubnegotiation(telnet::kComPort, payload, out);
}

bool ParseServerMessage(const telnet::Bytes& payload, ServerMessage* message, std::string* error) {
  if (payload.empty()) {
    *error = "COM-PORT-OPTION message without a command";
    return false;
  }
  // Some servers answer with the client's codes; both mean the same.
  const std::uint8_t code = payload[0];
  const std::uint8_t plain = code >= kServerOffset ? code - kServerOffset : code;
  if (plain > kLastCommand) {
    *error = "unknown COM-PORT-OPTION command " + std::to_string(code);
    return false;
  }
  message->command = static_cast<Command>(plain);
  message->value = 0;
  message->text.clear();
  if (message->command == Command::kSignature) {
    message->text.assign(payload.begin() + 1, payload.end());
    return true;
  }
  const std::size_t expected = ValueSize(message->command);
  if (payload.size() - 1 != expected) {
    *error = "COM-PORT-OPTION command " + std::to_string(code) + " with " +
             std::to_string(payload.size() - 1) + " value bytes, expected " +
             std::to_string(expected);
    return false;
  }
  for (std::size_t i = 1; i < payload.size(); ++i)
    message->value = (message->value << 8) | payload[i];
  return true;
}

LineRequest LineRequestFromDcb(const win::DCB& dcb) {
  LineRequest r;
  r.baud = dcb.BaudRate;
  r.dataSize = dcb.ByteSize;
  r.parity = ParityValue(dcb.Parity);
  r.stopSize = StopSizeValue(dcb.StopBits);
  r.outFlow = OutFlow(dcb);
  r.inFlow = InFlow(dcb);
  return r;
}

}  // namespace veltra::platform::rfc2217
