#include "decode/decoder.h"

#include "decode/dialog06.h"
#include "decode/er650.h"
#include "decode/escpos.h"
#include "decode/scanner.h"

namespace veltra::decode {
namespace {

// A decoder whose two directions are two readers.
class ReaderPair : public PortDecoder {
 public:
  void Feed(Direction direction, std::string_view bytes, std::vector<std::string>& lines) override {
    LineSink sink(lines, limit_);
    Reader(direction).Feed(bytes, sink);
  }
  void Finish(Direction direction, std::vector<std::string>& lines) override {
    LineSink sink(lines);
    Reader(direction).Finish(sink);
  }
  void SetLineLimit(std::size_t lines) override { limit_ = lines; }
  std::size_t Held(Direction direction) const override {
    return const_cast<ReaderPair*>(this)->Reader(direction).Held();
  }

 protected:
  virtual StreamReader& Reader(Direction direction) = 0;

 private:
  std::size_t limit_ = 0;
};

class PrinterDecoder final : public ReaderPair {
  StreamReader& Reader(Direction d) override {
    return d == Direction::ToDevice ? static_cast<StreamReader&>(commands_) : answers_;
  }
  escpos::Conversation talk_;
  escpos::CommandReader commands_{talk_};
  escpos::AnswerReader answers_{talk_};
};

class ScaleDecoder final : public ReaderPair {
  StreamReader& Reader(Direction d) override { return d == Direction::ToDevice ? toScale_ : fromScale_; }
  dialog06::Reader toScale_, fromScale_;
};

class CashRegisterDecoder final : public ReaderPair {
  StreamReader& Reader(Direction d) override { return d == Direction::ToDevice ? toEcr_ : fromEcr_; }
  er650::Reader toEcr_, fromEcr_;
};

class ScannerDecoder final : public ReaderPair {
  StreamReader& Reader(Direction d) override {
    return d == Direction::ToDevice ? static_cast<StreamReader&>(commands_) : labels_;
  }
  scanner::CommandReader commands_;
  scanner::LabelReader labels_;
};

constexpr std::pair<Protocol, std::string_view> kNames[] = {
    {Protocol::None, "none"},          {Protocol::Printer, "printer"},
    {Protocol::Scale, "scale"},        {Protocol::CashRegister, "ecr"},
    {Protocol::Scanner, "scanner"},
};

}  // namespace

std::unique_ptr<PortDecoder> MakePortDecoder(Protocol protocol) {
  switch (protocol) {
    case Protocol::Printer: return std::make_unique<PrinterDecoder>();
    case Protocol::Scale: return std::make_unique<ScaleDecoder>();
    case Protocol::CashRegister: return std::make_unique<CashRegisterDecoder>();
    case Protocol::Scanner: return std::make_unique<ScannerDecoder>();
    case Protocol::None: break;
  }
  return nullptr;
}

std::optional<Protocol> ProtocolFromName(std::string_view name) {
  for (const auto& [protocol, text] : kNames)
    if (text == name) return protocol;
  return std::nullopt;
}

std::string_view ProtocolName(Protocol protocol) {
  for (const auto& [p, text] : kNames)
    if (p == protocol) return text;
  return "none";
}

// GS1 General Specifications, check digit calculation: from the digit next to the
// check digit leftwards, the data digits are weighted 3, 1, 3, ...; the check digit
// brings the sum up to a multiple of 10.
int Gs1CheckDigit(std::string_view digitsWithCheck) {
  if (digitsWithCheck.size() < 2) return -1;
  int sum = 0, weight = 3;
  for (std::size_t i = digitsWithCheck.size() - 1; i-- > 0;) {
    const char c = digitsWithCheck[i];
    if (c < '0' || c > '9') return -1;
    sum += (c - '0') * weight;
    weight = 4 - weight;
  }
  const char check = digitsWithCheck.back();
  if (check < '0' || check > '9') return -1;
  return (10 - sum % 10) % 10;
}

}  // namespace veltra::decode
