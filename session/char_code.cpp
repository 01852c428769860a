#include "session/char_code.h"

#include <cstdio>

#include "engine/integer_text.h"

namespace veltra::session {

namespace {

std::string NotAnInteger(const std::string& Text) {
  return "'" + Text + "' is not a valid integer value";
}

}  // namespace

std::string RangeErrorText(std::int64_t Value, std::int64_t Min, std::int64_t Max) {
  return std::to_string(Value) + " is not within the valid range of " + std::to_string(Min) + ".." +
         std::to_string(Max);
}

std::int32_t StrToInt(const std::string& Text) {
  const auto value = engine::ParseInt32(Text, engine::kHexDollar);
  if (!value) throw EConvertError(NotAnInteger(Text));
  return *value;
}

std::int64_t StrToIntInRange(const std::string& Text, std::int64_t Min, std::int64_t Max) {
  const std::int64_t value = StrToInt(Text);
  if (value < Min || value > Max) throw EConvertError(RangeErrorText(value, Min, Max));
  return value;
}

std::string CharCodeToText(std::uint8_t Code) {
  if (Code < 32 || Code == 127 || Code == 255) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%2.2X", static_cast<unsigned>(Code));
    return text;
  }
  return std::string(1, static_cast<char>(Code));
}

std::uint8_t TextToCharCode(const std::string& Text, std::uint8_t Previous) {
  if (Text.empty()) return Previous;
  if (Text.size() == 1) return static_cast<std::uint8_t>(Text[0]);
  const bool hex = Text.compare(0, 2, "0x") == 0;
  // "0x" is read as hexadecimal from the third character on; a sign there is not a digit.
  if (hex && Text.size() > 2 && (Text[2] == '-' || Text[2] == '+' || Text[2] == ' '))
    throw EConvertError(NotAnInteger(Text));
  std::int32_t value = 0;
  if (!hex) {
    value = StrToInt(Text);
  } else {
    try {
      value = StrToInt("$" + Text.substr(2));
    } catch (const EConvertError&) {
      throw EConvertError(NotAnInteger(Text));  // name the text the user typed
    }
  }
  if (value < 0 || value > 255) throw EConvertError(RangeErrorText(value, 0, 255));
  return static_cast<std::uint8_t>(value);
}

}  // namespace veltra::session
