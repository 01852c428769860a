// A port's line parameters as given on the command line, the texts they are read
// from, and how they reach a TSerialPort (through its setters, in the order the
// window's "Start" uses, after a saved section if one is named).
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "engine/serial_port.h"

namespace veltra::cli {

using engine::Byte;
using engine::Cardinal;
using engine::Char;
using engine::Integer;
using engine::Word;

// A value that cannot be taken; the message does not name the option (the parser does).
class TBadValue : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TLineOptions {
  std::optional<std::string> Section;  // saved settings, loaded before the rest
  std::optional<Cardinal> BaudRate;
  std::optional<Byte> DataBits, ParityType, StopBits;
  std::optional<Integer> FlowControl;
  std::optional<Char> EventChar, XONChar, XOFFChar, ParityErrorChar;
  std::optional<Byte> XONLimDiv, XOFFLimDiv;
  bool StripNullChars = false;
  std::optional<Cardinal> RTOCharDelayTime, WTOCharDelayTime;
  std::optional<Word> RTOExtraDelayTime, WTOExtraDelayTime;
  std::optional<Word> ClusterSize, RxQueueSize, TxQueueSize;
  std::optional<Byte> ErrorNoise;

  // Port 2 of a spy: these options, with the per-port ones of `overrides` in their
  // place and only its own saved section.
  TLineOptions WithPortOverrides(const TLineOptions& overrides) const;
};

// Readers of the option texts; each throws TBadValue.
std::uint32_t ReadUnsigned(std::string_view text, std::uint32_t min, std::uint32_t max);
Byte ReadDataBits(std::string_view text);
Byte ReadParity(std::string_view text);    // none odd even mark space
Byte ReadStopBits(std::string_view text);  // 1 1.5 2
Integer ReadFlow(std::string_view text);   // none rtscts dsrdtr xonxoff
Char ReadCharCode(std::string_view text);  // "A", "0x0D", "13", "$0D"
Byte ReadReportLevel(std::string_view text);
std::string ReadSection(std::string_view text);  // ComTest1 ComTest2

// Applies `options` to a closed port; `defaultNoise` is the report level when
// neither --report nor a saved section gives one. False when the named section
// could not be read (the component has reported why).
bool ApplyLineOptions(engine::TSerialPort& port, const TLineOptions& options, Byte defaultNoise);

}  // namespace veltra::cli
