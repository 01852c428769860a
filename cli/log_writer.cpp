#include "cli/log_writer.h"

#include <langinfo.h>

#include <chrono>
#include <cstring>

#include "cli/status_line.h"
#include "session/hex_dump.h"
#include "session/log_lines.h"
#include "session/traffic_log_path.h"

namespace veltra::cli {

namespace {

constexpr std::size_t kFlushAt = std::size_t{1} << 20;

bool TerminalTakesUtf8() {
  const char* codeset = nl_langinfo(CODESET);
  return codeset != nullptr && std::strcmp(codeset, "UTF-8") == 0;
}

}  // namespace

std::string TerminalText(std::string_view bytes, bool utf8) {
  std::string text;
  text.reserve(bytes.size());
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\n') {
      text.push_back('\n');
    } else if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0)) {
      text.push_back('.');  // an escape sequence from a device must not steer the terminal
    } else if (c >= 0xA0 && utf8) {
      text.push_back(static_cast<char>(0xC0 | (c >> 6)));
      text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      text.push_back(ch);
    }
  }
  return text;
}

void TLogWriter::TFileCloser::operator()(std::FILE* f) const {
  std::fclose(f);
}

TLogWriter::TLogWriter(TConsole& console, TLogOptions options)
    : console_(console), options_(std::move(options)) {}

TLogWriter::~TLogWriter() {
  Flush();
}

bool TLogWriter::OpenFiles(std::string* error) {
  if (options_.LogPath.empty()) return true;
  const std::string trafficPath = session::TrafficLogPath(options_.LogPath);
  for (const auto& [path, file] :
       {std::pair{options_.LogPath, &eventFile_}, std::pair{trafficPath, &trafficFile_}}) {
    file->reset(std::fopen(path.c_str(), "wb"));
    if (!*file) {
      *error = "--log: cannot create '" + path + "': " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

const std::string& TLogWriter::Stamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t second = std::chrono::system_clock::to_time_t(now);
  if (second != stampSecond_) {
    std::tm local{};
    localtime_r(&second, &local);
    stamp_ = session::FormatStamp(local);
    stampSecond_ = second;
  }
  if (options_.Stamps == TStamps::Seconds) return stamp_;
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
  const auto n = static_cast<int>(ms.count());
  stampMs_ = stamp_;
  stampMs_ += {'.', static_cast<char>('0' + n / 100), static_cast<char>('0' + n / 10 % 10),
               static_cast<char>('0' + n % 10)};
  return stampMs_;
}

std::string TLogWriter::Header(std::string_view prefix) {
  std::string header(prefix);
  header += Stamp();
  header += " :";
  return header;
}

void TLogWriter::Traffic(std::string_view entry) {
  if (options_.Traffic) session::AppendEntryLines(entry, out_);
  if (trafficFile_) session::AppendEntryLines(entry, trafficLines_);
  FlushIfLarge();
}

void TLogWriter::Dump(std::string_view block) {
  if (options_.Traffic) session::AppendDumpLines(block, out_);
  if (trafficFile_) session::AppendDumpLines(block, trafficLines_);
  FlushIfLarge();
}

void TLogWriter::Event(std::string_view entry) {
  if (options_.Events == TEventsTo::Stderr) session::AppendEntryLines(entry, err_);
  if (options_.Events == TEventsTo::Inline) session::AppendEntryLines(entry, out_);
  if (eventFile_) session::AppendEntryLines(entry, eventLines_);
  FlushIfLarge();
}

void TLogWriter::Report(std::string_view entry) {
  session::AppendEntryLines(entry, options_.Events == TEventsTo::Inline ? out_ : err_);
  if (eventFile_) session::AppendEntryLines(entry, eventLines_);
  FlushIfLarge();
}

void TLogWriter::FlushIfLarge() {
  if (out_.size() + err_.size() + trafficLines_.size() + eventLines_.size() >= kFlushAt) Flush();
}

void TLogWriter::Flush() {
  const bool hides =
      (!err_.empty() && console_.Err.IsTerminal()) || (!out_.empty() && console_.SharedTerminal);
  if (hides && status_ != nullptr) status_->Hide();
  WriteConsole(console_.Out, out_);
  WriteConsole(console_.Err, err_);
  WriteFile(trafficFile_, trafficLines_);
  WriteFile(eventFile_, eventLines_);
  if (hides && status_ != nullptr) status_->Draw();
}

void TLogWriter::WriteConsole(TStream& stream, std::string& lines) {
  if (lines.empty()) return;
  if (stream.IsTerminal()) {
    static const bool utf8 = TerminalTakesUtf8();
    stream.Write(TerminalText(lines, utf8));
  } else {
    stream.Write(lines);
  }
  lines.clear();
}

void TLogWriter::WriteFile(const TFile& file, std::string& lines) {
  if (lines.empty()) return;
  scratch_.clear();
  scratch_.reserve(lines.size() + lines.size() / 16);
  std::size_t at = 0;
  for (std::size_t end; (end = lines.find('\n', at)) != std::string::npos; at = end + 1) {
    scratch_.append(lines, at, end - at);
    scratch_ += "\r\n";
  }
  if (file && std::fwrite(scratch_.data(), 1, scratch_.size(), file.get()) != scratch_.size())
    fileFailed_ = true;
  if (file && std::fflush(file.get()) != 0) fileFailed_ = true;
  lines.clear();
}

}  // namespace veltra::cli
