// Whole files kept beside the settings (the automation library, for one), read and
// written with the settings store's care: only a regular file of at most
// kMaxSettingsFileSize bytes is read (never a FIFO or a device, whose open could
// block or act), and a save replaces the file in one step.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace veltra::platform {

enum class FileReadResult { Read, Absent, Failed };

// Absent: no such file (not an error). Failed: *error holds the Win32 code;
// ERROR_REGISTRY_CORRUPT for a file that is not regular or too large.
FileReadResult ReadSettingsFile(const std::string& path, std::string* text, std::uint32_t* error);
// Writes `text` to a new file beside `path` and renames it over `path`, creating
// the directories on the way. 0 or the Win32 code of the failure.
std::uint32_t ReplaceSettingsFile(const std::string& path, std::string_view text);

}  // namespace veltra::platform
