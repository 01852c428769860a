#include "automation/script/junit_report.h"

#include <cstdio>

namespace veltra::script {

namespace {

// The length of the well-formed UTF-8 sequence at text[i], 0 when there is none.
std::size_t Utf8Length(std::string_view text, std::size_t i) {
  const auto b = static_cast<unsigned char>(text[i]);
  std::size_t n = 0;
  unsigned min = 0;
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2, min = 0x80;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3, min = 0x800;
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4, min = 0x10000;
  } else {
    return 0;
  }
  if (i + n > text.size()) return 0;
  unsigned cp = b & (0x3F >> (n - 1));
  for (std::size_t k = 1; k < n; ++k) {
    const auto c = static_cast<unsigned char>(text[i + k]);
    if ((c & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (c & 0x3F);
  }
  const bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
  return cp < min || cp > 0x10FFFF || surrogate || cp == 0xFFFE || cp == 0xFFFF ? 0 : n;
}

std::string Seconds(double s) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", s);
  return text;
}

}  // namespace

std::string XmlText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    switch (b) {
      case '&':
        out += "&amp;";
        continue;
      case '<':
        out += "&lt;";
        continue;
      case '>':
        out += "&gt;";
        continue;
      case '"':
        out += "&quot;";
        continue;
      case '\'':
        out += "&apos;";
        continue;
      case '\t':
        out += "&#9;";
        continue;
      case '\n':
        out += "&#10;";
        continue;
      case '\r':
        out += "&#13;";
        continue;
      default:
        break;
    }
    if (b < 0x20 || b == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", b);
      out += hex;
    } else if (b < 0x80) {
      out.push_back(static_cast<char>(b));
    } else if (const std::size_t n = Utf8Length(text, i); n > 0) {
      out.append(text.substr(i, n));
      i += n - 1;
    } else {  // Latin-1
      out.push_back(static_cast<char>(0xC0 | (b >> 6)));
      out.push_back(static_cast<char>(0x80 | (b & 0x3F)));
    }
  }
  return out;
}

std::string JUnitReport(const std::string& suite, const std::string& name, const TScriptResult& r) {
  const bool failed = r.Outcome == TScriptOutcome::Failed || r.Outcome == TScriptOutcome::Stopped;
  const bool error = r.Outcome == TScriptOutcome::Error;
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  xml += "<testsuites tests=\"1\" failures=\"" + std::to_string(failed) + "\" errors=\"" +
         std::to_string(error) + "\" time=\"" + Seconds(r.Seconds) + "\">\n";
  xml += "  <testsuite name=\"" + XmlText(suite) + "\" tests=\"1\" failures=\"" +
         std::to_string(failed) + "\" errors=\"" + std::to_string(error) +
         "\" skipped=\"0\" time=\"" + Seconds(r.Seconds) + "\">\n";
  xml += "    <testcase name=\"" + XmlText(name) + "\" classname=\"" + XmlText(suite) +
         "\" time=\"" + Seconds(r.Seconds) + "\">\n";
  if (failed || error) {
    std::string details;
    for (const std::string& f : r.Failures) details += f + "\n";
    const std::string message = r.Message.empty() ? std::string(OutcomeName(r.Outcome)) : r.Message;
    xml += std::string("      <") + (error ? "error" : "failure") + " message=\"" +
           XmlText(message) + "\" type=\"" + OutcomeName(r.Outcome) + "\">" + XmlText(details) +
           "</" + (error ? "error" : "failure") + ">\n";
  }
  xml += "      <system-out>" + XmlText(r.Log) + "</system-out>\n";
  xml += "    </testcase>\n  </testsuite>\n</testsuites>\n";
  return xml;
}

}  // namespace veltra::script
