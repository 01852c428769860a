// A running record of a log pane in a file, so a long session keeps every entry
// although the pane keeps only its latest lines. The file has the "Save Logs" form:
// the bytes as they are (the panes are Latin-1), each line ended by CR LF. Lines are
// gathered and written on Flush, or at once when much is waiting.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace veltra::logic {

class TLogRecord {
 public:
  TLogRecord() = default;
  ~TLogRecord();
  TLogRecord(const TLogRecord&) = delete;
  TLogRecord& operator=(const TLogRecord&) = delete;

  // Creates or empties the file at `path` and records into it from now on. Returns
  // the reason when the file cannot be opened (then nothing is recorded), else "".
  std::string Start(const std::string& path);
  // Writes what waits and closes the file.
  void Stop();
  bool Active() const { return fd_ >= 0; }
  const std::string& Path() const { return path_; }
  // Whether `path` names the file being recorded, under any name (links included).
  bool IsRecording(const std::string& path) const;

  // Appends lines, each ended by '\n'. Nothing happens while not active.
  void Append(std::string_view lines);
  void Flush();

  // The first failed write or close stops the record and calls this once with the
  // reason (the system's text for the error).
  std::function<void(const std::string& Reason)> OnStopped;

  // Bytes gathered before Append writes them without waiting for Flush.
  static constexpr std::size_t kWriteAt = 256 * 1024;

 private:
  void Fail(int error);

  int fd_ = -1;
  std::string path_;
  std::string waiting_;
};

}  // namespace veltra::logic
