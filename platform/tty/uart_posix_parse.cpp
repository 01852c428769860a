#include "platform/tty/uart_posix_parse.h"

#include <algorithm>

namespace veltra::platform {
namespace {

void AppendData(std::vector<RxPiece>& pieces, std::string_view bytes) {
  if (pieces.empty() || pieces.back().kind != RxPiece::Kind::kData) {
    pieces.push_back({RxPiece::Kind::kData, {}});
  }
  pieces.back().bytes.append(bytes);
}

}  // namespace

std::vector<RxPiece> ParseMarkedInput(MarkedInputState& state, std::string_view input) {
  static constexpr char kMark = '\377';
  std::vector<RxPiece> pieces;
  for (std::size_t i = 0; i < input.size(); ++i) {
    const char byte = input[i];
    switch (state.pending) {
      case 0: {
        // Clean runs go over in one piece; only a mark needs a closer look.
        const std::size_t mark = std::min(input.find(kMark, i), input.size());
        if (mark > i) AppendData(pieces, input.substr(i, mark - i));
        i = mark;
        if (mark < input.size()) state.pending = 1;
        break;
      }
      case 1:
        if (byte == '\0') {
          state.pending = 2;
        } else {
          // \377\377 is a real 0xFF; anything else after \377 cannot come from the
          // kernel, so keep both bytes rather than lose one.
          if (byte != kMark) AppendData(pieces, std::string_view(&kMark, 1));
          AppendData(pieces, std::string_view(&byte, 1));
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
