#include "app/logic/line_history.h"

#include <algorithm>
#include <utility>

#include "session/hex_dump.h"

namespace veltra::logic {

namespace {

// Record tags. A dump line of n bytes: n, then the bytes. A run of k full dump lines:
// kRun + k - 1, then 8k bytes. Latin-1 text: kText + the slot of the recent line it
// shares a beginning with, then the shared length, the rest's length and the rest.
// UTF-8 text: kUtf8, its length, the bytes. Text found in the dumped block: kCopy, its
// place there, its length.
constexpr unsigned char kRun = 0x40;
constexpr unsigned char kRunMost = 0x7F;
constexpr unsigned char kText = 0x10;
constexpr unsigned char kUtf8 = 0x20;
constexpr unsigned char kCopy = 0x21;
// The most of a block that text lines are looked for in.
constexpr std::size_t kDumpedMost = 64 * 1024;

void PutNumber(std::vector<char>& out, std::size_t value) {
  for (; value >= 0x80; value >>= 7) out.push_back(static_cast<char>(value | 0x80));
  out.push_back(static_cast<char>(value));
}

std::size_t GetNumber(const char*& at) {
  std::size_t value = 0;
  for (int shift = 0;; shift += 7) {
    const auto byte = static_cast<unsigned char>(*at++);
    value |= std::size_t{byte & 0x7Fu} << shift;
    if (byte < 0x80) return value;
  }
}

std::size_t SharedLength(std::string_view a, std::string_view b) {
  const auto ends = std::mismatch(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(
                                                              std::min(a.size(), b.size())),
                                  b.begin());
  return static_cast<std::size_t>(ends.first - a.begin());
}

}  // namespace

void TLineHistory::TRecent::Add(std::string_view line) {
  Text[Next].assign(line);
  Next = (Next + 1) % Text.size();
  TextLast = true;
}

void TLineHistory::TRecent::AddDumped(std::string_view bytes) {
  // A new block: the text lines logged after it refer to it.
  if (TextLast) {
    Dumped.clear();
    CopiedTo = 0;
    TextLast = false;
  }
  if (Dumped.size() + bytes.size() <= kDumpedMost) Dumped.append(bytes);
}

std::size_t TLineHistory::TRecent::Find(std::string_view line) const {
  for (std::size_t at = CopiedTo; at <= CopiedTo + 2 && at + line.size() <= Dumped.size(); ++at)
    if (std::string_view(Dumped).substr(at, line.size()) == line) return at;
  return std::string::npos;
}

void TLineHistory::Push(std::string_view latin1) {
  if (!PushDump(latin1)) PushText(latin1, false);
  ++lines_;
  ++chunks_.back().Lines;
  KeepBudget();
}

void TLineHistory::PushUtf8(std::string_view utf8) {
  PushText(utf8, true);
  ++lines_;
  ++chunks_.back().Lines;
  KeepBudget();
}

bool TLineHistory::PushDump(std::string_view line) {
  char bytes[session::kDumpBytesPerLine];
  const std::size_t n = session::DumpLineBytes(line, bytes);
  if (n == 0) return false;
  if (n == session::kDumpBytesPerLine && runTag_ != SIZE_MAX) {
    std::vector<char>& chunk = chunks_.back().Bytes;
    auto& tag = reinterpret_cast<unsigned char&>(chunk[runTag_]);
    if (tag < kRunMost && chunk.size() + n <= chunk.capacity()) {
      ++tag;
      chunk.insert(chunk.end(), bytes, bytes + n);
      recent_.AddDumped(std::string_view(bytes, n));
      return true;
    }
  }
  std::vector<char>& chunk = Room(1 + n);
  recent_.AddDumped(std::string_view(bytes, n));
  const bool full = n == session::kDumpBytesPerLine;
  runTag_ = full ? chunk.size() : SIZE_MAX;
  chunk.push_back(static_cast<char>(full ? kRun : n));
  chunk.insert(chunk.end(), bytes, bytes + n);
  return true;
}

void TLineHistory::PushText(std::string_view line, bool utf8) {
  // A tag, at most two numbers of up to 10 bytes each, the text.
  std::vector<char>& chunk = Room(21 + line.size());
  runTag_ = SIZE_MAX;
  if (utf8) {
    chunk.push_back(static_cast<char>(kUtf8));
    PutNumber(chunk, line.size());
    chunk.insert(chunk.end(), line.begin(), line.end());
    recent_.TextLast = true;
    return;
  }
  if (const std::size_t at = recent_.Find(line); at != std::string::npos && !line.empty()) {
    chunk.push_back(static_cast<char>(kCopy));
    PutNumber(chunk, at);
    PutNumber(chunk, line.size());
    recent_.CopiedTo = at + line.size();
    recent_.TextLast = true;
    return;
  }
  std::size_t slot = 0, shared = 0;
  for (std::size_t i = 0; i < recent_.Text.size(); ++i) {
    const std::size_t length = SharedLength(recent_.Text[i], line);
    if (length > shared) std::tie(slot, shared) = std::pair(i, length);
  }
  chunk.push_back(static_cast<char>(kText + slot));
  PutNumber(chunk, shared);
  PutNumber(chunk, line.size() - shared);
  chunk.insert(chunk.end(), line.begin() + static_cast<std::ptrdiff_t>(shared), line.end());
  recent_.Add(line);
}

std::vector<char>& TLineHistory::Room(std::size_t size) {
  if (open_) {
    std::vector<char>& bytes = chunks_.back().Bytes;
    if (bytes.size() + size <= bytes.capacity()) return bytes;
    Seal();
  }
  chunks_.emplace_back();
  chunks_.back().Bytes.reserve(std::max(kChunkBytes, size));
  memory_ += Cost(chunks_.back());
  open_ = true;
  return chunks_.back().Bytes;
}

void TLineHistory::Seal() {
  TChunk& chunk = chunks_.back();
  // A long last line may leave much of the chunk unused.
  if (chunk.Bytes.capacity() - chunk.Bytes.size() > chunk.Bytes.capacity() / 16) {
    memory_ -= Cost(chunk);
    chunk.Bytes.shrink_to_fit();
    memory_ += Cost(chunk);
  }
  open_ = false;
  recent_ = TRecent{};
  runTag_ = SIZE_MAX;
}

void TLineHistory::KeepBudget() {
  while (memory_ > budget_ && !chunks_.empty()) DropOldest();
}

void TLineHistory::DropOldest() {
  if (chunks_.size() == 1 && open_) Seal();
  memory_ -= Cost(chunks_.front());
  lines_ -= chunks_.front().Lines;
  dropped_ += chunks_.front().Lines;
  chunks_.pop_front();
}

std::size_t TLineHistory::Cost(const TChunk& chunk) {
  // The allocator's own header besides the bytes.
  return chunk.Bytes.capacity() + sizeof(TChunk) + 16;
}

void TLineHistory::Clear() {
  chunks_.clear();
  open_ = false;
  recent_ = TRecent{};
  runTag_ = SIZE_MAX;
  lines_ = 0;
  memory_ = 0;
}

void TLineHistory::Decode(const TChunk& chunk, const TVisitor& visit) {
  TRecent recent;
  std::string line;
  const char* at = chunk.Bytes.data();
  const char* const end = at + chunk.Bytes.size();
  while (at < end) {
    const auto tag = static_cast<unsigned char>(*at++);
    if (tag >= kRun || tag <= session::kDumpBytesPerLine) {
      const std::size_t lines = tag >= kRun ? tag - kRun + 1u : 1u;
      const std::size_t size = tag >= kRun ? session::kDumpBytesPerLine : tag;
      for (std::size_t k = 0; k < lines; ++k, at += size) {
        line.clear();
        session::AppendDumpLines(std::string_view(at, size), line, ' ');
        visit(std::string_view(line).substr(0, session::kDumpLineLength), false);
        recent.AddDumped(std::string_view(at, size));
      }
    } else if (tag == kUtf8) {
      const std::size_t size = GetNumber(at);
      visit(std::string_view(at, size), true);
      at += size;
      recent.TextLast = true;
    } else if (tag == kCopy) {
      const std::size_t from = GetNumber(at);
      const std::size_t size = GetNumber(at);
      line.assign(recent.Dumped, from, size);
      visit(line, false);
      recent.CopiedTo = from + size;
      recent.TextLast = true;
    } else {
      const std::string& base = recent.Text[tag - kText];
      const std::size_t shared = GetNumber(at);
      const std::size_t rest = GetNumber(at);
      line.assign(base, 0, shared);
      line.append(at, rest);
      at += rest;
      visit(line, false);
      recent.Add(line);
    }
  }
}

void TLineHistory::ForEach(const TVisitor& visit) const {
  for (const TChunk& chunk : chunks_) Decode(chunk, visit);
}

std::size_t TLineHistory::TakeNewest(std::size_t lines, const TVisitor& visit) {
  // Whole chunks from the newest end; a chunk taken in part gives its older lines back.
  using TLines = std::vector<std::pair<std::string, bool>>;
  std::vector<TLines> taken;  // newest chunk first
  std::size_t count = 0;
  while (count < lines && !chunks_.empty()) {
    TLines decoded;
    Decode(chunks_.back(), [&](std::string_view line, bool utf8) {
      decoded.emplace_back(std::string(line), utf8);
    });
    memory_ -= Cost(chunks_.back());
    lines_ -= chunks_.back().Lines;
    chunks_.pop_back();
    open_ = false;
    recent_ = TRecent{};
    runTag_ = SIZE_MAX;
    const std::size_t keep = decoded.size() - std::min(decoded.size(), lines - count);
    for (std::size_t i = 0; i < keep; ++i)
      decoded[i].second ? PushUtf8(decoded[i].first) : Push(decoded[i].first);
    decoded.erase(decoded.begin(), decoded.begin() + static_cast<std::ptrdiff_t>(keep));
    count += decoded.size();
    taken.push_back(std::move(decoded));
  }
  for (auto batch = taken.rbegin(); batch != taken.rend(); ++batch)
    for (const auto& [line, utf8] : *batch) visit(line, utf8);
  return count;
}

}  // namespace veltra::logic
