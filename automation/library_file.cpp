// The library on disk, read and written as the settings are.
#include <cstdlib>

#include "session/port_settings.h"
#include "automation/library.h"
#include "platform/settings/settings_file.h"
#include "platform/settings/settings_store.h"

namespace veltra::automation {

namespace {

std::string WhyNot(std::uint32_t code) {
  switch (code) {
    case 2: return "no such file";
    case 3: return "no such directory";
    case 5: return "access denied";
    case 112: return "the disk is full";
    case 1015: return "not a regular file of at most 4 MiB";
    default: return "system error " + std::to_string(code);
  }
}

}  // namespace

TLibrary LoadLibraryFile(const std::string& path, bool missingIsEmpty) {
  std::string text;
  std::uint32_t error = 0;
  switch (platform::ReadSettingsFile(path, &text, &error)) {
    case platform::FileReadResult::Absent:
      if (missingIsEmpty) return {};
      throw TLibraryError(0, path + ": " + WhyNot(2));
    case platform::FileReadResult::Failed:
      throw TLibraryError(0, path + ": " + WhyNot(error));
    case platform::FileReadResult::Read:
      break;
  }
  try {
    return ParseLibrary(text);
  } catch (const TLibraryError& e) {
    throw TLibraryError(e.Line(), path + ":" + std::to_string(e.Line()) + ": " + e.what());
  }
}

void SaveLibraryFile(const std::string& path, const TLibrary& library) {
  if (const std::uint32_t error = platform::ReplaceSettingsFile(path, FormatLibrary(library)))
    throw TLibraryError(0, path + ": " + WhyNot(error));
}

std::string DefaultLibraryPath() {
  const std::string settings = platform::SettingsLocation(session::kSettingsKey);
#ifdef _WIN32
  // The settings live in the registry; files go to the roaming profile.
  const char* appData = std::getenv("APPDATA");
  if (appData == nullptr || settings.empty()) return {};
  return std::string(appData) + "\\Orvane\\Veltra\\sequences.json";
#else
  const std::size_t slash = settings.rfind('/');
  return slash == std::string::npos ? std::string() : settings.substr(0, slash) + "/sequences.json";
#endif
}

}  // namespace veltra::automation
