// Whole files beside the settings on Windows: only a disk file of sane size is
// read (never a device such as COM1 or a pipe), and a save writes a new file and
// moves it over the old one.
#include "platform/core/windows_lean.h"

#include "platform/settings/settings_file.h"
#include "platform/settings/settings_store.h"

namespace veltra::platform {

namespace {

constexpr DWORD kCorrupt = 1015;  // ERROR_REGISTRY_CORRUPT, as the settings store says it

FileReadResult ReadOpen(HANDLE file, std::string* text, std::uint32_t* error) {
  LARGE_INTEGER size{};
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileSizeEx(file, &size) || size.QuadPart < 0 ||
      static_cast<unsigned long long>(size.QuadPart) > kMaxSettingsFileSize) {
    *error = kCorrupt;
    return FileReadResult::Failed;
  }
  char buffer[65536];
  while (text->size() <= kMaxSettingsFileSize) {
    DWORD n = 0;
    if (!ReadFile(file, buffer, sizeof buffer, &n, nullptr)) {
      *error = GetLastError();
      return FileReadResult::Failed;
    }
    if (n == 0) return FileReadResult::Read;
    text->append(buffer, n);
  }
  *error = kCorrupt;
  return FileReadResult::Failed;
}

// Each directory on the way to `path`'s own; one that exists already is fine.
void MakeDirectories(const std::string& path) {
  for (std::size_t pos = path.find_first_of("\\/", 3); pos != std::string::npos;
       pos = path.find_first_of("\\/", pos + 1))
    CreateDirectoryA(path.substr(0, pos).c_str(), nullptr);
}

}  // namespace

FileReadResult ReadSettingsFile(const std::string& path, std::string* text, std::uint32_t* error) {
  std::uint32_t ignored = 0;
  if (error == nullptr) error = &ignored;
  *error = 0;
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return FileReadResult::Absent;
    *error = code;
    return FileReadResult::Failed;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    *error = kCorrupt;
    return FileReadResult::Failed;
  }
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return FileReadResult::Failed;
  }
  const FileReadResult result = ReadOpen(file, text, error);
  CloseHandle(file);
  return result;
}

std::uint32_t ReplaceSettingsFile(const std::string& path, std::string_view text) {
  MakeDirectories(path);
  const std::string temp = path + ".new";
  const HANDLE file = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  DWORD error = 0;
  DWORD written = 0;
  if (!WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr))
    error = GetLastError();
  else if (written != text.size())
    error = ERROR_DISK_FULL;
  if (error == 0 && !FlushFileBuffers(file)) error = GetLastError();
  CloseHandle(file);
  if (error == 0 &&
      !MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    error = GetLastError();
  if (error != 0) DeleteFileA(temp.c_str());
  return error;
}

}  // namespace veltra::platform
