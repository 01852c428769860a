// Per-user settings as the registry keeps them: a key under HKEY_CURRENT_USER, its
// subkeys ("sections") and their string values. On Windows this is the registry
// itself; elsewhere a file store with the same hive, key path, section and value
// layout and string encoding: $XDG_CONFIG_HOME (default ~/.config) / the key path
// without its leading "Software" / registry.reg, in REGEDIT4 form.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace veltra::platform {

class SettingsKey {
 public:
  enum class ReadResult {
    Found,
    Missing,  // no such section or value: not an error
    Failed,   // the value is not a string value, or the store cannot be read
  };

  virtual ~SettingsKey() = default;
  // Reads a string value (REG_SZ or REG_EXPAND_SZ) of a section; "" is the key itself.
  virtual ReadResult ReadString(const std::string& section, const std::string& name,
                                std::string* value) = 0;
  // Writes a string value, creating the section when missing. False on failure.
  virtual bool WriteString(const std::string& section, const std::string& name,
                           const std::string& value) = 0;
  // Makes the writes so far durable. The file store replaces its file in one step
  // (a new file renamed over the old one), so a failure leaves the old file whole.
  virtual bool Commit() = 0;
  // The Win32 code of the last failed WriteString or Commit.
  virtual std::uint32_t LastError() const = 0;
};

// Opens keyPath (e.g. "Software\\Orvane\\Veltra") under HKEY_CURRENT_USER with full
// access, creating it when missing (the file store creates its file at the first
// Commit). Null when the store cannot be opened: the file exists but cannot be read
// (the OS error as a Win32 code in *error), is damaged (not a regular file, larger
// than kMaxSettingsFileSize, or not parsed whole: ERROR_REGISTRY_CORRUPT), or its
// place cannot be worked out. A damaged file is never rewritten.
std::unique_ptr<SettingsKey> OpenCurrentUserKey(const std::string& keyPath,
                                                std::uint32_t* error = nullptr);

// Far above any real settings file (a few kilobytes); a larger one is damaged.
inline constexpr std::size_t kMaxSettingsFileSize = 4u << 20;

// Where keyPath is kept: the file's path, or the registry path on Windows. Empty
// when it cannot be worked out.
std::string SettingsLocation(const std::string& keyPath);

}  // namespace veltra::platform
