#include "session/traffic_log_path.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace veltra::session {

namespace {

bool IsSeparator(char c) {
#ifdef _WIN32
  return c == '/' || c == '\\' || c == ':';
#else
  return c == '/';
#endif
}

// Characters, not bytes: UTF-8 continuation bytes do not count.
std::size_t CharacterCount(std::string_view text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

bool IsTxt(std::string_view extension) {
  return extension.size() == 3 &&
         std::equal(extension.begin(), extension.end(), "txt", [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) == b;
         });
}

}  // namespace

std::string TrafficLogPath(const std::string& errorLogPath) {
  const std::string_view path(errorLogPath);
  std::size_t nameAt = path.size();
  while (nameAt > 0 && !IsSeparator(path[nameAt - 1])) --nameAt;
  const std::string folder(path.substr(0, nameAt));
  const std::string_view name = path.substr(nameAt);
  // A leading dot starts a name (".x"), not an extension.
  const std::size_t dot = name.rfind('.');
  const bool hasExtension = dot != std::string_view::npos && dot > 0;
  const std::string_view stem = hasExtension ? name.substr(0, dot) : name;
  const std::string_view extension = hasExtension ? name.substr(dot + 1) : std::string_view();
  if (CharacterCount(extension) == 3 && !IsTxt(extension))
    return folder + std::string(stem) + ".txt";
  if (stem.empty()) return folder + "traffic.txt";
  return folder + std::string(stem) + "-traffic.txt";
}

}  // namespace veltra::session
