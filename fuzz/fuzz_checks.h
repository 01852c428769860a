// What must hold for any input to the settings reader and the integer reader. The
// libFuzzer targets and the replay test in the normal suite call the same checks;
// false means a finding.
#pragma once

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/integer_text.h"
#include "platform/settings/settings_text.h"

namespace veltra::fuzz {

using platform::RegValue;

// The integer rules written out a second way: digits read by std::from_chars into
// 64 bits (at most 15 significant digits, so below 2^60), then range-checked.
inline std::optional<std::int32_t> ReferenceInt32(std::string_view s, unsigned prefixes) {
  s.remove_prefix(std::min(s.find_first_not_of(' '), s.size()));
  const bool negative = s.starts_with('-');
  if (negative || s.starts_with('+')) s.remove_prefix(1);
  int base = 10;
  for (std::string_view prefix : {"$", "0x", "0X", "x", "X"}) {
    const unsigned flag = prefix == "$"             ? engine::kHexDollar
                          : prefix.starts_with('0') ? engine::kHexZeroX
                                                    : engine::kHexX;
    if ((prefixes & flag) && s.starts_with(prefix)) {
      s.remove_prefix(prefix.size());
      base = 16;
      break;
    }
  }
  if (s.empty()) return std::nullopt;
  const bool allDigits = std::all_of(s.begin(), s.end(), [base](char c) {
    return (c >= '0' && c <= '9') ||
           (base == 16 && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')));
  });
  if (!allDigits) return std::nullopt;
  s.remove_prefix(std::min(s.find_first_not_of('0'), s.size() - 1));
  if (s.size() > 15) return std::nullopt;
  std::uint64_t magnitude = 0;
  std::from_chars(s.data(), s.data() + s.size(), magnitude, base);
  const std::int64_t value =
      negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
  if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

inline bool CheckInteger(std::string_view text) {
  for (unsigned prefixes :
       {0u, unsigned(engine::kHexDollar), unsigned(engine::kHexDollar | engine::kHexZeroX),
        unsigned(engine::kHexDollar | engine::kHexZeroX | engine::kHexX)}) {
    const auto got = engine::ParseInt32(text, prefixes);
    if (got != ReferenceInt32(text, prefixes)) return false;
    if (got && engine::ParseInt32(std::to_string(*got), prefixes) != got) return false;
  }
  return true;
}

// A text is read whole or not at all; what is read is written so that it reads
// back to the same document, every byte of every value included.
inline bool CheckSettingsText(std::string_view text) {
  const auto doc = platform::ParseRegText(text);
  if (!doc) return true;
  const std::string written = platform::SerializeRegText(*doc);
  const auto again = platform::ParseRegText(written);
  if (!again || platform::SerializeRegText(*again) != written) return false;
  if (again->Sections().size() != doc->Sections().size()) return false;
  for (std::size_t i = 0; i < doc->Sections().size(); ++i) {
    const auto& before = doc->Sections()[i].Values();
    const auto& after = again->Sections()[i].Values();
    if (before.size() != after.size()) return false;
    for (std::size_t j = 0; j < before.size(); ++j) {
      const RegValue& a = before[j];
      const RegValue& b = after[j];
      if (a.name != b.name || a.data != b.data || a.isString != b.isString) return false;
      if (a.isString && !CheckInteger(a.data)) return false;
    }
  }
  return true;
}

}  // namespace veltra::fuzz
