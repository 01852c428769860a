// The file store's text: a REGEDIT4 document parsed into sections and values, and
// written back. Strings of printable ASCII are written quoted (\\ and \" escaped);
// any other string as hex(1): its bytes and a terminating NUL, as regedit does, so
// the file stays plain text and every byte comes back. Values of other types
// (dword:, hex:, hex(N):) are kept as found and read as a failure, as the registry
// refuses them as strings. Anything else, a torn line included, fails the whole
// parse: a document is either read whole or not at all.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veltra::platform {

struct RegValue {
  std::string name;
  // The string, every byte; for a value of another type the text after '=', kept
  // as found.
  std::string data;
  bool isString = true;
};

// Positions of named entries, found by name ignoring ASCII case: open addressing
// over 32-bit positions, a few bytes an entry, so a large file costs little memory.
class NameIndex {
 public:
  // `nameOf(position)` gives the name of the entry at a position.
  template <typename NameOf>
  std::optional<std::uint32_t> Find(std::string_view name, const NameOf& nameOf) const {
    if (slots_.empty()) return std::nullopt;
    for (std::size_t i = Hash(name) & Mask();; i = (i + 1) & Mask()) {
      if (slots_[i] == 0) return std::nullopt;
      if (SameName(nameOf(slots_[i] - 1), name)) return slots_[i] - 1;
    }
  }
  // Adds a position whose name is not in the index yet.
  template <typename NameOf>
  void Add(std::uint32_t position, const NameOf& nameOf) {
    if ((count_ + 1) * 2 > slots_.size()) Grow(nameOf);
    Place(position, nameOf(position));
    ++count_;
  }

  static bool SameName(std::string_view a, std::string_view b);

 private:
  static std::size_t Hash(std::string_view name);
  std::size_t Mask() const { return slots_.size() - 1; }
  void Place(std::uint32_t position, std::string_view name) {
    std::size_t i = Hash(name) & Mask();
    while (slots_[i] != 0) i = (i + 1) & Mask();
    slots_[i] = position + 1;
  }
  template <typename NameOf>
  void Grow(const NameOf& nameOf) {
    std::vector<std::uint32_t> old = std::move(slots_);
    slots_.assign(std::max<std::size_t>(8, old.size() * 2), 0);
    for (std::uint32_t slot : old) {
      if (slot != 0) Place(slot - 1, nameOf(slot - 1));
    }
  }

  std::vector<std::uint32_t> slots_;  // position + 1; 0 is free
  std::size_t count_ = 0;
};

// Sections and values keep the order they were found or added in; lookups ignore
// ASCII case, as the registry does, and take constant time.
class RegSection {
 public:
  explicit RegSection(std::string path) : path_(std::move(path)) {}
  const std::string& Path() const { return path_; }
  const std::deque<RegValue>& Values() const { return values_; }
  RegValue* Find(std::string_view name);
  // Replaces a value of the same name, else appends.
  RegValue& Put(RegValue value);

 private:
  std::string path_;
  std::deque<RegValue> values_;  // grows without moving what it holds
  NameIndex index_;
};

class RegDocument {
 public:
  const std::vector<RegSection>& Sections() const { return sections_; }
  RegSection* Find(std::string_view path);
  // The section of that path, added at the end when missing.
  RegSection& FindOrAdd(std::string_view path);

 private:
  std::vector<RegSection> sections_;
  NameIndex index_;
};

// Nothing when the text is not a whole REGEDIT4 document.
std::optional<RegDocument> ParseRegText(std::string_view text);
std::string SerializeRegText(const RegDocument& doc);

}  // namespace veltra::platform
