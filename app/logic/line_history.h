// The traffic pane's older lines, kept compactly: the pane itself costs a few hundred
// bytes a line, this about one byte per logged byte, so a long day stays readable.
//
// A dump line is kept as its 1-8 bytes when the dump of those bytes gives back exactly
// its text (a line the operator edited stays as typed); a run of full dump lines shares
// one tag. Other lines are Latin-1 text, stored as the part that differs from one of the
// last few text lines (headers of one second share all but a few characters), or, in
// spy mode, as where they are found in the block dumped just before (a forwarded block
// is logged twice); lines with characters beyond Latin-1 are kept as UTF-8. Lines go
// into chunks; a full chunk is sealed. The memory kept never exceeds the budget: the oldest chunks go first.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace veltra::logic {

class TLineHistory {
 public:
  // Called with each line and whether it is UTF-8 (else Latin-1).
  using TVisitor = std::function<void(std::string_view line, bool utf8)>;

  explicit TLineHistory(std::size_t budgetBytes = kDefaultBudget) : budget_(budgetBytes) {}

  // Adds the newest line (no line end in it).
  void Push(std::string_view latin1);
  void PushUtf8(std::string_view utf8);

  // Removes up to `lines` of the newest lines and visits them, oldest first.
  std::size_t TakeNewest(std::size_t lines, const TVisitor& visit);
  // Visits every line, oldest first.
  void ForEach(const TVisitor& visit) const;
  // The same without formatting dump lines: `dumped` gets the bytes a dump line, or a
  // run of full dump lines, shows; `text` every other line. For a fast search.
  void Scan(const std::function<void(std::string_view bytes)>& dumped,
            const TVisitor& text) const;
  void Clear();

  std::uint64_t Lines() const { return lines_; }
  // Lines that went because the budget was reached.
  std::uint64_t LinesDropped() const { return dropped_; }
  // Memory held by the lines: every chunk's allocation and its bookkeeping.
  std::size_t MemoryBytes() const { return memory_; }
  std::size_t Budget() const { return budget_; }

  // About 10 hours of one port receiving at 115200 baud.
  static constexpr std::size_t kDefaultBudget = std::size_t{400} << 20;
  static constexpr std::size_t kChunkBytes = 64 * 1024;

 private:
  struct TChunk {
    std::vector<char> Bytes;
    std::size_t Lines = 0;
  };
  // What a chunk's lines may refer to, the same when writing and reading: the last
  // text lines, and the bytes of the dump lines since the last text line.
  struct TRecent {
    std::array<std::string, 4> Text;
    std::size_t Next = 0;
    std::string Dumped;
    std::size_t CopiedTo = 0;  // where the last line found in Dumped ended
    bool TextLast = false;
    void Add(std::string_view line);
    void AddDumped(std::string_view bytes);
    // Where `line` is in Dumped, at or just after (past a line break) CopiedTo.
    std::size_t Find(std::string_view line) const;
  };

  void PushText(std::string_view line, bool utf8);
  bool PushDump(std::string_view line);
  // Room for a record of `size` bytes at the end of the open chunk.
  std::vector<char>& Room(std::size_t size);
  void Seal();
  void KeepBudget();
  void DropOldest();
  static std::size_t Cost(const TChunk& chunk);
  static void Decode(const TChunk& chunk, const TVisitor& visit);
  template <typename Dumped>
  static void DecodeWith(const TChunk& chunk, const Dumped& dumped, const TVisitor& text);

  std::size_t budget_;
  std::deque<TChunk> chunks_;  // the last one is open
  bool open_ = false;
  TRecent recent_;             // of the open chunk
  std::size_t runTag_ = SIZE_MAX;  // the open chunk's run of full dump lines, if last
  std::uint64_t lines_ = 0, dropped_ = 0;
  std::size_t memory_ = 0;
};

}  // namespace veltra::logic
