// What every decoder shares: the lines it writes, with runs of bytes it does not
// recognise gathered into one line, and a reader for one direction that holds an
// unfinished item across blocks and counts long data without holding it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace veltra::decode {

// Two hex digits, upper case.
void AppendHex(std::string& out, std::uint8_t byte);
// "1B 40 0A", at most `max` bytes, then " ..." for the rest.
std::string HexBytes(std::string_view bytes, std::size_t max = 16);
// Printable ASCII in quotes; other bytes as \xNN. At most `max` bytes, then "...".
std::string Quoted(std::string_view bytes, std::size_t max = 64);
// Mnemonic of a control byte ("ESC", "LF"), or the byte in hex.
std::string ControlName(std::uint8_t byte);

class LineSink {
 public:
  // `limit` 0: no limit.
  explicit LineSink(std::vector<std::string>& lines, std::size_t limit = 0)
      : lines_(lines), room_(limit ? limit : SIZE_MAX) {}
  LineSink(const LineSink&) = delete;
  LineSink& operator=(const LineSink&) = delete;
  ~LineSink();

  void Line(std::string text);
  // The limit is reached: a decoder may count a line with Skip() rather than write it.
  bool Full() const { return room_ == 0; }
  void Skip() { EndUnknown(), ++skipped_; }
  void Unknown(std::uint8_t byte);
  // Closes a run of unrecognised bytes: the next one starts a line of its own.
  void EndUnknown();

 private:
  static constexpr std::size_t kShown = 16;
  void Put(std::string text);

  std::vector<std::string>& lines_;
  std::size_t room_;
  std::size_t skipped_ = 0;
  std::string unknownHex_;
  std::size_t unknownCount_ = 0;
};

class StreamReader {
 public:
  virtual ~StreamReader() = default;

  void Feed(std::string_view block, LineSink& out);
  void Finish(LineSink& out);
  std::size_t Held() const { return held_.size(); }

 protected:
  // Decodes the item `s` starts with and returns the bytes it took; 0 when `s` is
  // the start of an item not yet whole. Never takes more than `s.size()`.
  virtual std::size_t Item(std::string_view s, LineSink& out) = 0;
  // The next `count` bytes belong to the item just read: they are passed over, and
  // `line` is written once the last of them has come. `count` is above 0.
  void SkipData(std::uint64_t count, std::string line);
  // Called when an item is reported unfinished, so the reader can reset its state.
  virtual void Reset() {}

 private:
  void Decode(std::string_view s, std::size_t& used, LineSink& out);

  std::string held_;
  std::uint64_t skip_ = 0;
  std::uint64_t skipTotal_ = 0;
  std::string skipLine_;
};

}  // namespace veltra::decode
