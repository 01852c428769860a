#include "session/log_lines.h"

namespace veltra::session {
namespace {

void AppendTwoDigits(std::string& out, int value) {
  out.push_back(static_cast<char>('0' + (value / 10) % 10));
  out.push_back(static_cast<char>('0' + value % 10));
}

}  // namespace

std::string FormatStamp(const std::tm& t) {
  std::string s;
  s.reserve(17);
  AppendTwoDigits(s, t.tm_mday);
  s.push_back('.');
  AppendTwoDigits(s, t.tm_mon + 1);
  s.push_back('.');
  AppendTwoDigits(s, (t.tm_year + 1900) % 100);
  s.push_back(' ');
  AppendTwoDigits(s, t.tm_hour);
  s.push_back(':');
  AppendTwoDigits(s, t.tm_min);
  s.push_back(':');
  AppendTwoDigits(s, t.tm_sec);
  return s;
}

std::tm LocalNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local;
}

std::string LogHeader(std::string_view prefix, const std::tm& local) {
  std::string header(prefix);
  header += FormatStamp(local);
  header += " :";
  return header;
}

std::size_t AppendEntryLines(std::string_view entry, std::string& out) {
  out.reserve(out.size() + entry.size() + 1);
  std::size_t lines = 1;
  for (std::size_t i = 0; i < entry.size(); ++i) {
    const char c = entry[i];
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < entry.size() && entry[i + 1] == '\n') ++i;
      out.push_back('\n');
      ++lines;
    } else {
      out.push_back(c);
    }
  }
  out.push_back('\n');
  return lines;
}

std::string ErrorReportText(std::uint32_t code, std::uint32_t place, std::string_view msg) {
  std::string text = "Code " + std::to_string(code) + " at " + std::to_string(place) + " Text: ";
  text += msg;
  return text;
}

std::string ComEventText(std::uint32_t modemState) {
  return "ComEvent" + std::to_string(modemState);
}

}  // namespace veltra::session
