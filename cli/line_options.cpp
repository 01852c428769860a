#include "cli/line_options.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <utility>

#include "session/char_code.h"
#include "session/integer_text.h"
#include "session/port_settings.h"

namespace veltra::cli {

namespace {

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

std::string Quoted(std::string_view text) {
  return "'" + std::string(text) + "'";
}

// The position of `text` among `names`, compared without regard to case.
template <std::size_t N>
std::optional<std::size_t> Find(const std::array<const char*, N>& names, std::string_view text) {
  const std::string lower = Lower(text);
  for (std::size_t i = 0; i < N; ++i)
    if (lower == names[i]) return i;
  return std::nullopt;
}

template <std::size_t N>
std::string OneOf(const std::array<const char*, N>& names) {
  std::string list;
  for (const char* name : names) list += (list.empty() ? "" : "|") + std::string(name);
  return list;
}

constexpr std::array<const char*, 5> kParityNames = {"none", "odd", "even", "mark", "space"};
constexpr std::array<const char*, 4> kFlowNames = {"none", "xonxoff", "rtscts", "dsrdtr"};
// The window's "Report" list.
constexpr std::array<const char*, 5> kReportNames = {"nothing", "errors", "warnings", "debuginfo",
                                                     "everything"};

}  // namespace

std::uint32_t ReadUnsigned(std::string_view text, std::uint32_t min, std::uint32_t max) {
  const bool digits = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
  });
  const auto value = digits ? session::ReadInteger(text) : std::nullopt;
  if (!value || *value < 0 || static_cast<std::uint32_t>(*value) < min ||
      static_cast<std::uint32_t>(*value) > max)
    throw TBadValue(Quoted(text) + " is not a whole number from " + std::to_string(min) + " to " +
                    std::to_string(max));
  return static_cast<std::uint32_t>(*value);
}

Byte ReadDataBits(std::string_view text) {
  return static_cast<Byte>(ReadUnsigned(text, 4, 8));
}

Byte ReadParity(std::string_view text) {
  if (const auto i = Find(kParityNames, text)) return static_cast<Byte>(*i);
  throw TBadValue(Quoted(text) + " is not one of " + OneOf(kParityNames));
}

Byte ReadStopBits(std::string_view text) {
  if (text == "1") return 0;
  if (text == "1.5" || text == "1,5") return 1;
  if (text == "2") return 2;
  throw TBadValue(Quoted(text) + " is not one of 1|1.5|2");
}

Integer ReadFlow(std::string_view text) {
  if (const auto i = Find(kFlowNames, text)) return session::FlowControlCodes[*i];
  throw TBadValue(Quoted(text) + " is not one of none|rtscts|dsrdtr|xonxoff");
}

Char ReadCharCode(std::string_view text) {
  if (text.empty()) throw TBadValue("a character or a code from 0 to 255 is needed");
  try {
    return session::TextToCharCode(std::string(text), 0);
  } catch (const session::EConvertError& e) {
    throw TBadValue(e.what());
  }
}

Byte ReadReportLevel(std::string_view text) {
  if (const auto i = Find(kReportNames, text)) return static_cast<Byte>(*i);
  if (text.size() == 1 && text[0] >= '0' && text[0] <= '4') return static_cast<Byte>(text[0] - '0');
  throw TBadValue(Quoted(text) + " is not one of " + OneOf(kReportNames) + " or 0 to 4");
}

std::string ReadSection(std::string_view text) {
  for (const char* section : {session::kPort1Section, session::kPort2Section})
    if (Lower(text) == Lower(section)) return section;
  throw TBadValue(Quoted(text) + " is not one of " + session::kPort1Section + "|" +
                  session::kPort2Section);
}

TLineOptions TLineOptions::WithPortOverrides(const TLineOptions& o) const {
  TLineOptions merged = *this;
  merged.Section = o.Section;
  if (o.BaudRate) merged.BaudRate = o.BaudRate;
  if (o.DataBits) merged.DataBits = o.DataBits;
  if (o.ParityType) merged.ParityType = o.ParityType;
  if (o.StopBits) merged.StopBits = o.StopBits;
  if (o.FlowControl) merged.FlowControl = o.FlowControl;
  return merged;
}

namespace {

template <typename T, typename Setter>
void SetIf(engine::TSerialPort& port, const std::optional<T>& value, Setter setter) {
  if (value) (port.*setter)(*value);
}

// 64 KiB driver queues unless told otherwise (the window's are 4096). The driver asks
// for a pause when fewer than XoffLim bytes are free; with 4096 that is less than one
// read of a tty's lower half, so a late owner thread can overflow the queue even under
// flow control. A terminal program is late more often than a desktop window.
constexpr Word kQueueSize = 65535;

// On a closed port the driver call behind these setters fails by design (there is no
// handle yet); the size is stored and used when the port opens, so that failure is
// not reported.
void SetQueueSizes(engine::TSerialPort& port, const TLineOptions& o) {
  const std::optional<Word> fallback = o.Section ? std::nullopt : std::optional<Word>(kQueueSize);
  auto handler = std::exchange(port.OnProcessError, nullptr);
  SetIf(port, o.RxQueueSize ? o.RxQueueSize : fallback, &engine::TSerialPort::SetRxQueueSize);
  SetIf(port, o.TxQueueSize ? o.TxQueueSize : fallback, &engine::TSerialPort::SetTxQueueSize);
  port.OnProcessError = std::move(handler);
}

bool LoadSection(engine::TSerialPort& port, const std::string& section) {
  bool unreadable = false;
  auto handler = port.OnProcessError;
  port.OnProcessError = [&](engine::TObject* sender, Cardinal place, Cardinal code,
                            const std::string& msg, Byte noise) {
    if (place == 402) unreadable = true;
    if (handler) handler(sender, place, code, msg, noise);
  };
  port.LoadSettings(session::kSettingsKey, section);
  port.OnProcessError = std::move(handler);
  return !unreadable;
}

}  // namespace

bool ApplyLineOptions(engine::TSerialPort& port, const TLineOptions& o, Byte defaultNoise) {
  using P = engine::TSerialPort;
  if (o.Section && !LoadSection(port, *o.Section)) return false;
  SetIf(port, o.BaudRate, &P::SetBaudRate);
  SetIf(port, o.DataBits, &P::SetDataBits);
  SetIf(port, o.StopBits, &P::SetStopBits);
  SetIf(port, o.ParityType, &P::SetParityType);
  SetIf(port, o.FlowControl, &P::SetFlowControl);
  // A character delay given by hand replaces the one worked out from the baud rate.
  if (o.RTOCharDelayTime || o.WTOCharDelayTime) port.SetXTOAuto(false);
  SetIf(port, o.WTOCharDelayTime, &P::SetWTOCharDelayTime);
  SetIf(port, o.RTOCharDelayTime, &P::SetRTOCharDelayTime);
  SetIf(port, o.WTOExtraDelayTime, &P::SetWTOExtraDelayTime);
  SetIf(port, o.RTOExtraDelayTime, &P::SetRTOExtraDelayTime);
  SetIf(port, o.XONChar, &P::SetXONChar);
  SetIf(port, o.XOFFChar, &P::SetXOFFChar);
  SetIf(port, o.XONLimDiv, &P::SetXONLimDiv);
  SetIf(port, o.XOFFLimDiv, &P::SetXOFFLimDiv);
  if (o.ParityErrorChar) port.SetParityErrorReplacement(true);
  SetIf(port, o.ParityErrorChar, &P::SetParityErrorChar);
  SetIf(port, o.EventChar, &P::SetEventChar);
  if (o.StripNullChars) port.SetStripNullChars(true);
  SetIf(port, o.ClusterSize, &P::SetClusterSize);
  SetQueueSizes(port, o);
  if (o.ErrorNoise) {
    port.SetErrorNoise(*o.ErrorNoise);
  } else if (!o.Section) {
    port.SetErrorNoise(defaultNoise);
  }
  return true;
}

}  // namespace veltra::cli
