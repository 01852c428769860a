// The file store's text: a REGEDIT4 document parsed into sections and values, and
// written back. Strings of printable ASCII are written quoted (\\ and \" escaped);
// any other string as hex(1): its bytes and a terminating NUL, as regedit does, so
// the file stays plain text and every byte comes back. Values of other types
// (dword:, hex:, hex(N):) are kept as found and read as a failure, as the registry
// refuses them as strings. Anything else, a torn line included, fails the whole
// parse: a document is either read whole or not at all.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace veltra::platform {

struct RegValue {
  std::string name;
  bool isString = true;
  std::string data;  // the string, every byte, when isString
  std::string raw;   // the text after '=', when not a string value (kept as found)
};

// Sections and values keep the order they were found or added in; lookups ignore
// ASCII case, as the registry does, and take constant time.
class RegSection {
 public:
  explicit RegSection(std::string path) : path_(std::move(path)) {}
  const std::string& Path() const { return path_; }
  const std::vector<RegValue>& Values() const { return values_; }
  RegValue* Find(std::string_view name);
  // Replaces a value of the same name, else appends.
  RegValue& Put(RegValue value);

 private:
  std::string path_;
  std::vector<RegValue> values_;
  std::unordered_map<std::string, std::size_t> index_;
};

class RegDocument {
 public:
  const std::vector<RegSection>& Sections() const { return sections_; }
  RegSection* Find(std::string_view path);
  // The section of that path, added at the end when missing.
  RegSection& FindOrAdd(std::string_view path);

 private:
  std::vector<RegSection> sections_;
  std::unordered_map<std::string, std::size_t> index_;
};

// Nothing when the text is not a whole REGEDIT4 document.
std::optional<RegDocument> ParseRegText(std::string_view text);
std::string SerializeRegText(const RegDocument& doc);

}  // namespace veltra::platform
