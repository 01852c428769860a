// Where a command's text goes: the process's standard output and error, or strings
// when a test runs the command in-process.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

namespace veltra::cli {

class TStream {
 public:
  virtual ~TStream() = default;
  virtual void Write(std::string_view bytes) = 0;
  // A terminal gets a status line and no raw control bytes.
  virtual bool IsTerminal() const { return false; }
  // A write failed for good (a closed pipe, a full disk): the command should end.
  virtual bool Broken() const { return false; }
  // A terminal's width in characters; 0 when unknown.
  virtual int Columns() const { return 0; }
};

// A file descriptor, written whole (short writes and EINTR retried).
class TFdStream final : public TStream {
 public:
  explicit TFdStream(int fd);
  void Write(std::string_view bytes) override;
  bool IsTerminal() const override { return terminal_; }
  bool Broken() const override { return broken_; }
  int Columns() const override;
  int Fd() const { return fd_; }

 private:
  int fd_;
  bool terminal_;
  bool broken_ = false;
};

// Collects the text; safe to read from another thread while a command runs.
class TStringStream final : public TStream {
 public:
  explicit TStringStream(bool terminal = false) : terminal_(terminal) {}
  void Write(std::string_view bytes) override {
    std::lock_guard lock(mutex_);
    text_ += bytes;
  }
  bool IsTerminal() const override { return terminal_; }
  std::string Text() const {
    std::lock_guard lock(mutex_);
    return text_;
  }

 private:
  mutable std::mutex mutex_;
  std::string text_;
  bool terminal_;
};

// The terminal shows UTF-8 (else Latin-1 text is shown as it is).
bool TerminalTakesUtf8();

struct TConsole {
  TStream& Out;
  TStream& Err;
  // Both go to the same terminal, so a status line on one must give way to the other.
  bool SharedTerminal = false;
};

}  // namespace veltra::cli
