// ESC/POS, the command language of receipt printers: the commands a printer is sent
// and the status bytes it answers with. The two directions share the requests still
// waiting for an answer, since an answer byte means something only by its request.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "decode/stream_reader.h"

namespace veltra::decode::escpos {

enum class Ask : std::uint8_t {
  PrinterStatus,  // DLE EOT 1
  OfflineCause,   // DLE EOT 2
  ErrorCause,     // DLE EOT 3
  RollPaper,      // DLE EOT 4
  PaperSensor,    // GS r 1, ESC v
  Drawer,         // GS r 2, ESC u
  Ink,            // GS r 4
  IdByte,         // GS I 1..3, 49..51: one byte
  IdBlock,        // GS I 65..: "_" text NUL
};

struct Conversation {
  static constexpr std::size_t kMaxPending = 32;
  std::deque<Ask> pending;
  void Asked(Ask ask) {
    if (pending.size() == kMaxPending) pending.pop_front();
    pending.push_back(ask);
  }
};

class CommandReader final : public StreamReader {
 public:
  explicit CommandReader(Conversation& talk) : talk_(talk) {}

 private:
  std::size_t Item(std::string_view s, LineSink& out) override;
  std::size_t Dle(std::string_view s, LineSink& out);
  std::size_t Esc(std::string_view s, LineSink& out);
  std::size_t EscData(std::string_view s, LineSink& out);
  std::size_t Gs(std::string_view s, LineSink& out);
  std::size_t GsData(std::string_view s, LineSink& out);
  std::size_t Fs(std::string_view s, LineSink& out);
  // "ESC ( A pL pH ..." and the like: a function with its length in two bytes.
  std::size_t Parenthesised(std::string_view s, LineSink& out);
  std::size_t Barcode(std::string_view s, LineSink& out);
  std::size_t TabPositions(std::string_view s, LineSink& out);
  std::size_t UserCharacters(std::string_view s, LineSink& out);

  Conversation& talk_;
};

class AnswerReader final : public StreamReader {
 public:
  explicit AnswerReader(Conversation& talk) : talk_(talk) {}

 private:
  std::size_t Item(std::string_view s, LineSink& out) override;
  std::size_t Answer(Ask ask, std::string_view s, LineSink& out);

  Conversation& talk_;
};

// Tables, as Epson's ESC/POS command reference gives them.
std::string CodePageName(std::uint8_t n);
std::string InternationalSetName(std::uint8_t n);
std::string BarcodeSystemName(std::uint8_t m);
std::string PrintModeText(std::uint8_t n);
std::string StatusText(Ask ask, std::uint8_t byte);
std::string AutomaticStatusText(std::string_view four);

}  // namespace veltra::decode::escpos
