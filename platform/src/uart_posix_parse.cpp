#include "platform/src/uart_posix_parse.h"

namespace veltra::platform {
namespace {

void AppendData(std::vector<RxPiece>& pieces, char byte) {
  if (pieces.empty() || pieces.back().kind != RxPiece::Kind::kData) {
    pieces.push_back({RxPiece::Kind::kData, {}});
  }
  pieces.back().bytes.push_back(byte);
}

}  // namespace

std::vector<RxPiece> ParseMarkedInput(MarkedInputState& state, std::string_view input) {
  constexpr char kMark = '\377';
  std::vector<RxPiece> pieces;
  for (const char byte : input) {
    switch (state.pending) {
      case 0:
        if (byte == kMark) {
          state.pending = 1;
        } else {
          AppendData(pieces, byte);
        }
        break;
      case 1:
        if (byte == '\0') {
          state.pending = 2;
        } else {
          // \377\377 is a real 0xFF; anything else after \377 cannot come from the
          // kernel, so keep both bytes rather than lose one.
          if (byte != kMark) AppendData(pieces, kMark);
          AppendData(pieces, byte);
          state.pending = 0;
        }
        break;
      default:
        if (byte == '\0') {
          pieces.push_back({RxPiece::Kind::kBreak, {}});
        } else {
          pieces.push_back({RxPiece::Kind::kBadByte, std::string(1, byte)});
        }
        state.pending = 0;
        break;
    }
  }
  return pieces;
}

win::DWORD BadByteError(bool parityOn, std::uint32_t newFramingErrors,
                        std::uint32_t newParityErrors) {
  if (newFramingErrors > 0 && newParityErrors == 0) return win::CE_FRAME;
  if (newParityErrors > 0 && newFramingErrors == 0) return win::CE_RXPARITY;
  return parityOn ? win::CE_RXPARITY : win::CE_FRAME;
}

}  // namespace veltra::platform
