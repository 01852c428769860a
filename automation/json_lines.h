// JSON read with the line of every value, so a fault in a library file can be
// shown where it is.
#pragma once

#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace veltra::automation {

// Objects keep their members in the order written, so a saved file diffs well.
using TJson = nlohmann::ordered_json;

struct TJsonDocument {
  TJson Root;
  std::map<std::string, int> Lines;  // JSON pointer ("/sequences/0/parts/2") to its line

  // The line of the value at `pointer`, or of the nearest enclosing value.
  int LineOf(std::string pointer) const;
};

// Throws TLibraryError with the line for text that is not JSON, not UTF-8, or
// names a member twice.
TJsonDocument ParseJsonWithLines(std::string_view text);

// Bytes as JSON's UTF-8 (each byte one Latin-1 character) and back. Latin1FromUtf8
// throws TAutomationError for a character beyond U+00FF.
std::string Utf8FromLatin1(std::string_view bytes);
std::string Latin1FromUtf8(std::string_view text);

}  // namespace veltra::automation
