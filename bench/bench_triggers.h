// The triggers the benchmarks set on a receiving port: 100 of the kinds a stand-in
// device uses (texts, hex frames with wildcards), and, optionally, regular
// expressions among them. Reproducible, like the stream.
#pragma once

#include <cstdio>
#include <random>
#include <string>

#include "automation/library.h"

namespace veltra::bench {

inline automation::TLibrary BenchTriggers(int count, int regexes) {
  automation::TLibrary lib;
  std::mt19937 random(99);
  auto hexByte = [&] {
    char text[4];
    std::snprintf(text, sizeof text, "%02X ", static_cast<unsigned>(random() & 0xFF));
    return std::string(text);
  };
  for (int k = 0; k < count; ++k) {
    automation::TTrigger t;
    t.Name = "t" + std::to_string(k);
    t.Count = true;
    if (k < regexes) {
      t.Pattern = {automation::TPatternKind::Regex,
                   "\\x" + hexByte().substr(0, 2) + "[0-9A-Z]{2,8}\\x03"};
    } else if (k % 3 == 0) {
      // A frame: start byte, any two bytes, end byte.
      t.Pattern = {automation::TPatternKind::Hex, hexByte() + "?? ?? " + hexByte()};
    } else {
      std::string text;
      const std::size_t length = 3 + random() % 6;
      for (std::size_t j = 0; j < length; ++j) text.push_back(static_cast<char>(random()));
      t.Pattern = {automation::TPatternKind::Text, text};
    }
    lib.Triggers.push_back(t);
  }
  return lib;
}

}  // namespace veltra::bench
