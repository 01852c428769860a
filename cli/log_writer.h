// The two logs of the window as streams: the traffic pane's lines on standard
// output, the error pane's on standard error (or inline, in order, on standard
// output), and with --log both as the files "Save Logs" writes: the error pane's
// lines in FILE, the traffic pane's beside it with "txt" for FILE's last three
// characters, Latin-1 with CR LF line ends. Entries are gathered and written in
// batches (Flush), so a fast port costs one write per batch, not one per line.
#pragma once

#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>

#include "cli/console.h"
#include "session/port_session.h"

namespace veltra::cli {

class TStatusLine;

enum class TEventsTo { Stderr, Inline, Off };
enum class TStamps { Seconds, Milliseconds };

struct TLogOptions {
  bool Traffic = true;  // traffic lines on standard output
  TEventsTo Events = TEventsTo::Stderr;
  TStamps Stamps = TStamps::Seconds;
  std::string LogPath;  // empty: no files
};

class TLogWriter : public session::TLogSink {
 public:
  TLogWriter(TConsole& console, TLogOptions options);
  ~TLogWriter() override;
  TLogWriter(const TLogWriter&) = delete;
  TLogWriter& operator=(const TLogWriter&) = delete;

  // Creates the log files; false with the reason when one cannot be created.
  bool OpenFiles(std::string* error);
  void SetStatusLine(TStatusLine* status) { status_ = status; }

  // Whether anything reads the traffic, or the comm events; work nobody reads is skipped.
  bool WantsTraffic() const override { return options_.Traffic || trafficFile_ != nullptr; }
  bool WantsEvents() const override {
    return options_.Events != TEventsTo::Off || eventFile_ != nullptr;
  }

  // prefix + local time stamp + " :"
  std::string Header(std::string_view prefix) override;
  // A traffic entry: its line breaks continue on new lines.
  void Traffic(std::string_view entry) override;
  // The dump lines of a received block.
  void Dump(std::string_view block) override;
  // A comm or ring event of the error pane.
  void Event(std::string_view entry) override;
  // An error report: shown even when events are not.
  void Report(std::string_view entry) override;

  // Writes what waits. Failed file writes end with `FileFailed`.
  void Flush();
  bool FileFailed() const { return fileFailed_; }

 private:
  struct TFileCloser {
    void operator()(std::FILE* f) const;
  };
  using TFile = std::unique_ptr<std::FILE, TFileCloser>;

  void FlushIfLarge();
  void WriteFile(const TFile& file, std::string& lines);
  void WriteConsole(TStream& stream, std::string& lines);
  const std::string& Stamp();

  TConsole& console_;
  TLogOptions options_;
  TFile trafficFile_, eventFile_;
  bool fileFailed_ = false;
  TStatusLine* status_ = nullptr;
  // Each ended by '\n'; files get CR LF when written.
  std::string out_, err_, trafficLines_, eventLines_;
  std::string scratch_;
  std::time_t stampSecond_ = -1;
  std::string stamp_;
  std::string stampMs_;
};

// Bytes as a terminal may show them: control bytes as '.', Latin-1 letters as UTF-8
// when the terminal takes UTF-8; line ends kept.
std::string TerminalText(std::string_view latin1, bool utf8);

}  // namespace veltra::cli
