// The automation library: the send sequences and receive triggers a technician
// keeps, in one JSON file a person can read, diff and share (format in README.md).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "automation/sequence.h"
#include "automation/trigger.h"

namespace veltra::automation {

struct TLibrary {
  std::vector<TSequence> Sequences;
  std::vector<TTrigger> Triggers;

  const TSequence* FindSequence(std::string_view name) const;
};

// A library file that cannot be read: Line is 0 when the fault has no line (the
// file cannot be opened).
class TLibraryError : public TAutomationError {
 public:
  TLibraryError(int line, const std::string& message);
  int Line() const { return line_; }

 private:
  int line_;
};

// Reads a library's text. Throws TLibraryError with the line of the first fault:
// bad JSON, an unknown or missing field, a part or pattern that cannot be used, a
// name given twice, a trigger sending a sequence that is not there.
TLibrary ParseLibrary(std::string_view text);
// The library's text: one field a line, one part a line, UTF-8.
std::string FormatLibrary(const TLibrary& library);
// Checks what ParseLibrary checks beyond the JSON (for a library edited in place).
// Throws TAutomationError.
void CheckLibrary(const TLibrary& library);

// Reads a file as the settings are read (a regular file of at most 4 MiB). A
// missing file is an empty library when `missingIsEmpty`. Throws TLibraryError
// whose text is "FILE:LINE: what" (or "FILE: what").
TLibrary LoadLibraryFile(const std::string& path, bool missingIsEmpty = false);
// Replaces the file in one step. Throws TLibraryError "FILE: what".
void SaveLibraryFile(const std::string& path, const TLibrary& library);
// Where the window keeps its library: beside the settings file, "sequences.json".
std::string DefaultLibraryPath();

}  // namespace veltra::automation
