#include "session/traffic_log_path.h"

#include <cctype>

namespace veltra::session {

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

std::string TrafficLogPath(const std::string& errorLogPath) {
  std::size_t cut = errorLogPath.size();
  // Step back over three UTF-8 characters, continuation bytes included.
  for (int chars = 0; chars < 3 && cut > 0; ++chars) {
    do --cut;
    while (cut > 0 && (static_cast<unsigned char>(errorLogPath[cut]) & 0xC0) == 0x80);
  }
  const std::string path = errorLogPath.substr(0, cut) + "txt";
  if (Lower(path) != Lower(errorLogPath)) return path;
  // "-traffic" before the extension (the part after the file name's last dot).
  const std::size_t name = errorLogPath.rfind('/') + 1;
  const std::size_t dot = errorLogPath.rfind('.');
  const std::size_t base = dot != std::string::npos && dot > name ? dot : errorLogPath.size();
  return errorLogPath.substr(0, base) + "-traffic.txt";
}

}  // namespace veltra::session
